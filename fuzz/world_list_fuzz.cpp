// Reads arbitrary bytes as a versioned world list and as a data block into a list that holds
// items of a registered type. Whatever loads must save again and read back to the same bytes.
#include <cstdlib>
#include <vector>

#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"
#include "scripthost/world_list.h"

namespace {

constexpr u32 kType = 0x66757A7A;  // 'fuzz'

class FuzzItem : public WorldListItem {
 public:
  explicit FuzzItem(u32 type = kType) : type_(type) {}
  u32 GetTypeId() const override { return type_; }
  void SaveRecordBody(TStream& stream) override { stream.WriteU32(value_); }
  void LoadRecordBody(TStream& stream) override { stream.ReadU32(value_); }
  void SaveDataBlock(TStream& stream) override { stream.WriteU32(value_); }
  void LoadDataBlock(TStream& stream) override { stream.ReadU32(value_); }

 private:
  u32 type_;
  u32 value_ = 0;
};

class FuzzFactory : public WorldItemFactory {
 public:
  FuzzFactory() : WorldItemFactory(kType, Qel::PString("fuzz")) {}
  WorldFactoryItem* CreateItem(u32, TStream& body) override {
    auto* item = new FuzzItem();
    item->LoadRecordBody(body);
    return item;
  }
};

std::vector<u8> Save(WorldList& list) {
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  list.SaveList(out, 0, 0);
  return {buffer.GetData(), buffer.GetData() + buffer.GetDataSize()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
  static FuzzFactory factory;
  {
    Qel::DynamicBuffer buffer;
    if (size != 0) buffer.Write(data, u32(size));
    buffer.SetPosition(0);
    TBuffer in(&buffer, false);
    WorldList list;
    list.LoadList(in, true, 0);
    const std::vector<u8> saved = Save(list);
    Qel::DynamicBuffer again;
    again.Write(saved.data(), u32(saved.size()));
    again.SetPosition(0);
    TBuffer reread(&again, false);
    WorldList copy;
    if (!copy.LoadList(reread, true, 0) || Save(copy) != saved) std::abort();
  }
  {
    Qel::DynamicBuffer buffer;
    if (size != 0) buffer.Write(data, u32(size));
    buffer.SetPosition(0);
    TBuffer in(&buffer, false);
    WorldList list;
    for (int i = 0; i < 4; ++i) list.Add(new FuzzItem(i % 2 ? kType : WorldList::kDataBlockTypeId));
    list.LoadDataBlock(in);
  }
  return 0;
}
