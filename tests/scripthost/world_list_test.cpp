// World lists: slots, the spatial index, the versioned list and data-block formats byte for byte,
// hostile lists, and baseboard normalisation.
#include "scripthost/world_list.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"

namespace {

constexpr u32 kProbeType = 0x70726F62;  // 'prob'

// An item that carries one u32 in its record body and its data block.
class ProbeItem : public WorldListItem {
 public:
  explicit ProbeItem(u32 value = 0, u32 type = kProbeType) : value(value), type_(type) {}
  u32 GetTypeId() const override { return type_; }
  KUID GetItemKUID() const override { return KUID(7, i32(value), 0); }
  void SaveRecordBody(TStream& stream) override { stream.WriteU32(value); }
  void LoadRecordBody(TStream& stream) override { stream.ReadU32(value); }
  void SaveDataBlock(TStream& stream) override { stream.WriteU32(value); }
  void LoadDataBlock(TStream& stream) override { stream.ReadU32(value); }
  void GetBounds(WorldBounds& bounds) const override { bounds = box; }

  u32 value;
  WorldBounds box;

 private:
  u32 type_;
};

class ProbeFactory : public WorldItemFactory {
 public:
  ProbeFactory() : WorldItemFactory(kProbeType, Qel::PString("probe")) {}
  WorldFactoryItem* CreateItem(u32, TStream& body) override {
    auto* item = new ProbeItem();
    item->LoadRecordBody(body);
    return item;
  }
};

std::vector<u8> Bytes(Qel::DynamicBuffer& buffer) {
  return {buffer.GetData(), buffer.GetData() + buffer.GetDataSize()};
}

struct Stream {
  explicit Stream(const std::vector<u8>& bytes = {}) : stream(&buffer, false) {
    if (!bytes.empty()) buffer.Write(bytes.data(), u32(bytes.size()));
    buffer.SetPosition(0);
  }
  Qel::DynamicBuffer buffer;
  TBuffer stream;
};

void Put(std::vector<u8>& out, u32 value) {
  for (int i = 0; i < 4; ++i) out.push_back(u8(value >> (8 * i)));
}

TEST(WorldListTest, SlotsReuseEvenIndicesAndItemsLeaveOnDestruction) {
  WorldList list;
  auto* a = new ProbeItem(1);
  auto* b = new ProbeItem(2);
  EXPECT_EQ(list.Add(a), 0);
  EXPECT_EQ(list.Add(b), 2);
  EXPECT_EQ(list.Add(a), -1);
  EXPECT_EQ(list.Count(), 4u);
  delete a;
  EXPECT_EQ(list.At(0), nullptr);
  auto* c = new ProbeItem(3);
  EXPECT_EQ(list.Add(c), 0);
  list.DestroyItems(0, 0);
  EXPECT_EQ(list.At(0), nullptr);
  EXPECT_EQ(list.At(2), nullptr);
}

TEST(WorldListTest, SpatialIndexEntersEveryCoveredBaseboard) {
  WorldList list;
  list.EnableSpatialIndex();
  auto* item = new ProbeItem(1);
  item->box.minX = 700;
  item->box.maxX = 730;  // two baseboards in x
  item->box.minY = 10;
  item->box.maxY = 20;
  list.Add(item);
  EXPECT_EQ(list.ItemsOn(0, 0).size(), 1u);
  EXPECT_EQ(list.ItemsOn(1, 0).size(), 1u);
  EXPECT_TRUE(list.ItemsOn(0, 1).empty());
  delete item;
  EXPECT_TRUE(list.ItemsOn(0, 0).empty());
}

TEST(WorldListTest, NormaliseMovesWholeBaseboardsAndClamps) {
  struct Case {
    f32 x;
    i16 index;
    f32 rest;
  } const cases[] = {
      {-0.5f, -1, 719.5f}, {720.0f, 1, 0.0f}, {719.95f, 1, -0.05f}, {-720.0f, -1, 0.0f},
      {1e30f, 32767, 0.0f}, {-1e30f, -32768, 0.0f},
  };
  for (const Case& c : cases) {
    WorldCoordinate coordinate;
    coordinate.x = c.x;
    WorldCoordinate::Normalise(coordinate);
    EXPECT_EQ(coordinate.baseboardX, c.index) << c.x;
    if (std::fabs(c.x) < 1e6f) {
      EXPECT_NEAR(coordinate.x, c.rest, 0.01f) << c.x;
    }
    EXPECT_EQ(coordinate.normalised, 1);
  }
  WorldCoordinate broken;
  broken.y = NAN;
  broken.baseboardY = 32767;
  WorldCoordinate::Normalise(broken);
  EXPECT_EQ(broken.baseboardY, 32767);
}

TEST(WorldListTest, VersionedListRoundTripsByteForByte) {
  const ProbeFactory factory;
  WorldList list;
  list.listValue = 9;
  list.Add(new ProbeItem(0x11));
  list.Add(new ProbeItem(0x22));
  Stream first;
  list.SaveList(first.stream, 0, 0);
  const std::vector<u8> saved = Bytes(first.buffer);

  WorldList loaded;
  Stream in(saved);
  ASSERT_TRUE(loaded.LoadList(in.stream, true, 0));
  ASSERT_NE(loaded.At(2), nullptr);
  EXPECT_EQ(static_cast<ProbeItem*>(loaded.At(2))->value, 0x22u);
  loaded.listValue = 9;
  Stream second;
  loaded.SaveList(second.stream, 0, 0);
  EXPECT_EQ(Bytes(second.buffer), saved);
}

TEST(WorldListTest, DataBlockCarriesOnlyItsTypeAndRoundTrips) {
  WorldList list;
  list.Add(new ProbeItem(5));
  Stream header;
  list.SaveDataBlock(header.stream);
  std::vector<u8> expected;
  Put(expected, 12);
  Put(expected, WorldList::kBlockMagic);
  Put(expected, 1);
  Put(expected, WorldList::kEndMarker);
  EXPECT_EQ(Bytes(header.buffer), expected);

  list.Add(new ProbeItem(6, WorldList::kDataBlockTypeId));
  Stream out;
  list.SaveDataBlock(out.stream);
  static_cast<ProbeItem*>(list.At(2))->value = 0;
  Stream in(Bytes(out.buffer));
  list.LoadDataBlock(in.stream);
  EXPECT_EQ(static_cast<ProbeItem*>(list.At(2))->value, 6u);
  EXPECT_EQ(in.stream.Tell(), out.buffer.GetDataSize());
}

TEST(WorldListTest, HostileListsEndAtTheFault) {
  const ProbeFactory factory;
  struct Case {
    const char* name;
    std::vector<u8> bytes;
  };
  auto record = [](u32 index, u32 length) {
    std::vector<u8> out;
    Put(out, 5);
    Put(out, 0);
    Put(out, index);
    Put(out, kProbeType);
    Put(out, 0);  // KUID
    Put(out, 0);
    Put(out, length);
    Put(out, 1);
    return out;
  };
  const Case cases[] = {
      {"index of 2^24", record(WorldList::kMaxIndex, 4)},
      {"index near the top", record(0xFFFFFFFE, 4)},
      {"length past the end", record(0, 400)},
      {"length above the limit", record(0, 0x1000000)},
      {"placeholder section", [&] {
         std::vector<u8> out = record(0, 4);
         Put(out, WorldList::kEndMarker);
         Put(out, WorldList::kBlockMagic);
         return out;
       }()},
  };
  for (const Case& c : cases) {
    WorldList list;
    Stream in(c.bytes);
    EXPECT_FALSE(list.LoadList(in.stream, true, 0)) << c.name;
    EXPECT_NE(in.stream.GetError(), TStream::kErrorNone) << c.name;
    EXPECT_LE(list.Count(), 1u) << c.name;
  }
}

TEST(WorldListTest, TheHighestIndexLoadsIntoAFarSlot) {
  const ProbeFactory factory;
  WorldList source;
  source.Add(new ProbeItem(3));
  Stream out;
  source.SaveList(out.stream, 0, 0);
  std::vector<u8> bytes = Bytes(out.buffer);
  const u32 last = WorldList::kMaxIndex - 1;
  for (int i = 0; i < 4; ++i) bytes[8 + i] = u8(last >> (8 * i));  // the first record's index
  WorldList loaded;
  Stream in(bytes);
  ASSERT_TRUE(loaded.LoadList(in.stream, true, 0));
  EXPECT_EQ(loaded.Count(), WorldList::kMaxIndex);
  ASSERT_NE(loaded.At(last), nullptr);
  EXPECT_EQ(loaded.At(last)->GetIndex(), i32(last));
  EXPECT_EQ(loaded.At(0), nullptr);
}

TEST(WorldListTest, RecordsWithoutFactoryAreSkipped) {
  WorldList source;
  source.Add(new ProbeItem(1, 0x12345678));
  source.Add(new ProbeItem(2));
  Stream out;
  source.SaveList(out.stream, 0, 0);
  const ProbeFactory factory;
  WorldList loaded;
  Stream in(Bytes(out.buffer));
  EXPECT_TRUE(loaded.LoadList(in.stream, true, 0));
  EXPECT_EQ(loaded.At(0), nullptr);
  ASSERT_NE(loaded.At(2), nullptr);
  EXPECT_EQ(static_cast<ProbeItem*>(loaded.At(2))->value, 2u);
}

}  // namespace
