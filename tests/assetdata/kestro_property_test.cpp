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

TEST(KestroPropertyStream, ExactBytes) {
  EXPECT_EQ(WriteForm(KestroPropertyRef()), (std::vector<u8>{0, 0, 0, 0}));

  const std::vector<u8> expected =
      Concat({{8, 0, 0, 0}, {0, 0, 0, 0}, {11, 0, 0, 0}, Text("<kuid:5:6>"), {0}});
  EXPECT_EQ(WriteForm(MakeAssetIDProperty(Qel::PString(), KUID(5, 6, 0))), expected);

  const std::vector<u8> named =
      Concat({{8, 0, 0, 0}, {8, 0, 0, 0}, Text("AssetID"), {0}, {7, 0, 0, 0}, Text("<NULL>"), {0}});
  EXPECT_EQ(WriteForm(MakeAssetIDProperty("AssetID", KUID())), named);
}

TEST(KestroPropertyStream, RoundTrips) {
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
    EXPECT_FALSE(ok) << n;
    EXPECT_NE(error, 0u) << n;
    EXPECT_TRUE(cut.IsNull()) << n;
  }
}

TEST(KestroPropertyBound, TextConventions) {
  KestroPropertyRef asset = MakeAssetIDProperty("AssetID", KUID(1, 2, 0));
  asset->SetFromText("<kuid2:7:8:9>");
  EXPECT_EQ(asset.GetText(), Qel::PString("<kuid2:7:8:9>"));
  asset->SetFromText("nonsense");
  EXPECT_EQ(asset.GetText(), Qel::PString("<NULL>"));

  u32 code = 0;
  KestroPropertyFourCC four("code", &code);
  four.SetFromText("ABCD");
  EXPECT_EQ(code, 0x41424344u);
  four.SetFromText("AB");
  EXPECT_EQ(code, 0x41422020u);
  EXPECT_EQ(four.GetText(), Qel::PString("AB  "));
  four.SetFromText("ABCDEF");
  EXPECT_EQ(code, 0x41424344u);

  i32 number = 5;
  KestroPropertyInt integer("n", &number);
  EXPECT_EQ(integer.GetText(), Qel::PString("5"));
  integer.SetFromText("-12abc");
  EXPECT_EQ(number, -12);
  integer.SetFromText(Qel::PString());
  EXPECT_EQ(number, 0);

  f32 real = 0.1234567f;
  KestroPropertyFloat floating("f", &real);
  EXPECT_EQ(floating.GetText(), Qel::PString("0.123457"));
  floating.SetFromText("2.5");
  EXPECT_EQ(real, 2.5f);
  floating.SetFromText("x");
  EXPECT_EQ(real, 0.0f);

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

  u8 flag = 0;
  KestroPropertyBool boolean("b", &flag);
  boolean.SetFromText("T");
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(boolean.GetText(), Qel::PString("true"));
  boolean.SetFromText("on");
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(boolean.GetText(), Qel::PString("false"));
}

}  // namespace
