#include "assetdata/soup_convert.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/kuid.h"

namespace {

using Block = MPRef<ACSRawDataCore>;

Block Bytes(const std::string& bytes) {
  return ACSRawDataCore::CreateCopy(bytes.data(), u32(bytes.size()));
}
// Text with its NUL.
Block Text(const std::string& text) { return Bytes(text + std::string(1, '\0')); }
Block Ints(std::vector<i32> v) { return ACSRawDataCore::CreateCopy(v.data(), u32(v.size() * 4)); }
Block Floats(std::vector<f32> v) { return ACSRawDataCore::CreateCopy(v.data(), u32(v.size() * 4)); }
Block Kuid(const KUID& k) {
  const KUID::Packed p = KUID::Pack(k);
  u32 words[2] = {p.word, p.contentId};
  return ACSRawDataCore::CreateCopy(words, 8);
}

Block Convert(u32 from, const Block& in, u32 to) {
  Block out = Text("stale");
  ACSConverter::ConvertValue(from, in, to, &out);
  return out;
}

std::optional<std::string> AsText(const Block& b) {
  if (!b) return std::nullopt;
  EXPECT_EQ(b->GetData()[b->GetSize() - 1], 0) << "text values end in NUL";
  return std::string(SoupTextView(b.Get()));
}
std::optional<i32> AsInt(const Block& b) {
  if (!b || b->GetSize() != 4) return std::nullopt;
  i32 v;
  std::memcpy(&v, b->GetData(), 4);
  return v;
}
std::optional<f32> AsFloat(const Block& b) {
  if (!b || b->GetSize() != 4) return std::nullopt;
  f32 v;
  std::memcpy(&v, b->GetData(), 4);
  return v;
}
std::optional<KUID> AsKuid(const Block& b) {
  if (!b || b->GetSize() != 8) return std::nullopt;
  u32 w[2];
  std::memcpy(w, b->GetData(), 8);
  return KUID::Unpack(w[0], w[1]);
}

TEST(IsNumericTextTest, Table) {
  struct Case {
    const char* text;
    bool numeric;
  };
  const Case cases[] = {
      {"12", true},        {"-3", true},      {"4.5 ", true},   {"4.5\t \t", true},
      {"1.5e+3", true},    {"1.5e-3", true},  {"0.", true},     {".5", true},
      {"", false},         {"-", false},      {"- ", false},    {"  ", false},
      {"1e5", false},      {"1.5e3", false},  {"1,2", false},   {" 7", false},
      {"0x10", false},     {"1.5E+3", false}, {"1.5e+", false}, {"1.5e+ ", false},
      {"1.5e+3x", false},  {"1.2.3", false},  {"--1", false},   {"+5", false},
      {"1.5e+3.0", false}, {"12 3", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsNumericText(c.text), c.numeric) << '"' << c.text << '"';
}

TEST(ConverterTest, TextToNumbersAndKUID) {
  EXPECT_EQ(AsInt(Convert(kKindText, Text("12.7"), kKindInt)), 12);
  EXPECT_EQ(AsInt(Convert(kKindText, Text("1.5e+3"), kKindInt)), 1);
  EXPECT_EQ(AsInt(Convert(kKindText, Text("-42  "), kKindInt)), -42);
  EXPECT_EQ(AsFloat(Convert(kKindText, Text("12.7"), kKindFloat)), 12.7f);
  EXPECT_EQ(AsFloat(Convert(kKindText, Text("1.5e+3"), kKindFloat)), 1500.0f);
  EXPECT_EQ(AsFloat(Convert(kKindText, Text(".5"), kKindFloat)), 0.5f);
  // The test passes but no integer can be read.
  EXPECT_FALSE(Convert(kKindText, Text(".5"), kKindInt));
  EXPECT_FALSE(Convert(kKindText, Text("abc"), kKindInt));
  EXPECT_FALSE(Convert(kKindText, Text("abc"), kKindFloat));
  EXPECT_EQ(AsKuid(Convert(kKindText, Text("abc"), kKindKUID)), KUID());
  EXPECT_EQ(AsKuid(Convert(kKindText, Text("<kuid2:12:34:5>"), kKindKUID)), KUID(12, 34, 5));
  // The empty text: no block at all.
  EXPECT_FALSE(Convert(kKindText, nullptr, kKindInt));
  EXPECT_FALSE(Convert(kKindText, nullptr, kKindFloat));
  EXPECT_EQ(AsKuid(Convert(kKindText, nullptr, kKindKUID)), KUID());
  // Out of range saturates.
  EXPECT_EQ(AsInt(Convert(kKindText, Text("99999999999"), kKindInt)), 2147483647);
  EXPECT_EQ(AsInt(Convert(kKindText, Text("-99999999999"), kKindInt)), -2147483647 - 1);
}

TEST(ConverterTest, TextIsBoundedByTheBlockNotByANul) {
  // Views whose next bytes are digits: only the block's own bytes count.
  static const char backing[] = "1234567<kuid:1:2>99";
  Block two = ACSRawDataCore::CreateView(backing, 2, nullptr);
  EXPECT_EQ(AsInt(Convert(kKindText, two, kKindInt)), 12);
  EXPECT_EQ(AsFloat(Convert(kKindText, two, kKindFloat)), 12.0f);
  Block kuid = ACSRawDataCore::CreateView(backing + 7, 9, nullptr);  // "<kuid:1:2"
  EXPECT_EQ(AsKuid(Convert(kKindText, kuid, kKindKUID)), KUID(1, 2, 0));
  // A NUL inside the block ends the text.
  EXPECT_EQ(AsInt(Convert(kKindText,
                          Bytes(std::string("7\0"
                                            "8",
                                            3)),
                          kKindInt)),
            7);
}

TEST(ConverterTest, ValuesToText) {
  EXPECT_EQ(AsText(Convert(kKindInt, Ints({1, 2, 3}), kKindText)), "1,2,3");
  EXPECT_EQ(AsText(Convert(kKindInt, Ints({-7}), kKindText)), "-7");
  EXPECT_EQ(AsText(Convert(kKindInt, Bytes(std::string("\x05\0\0\0\x01", 5)), kKindText)), "5");
  EXPECT_FALSE(Convert(kKindInt, Bytes("ab"), kKindText));
  EXPECT_EQ(AsText(Convert(kKindFloat, Floats({0.1f}), kKindText)), "0.1");
  EXPECT_EQ(AsText(Convert(kKindFloat, Floats({0.1234567f, 2.0f}), kKindText)), "0.123457,2");
  EXPECT_EQ(AsText(Convert(kKindFloat, Floats({1e20f}), kKindText)), "1e+20");
  EXPECT_FALSE(Convert(kKindFloat, Bytes("abc"), kKindText));
  EXPECT_EQ(AsText(Convert(kKindKUID, Kuid(KUID(5, 6, 0)), kKindText)), "<kuid:5:6>");
  EXPECT_EQ(AsText(Convert(kKindKUID, Kuid(KUID(5, 6, 3)), kKindText)), "<kuid2:5:6:3>");
  EXPECT_EQ(AsText(Convert(kKindKUID, Kuid(KUID()), kKindText)), "<NULL>");
  EXPECT_FALSE(Convert(kKindKUID, Bytes("1234567"), kKindText));
  EXPECT_FALSE(Convert(kKindKUID, Bytes("123456789"), kKindText));
}

TEST(ConverterTest, ChainsThroughText) {
  EXPECT_FALSE(Convert(kKindInt, Ints({1, 2, 3}), kKindFloat));  // a list is not a number
  EXPECT_EQ(AsFloat(Convert(kKindInt, Ints({7}), kKindFloat)), 7.0f);
  EXPECT_EQ(AsInt(Convert(kKindFloat, Floats({2.9f}), kKindInt)), 2);
  EXPECT_EQ(AsKuid(Convert(kKindInt, Ints({5}), kKindKUID)), KUID(-1, 5, 127));
  EXPECT_EQ(AsKuid(Convert(kKindFloat, Floats({0.5f}), kKindKUID)), KUID());
  EXPECT_FALSE(Convert(kKindKUID, Kuid(KUID(1, 2, 0)), kKindInt));
  EXPECT_FALSE(Convert(kKindKUID, Kuid(KUID(1, 2, 0)), kKindFloat));
}

TEST(ConverterTest, KindsWithoutConverters) {
  const Block block = Ints({4});
  for (u32 kind = 0; kind < 9; ++kind) {
    Block out;
    ACSConverter::ConvertValue(kind, block, kind, &out);
    EXPECT_EQ(out, block) << "kind " << kind << " to itself is the same block";
  }
  for (u32 to : {kKindRaw, kKindFloat, kKindText, kKindInt, kKindKUID}) {
    EXPECT_FALSE(Convert(kKindNull, block, to)) << to;
  }
  for (u32 from : {u32(kKindRaw), u32(kKindTextAlt), u32(kKindContainer), 9u}) {
    for (u32 to : {kKindFloat, kKindText, kKindInt, kKindKUID}) {
      EXPECT_FALSE(Convert(from, Text("12"), to)) << from << "->" << to;
    }
  }
  EXPECT_FALSE(Convert(kKindText, Text("12"), kKindTextAlt));
  EXPECT_FALSE(Convert(kKindText, Text("12"), kKindRaw));
  // The output may be the source handle itself.
  Block same = Text("33");
  ACSConverter::ConvertValue(kKindText, same, kKindInt, &same);
  EXPECT_EQ(AsInt(same), 33);
}

}  // namespace
