#include "assetdata/kestro_property.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/buffer_stream.h"
#include "core/stream.h"
#include "qel/dynamic_buffer.h"

namespace {

std::vector<u8> Bytes(const TBuffer& stream) {
  const Qel::DynamicBuffer* b = stream.GetBuffer();
  return std::vector<u8>(b->GetData(), b->GetData() + b->GetDataSize());
}

std::vector<u8> WriteForm(const KestroPropertyRef& property) {
  TBuffer stream(new Qel::DynamicBuffer(), true);
  WriteKestroProperty(stream, property);
  return Bytes(stream);
}

// Reads a property from bytes; returns the stream's error.
u32 ReadForm(const std::vector<u8>& bytes, KestroPropertyRef& out, bool* ok = nullptr) {
  TBuffer stream(new Qel::DynamicBuffer(), true);
  stream.WriteBytes(bytes.data(), u32(bytes.size()));
  stream.Seek(0, 0);
  const bool read = ReadKestroProperty(stream, out);
  if (ok) *ok = read;
  return stream.GetError();
}

std::vector<u8> Concat(std::initializer_list<std::vector<u8>> parts) {
  std::vector<u8> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<u8> Text(const std::string& s) { return std::vector<u8>(s.begin(), s.end()); }

TEST(KestroPropertyStream, ExactBytesAndRoundTrips) {
  EXPECT_EQ(WriteForm(KestroPropertyRef()), (std::vector<u8>{0, 0, 0, 0}));
  EXPECT_EQ(WriteForm(MakeAssetIDProperty(Qel::PString(), KUID(5, 6, 0))),
            Concat({{8, 0, 0, 0}, {0, 0, 0, 0}, {11, 0, 0, 0}, Text("<kuid:5:6>"), {0}}));
  EXPECT_EQ(
      WriteForm(MakeAssetIDProperty("AssetID", KUID())),
      Concat(
          {{8, 0, 0, 0}, {8, 0, 0, 0}, Text("AssetID"), {0}, {7, 0, 0, 0}, Text("<NULL>"), {0}}));

  for (const KUID& kuid : {KUID(5, 6, 0), KUID(-5, 6, 127), KUID(5, 6, 3), KUID()}) {
    KestroPropertyRef back;
    EXPECT_EQ(ReadForm(WriteForm(MakeAssetIDProperty("AssetID", kuid)), back), 0u);
    ASSERT_FALSE(back.IsNull());
    EXPECT_EQ(back->GetTypeCode(), u32(KestroProperty::kTypeAssetID));
    EXPECT_EQ(back->GetName(), Qel::PString("AssetID"));
    EXPECT_EQ(static_cast<KestroPropertyAssetID*>(back.Get())->GetKUID(), kuid);
  }
  KestroPropertyRef back = MakeAssetIDProperty("stale", KUID(1, 2, 0));
  EXPECT_EQ(ReadForm({0, 0, 0, 0}, back), 0u);
  EXPECT_TRUE(back.IsNull());
}

TEST(KestroPropertyStream, OtherCodesAndCutFormsGiveNoProperty) {
  // A code other than 8 consumes its strings and gives nothing; what follows is still readable.
  TBuffer stream(new Qel::DynamicBuffer(), true);
  const std::vector<u8> other =
      Concat({{3, 0, 0, 0}, {2, 0, 0, 0}, Text("n"), {0}, {2, 0, 0, 0}, Text("v"), {0}});
  stream.WriteBytes(other.data(), u32(other.size()));
  stream.WriteU32(0xABCD);
  stream.Seek(0, 0);
  KestroPropertyRef held = MakeAssetIDProperty("x", KUID(1, 2, 0));
  EXPECT_TRUE(ReadKestroProperty(stream, held));
  EXPECT_TRUE(held.IsNull());
  u32 next = 0;
  EXPECT_TRUE(stream.ReadU32(next));
  EXPECT_EQ(next, 0xABCDu);

  const std::vector<u8> full = WriteForm(MakeAssetIDProperty("AssetID", KUID(5, 6, 0)));
  for (size_t n = 0; n < full.size(); ++n) {
    KestroPropertyRef cut = MakeAssetIDProperty("x", KUID(1, 2, 0));
    bool ok = true;
    const u32 error = ReadForm(std::vector<u8>(full.begin(), full.begin() + n), cut, &ok);
    EXPECT_TRUE(!ok && error != 0 && cut.IsNull()) << n;
  }
}

TEST(KestroPropertyBound, TextConventions) {
  KestroPropertyRef asset = MakeAssetIDProperty("AssetID", KUID(1, 2, 0));
  u32 code = 0;
  KestroPropertyFourCC four("code", &code);
  i32 number = 5;
  KestroPropertyInt integer("n", &number);
  f32 real = 0.1234567f;
  KestroPropertyFloat floating("f", &real);
  u8 flag = 0;
  KestroPropertyBool boolean("b", &flag);
  EXPECT_EQ(integer.GetText(), Qel::PString("5"));
  EXPECT_EQ(floating.GetText(), Qel::PString("0.123457"));
  const struct {
    KestroProperty* property;
    const char* in;
    const char* text;
  } cases[] = {
      {asset.Get(), "<kuid2:7:8:9>", "<kuid2:7:8:9>"},
      {asset.Get(), "nonsense", "<NULL>"},
      {&four, "AB", "AB  "},
      {&four, "ABCDEF", "ABCD"},
      {&integer, "-12abc", "-12"},
      {&integer, "", "0"},
      {&floating, "2.5", "2.5"},
      {&floating, "x", "0"},
      {&boolean, "T", "true"},
      {&boolean, "on", "false"},
  };
  for (const auto& c : cases) {
    c.property->SetFromText(c.in);
    EXPECT_EQ(c.property->GetText().View(), c.text) << c.in;
  }
  EXPECT_EQ(code, 0x41424344u);  // the first letter in the highest byte
  EXPECT_EQ(flag, 0);

  u32 flags = 0x100;
  KestroPropertyBitMask mask("m", &flags, 0x6);
  for (const char* yes : {"TRUE", "1", "t"}) {
    flags = 0x100;
    mask.SetFromText(yes);
    EXPECT_EQ(flags, 0x106u) << yes;
  }
  for (const char* no : {"false", "yes", "0", "", "tr"}) {
    flags = 0x1FF;
    mask.SetFromText(no);
    EXPECT_EQ(flags, 0x1F9u) << no;
  }
  EXPECT_EQ(mask.GetText(), Qel::PString());
}

}  // namespace
