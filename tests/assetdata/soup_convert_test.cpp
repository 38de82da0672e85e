#include "assetdata/soup_convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/kuid.h"
#include "qel/string.h"

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

// The converted value as `to` reads it: "none" without a block, "size N" for a wrong size.
std::string Convert(u32 from, const Block& in, u32 to) {
  Block out = Text("stale");
  ACSConverter::ConvertValue(from, in, to, &out);
  if (!out) return "none";
  const u32 size = out->GetSize();
  u32 w[2] = {};
  std::memcpy(w, out->GetData(), std::min<u32>(size, 8));
  f32 f;
  std::memcpy(&f, w, 4);
  if (to == kKindText) {
    EXPECT_EQ(out->GetData()[size - 1], 0) << "text values end in NUL";
    return std::string(SoupTextView(out.Get()));
  }
  if (size != (to == kKindKUID ? 8u : 4u)) return "size " + std::to_string(size);
  if (to == kKindKUID) return KUID::Unpack(w[0], w[1]).ToString().CStr();
  return to == kKindInt ? std::to_string(i32(w[0])) : Qel::String::Format("%g", f).Std();
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

TEST(ConverterTest, ThroughText) {
  static const char backing[] = "1234567<kuid:1:2>99";
  const struct {
    u32 from;
    Block in;
    u32 to;
    const char* expected;
  } cases[] = {
      {kKindText, Text("12.7"), kKindInt, "12"},
      {kKindText, Text("1.5e+3"), kKindInt, "1"},
      {kKindText, Text("-42  "), kKindInt, "-42"},
      {kKindText, Text("12.7"), kKindFloat, "12.7"},
      {kKindText, Text("1.5e+3"), kKindFloat, "1500"},
      {kKindText, Text(".5"), kKindFloat, "0.5"},
      {kKindText, Text(".5"), kKindInt, "none"},  // the test passes but no integer can be read
      {kKindText, Text("abc"), kKindInt, "none"},
      {kKindText, Text("abc"), kKindFloat, "none"},
      {kKindText, Text("abc"), kKindKUID, "<NULL>"},
      {kKindText, Text("<kuid2:12:34:5>"), kKindKUID, "<kuid2:12:34:5>"},
      // The empty text: no block at all.
      {kKindText, nullptr, kKindInt, "none"},
      {kKindText, nullptr, kKindFloat, "none"},
      {kKindText, nullptr, kKindKUID, "<NULL>"},
      // Out of range saturates.
      {kKindText, Text("99999999999"), kKindInt, "2147483647"},
      {kKindText, Text("-99999999999"), kKindInt, "-2147483648"},
      // Only the block's own bytes count, not digits behind it; a NUL inside ends the text.
      {kKindText, ACSRawDataCore::CreateView(backing, 2, nullptr), kKindInt, "12"},
      {kKindText, ACSRawDataCore::CreateView(backing, 2, nullptr), kKindFloat, "12"},
      {kKindText, ACSRawDataCore::CreateView(backing + 7, 9, nullptr), kKindKUID, "<kuid:1:2>"},
      {kKindText,
       Bytes(std::string("7\0"
                         "8",
                         3)),
       kKindInt, "7"},
      {kKindInt, Ints({1, 2, 3}), kKindText, "1,2,3"},
      {kKindInt, Ints({-7}), kKindText, "-7"},
      {kKindInt, Bytes(std::string("\x05\0\0\0\x01", 5)), kKindText, "5"},
      {kKindInt, Bytes("ab"), kKindText, "none"},
      {kKindFloat, Floats({0.1f}), kKindText, "0.1"},
      {kKindFloat, Floats({0.1234567f, 2.0f}), kKindText, "0.123457,2"},
      {kKindFloat, Floats({1e20f}), kKindText, "1e+20"},
      {kKindFloat, Bytes("abc"), kKindText, "none"},
      {kKindKUID, Kuid(KUID(5, 6, 0)), kKindText, "<kuid:5:6>"},
      {kKindKUID, Kuid(KUID(5, 6, 3)), kKindText, "<kuid2:5:6:3>"},
      {kKindKUID, Kuid(KUID()), kKindText, "<NULL>"},
      {kKindKUID, Bytes("1234567"), kKindText, "none"},
      {kKindKUID, Bytes("123456789"), kKindText, "none"},
      // Chains through text.
      {kKindInt, Ints({1, 2, 3}), kKindFloat, "none"},  // a list is not a number
      {kKindInt, Ints({7}), kKindFloat, "7"},
      {kKindFloat, Floats({2.9f}), kKindInt, "2"},
      {kKindInt, Ints({5}), kKindKUID, "<kuid:-1:5>"},
      {kKindFloat, Floats({0.5f}), kKindKUID, "<NULL>"},
      {kKindKUID, Kuid(KUID(1, 2, 0)), kKindInt, "none"},
      {kKindKUID, Kuid(KUID(1, 2, 0)), kKindFloat, "none"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Convert(c.from, c.in, c.to), c.expected) << "row " << (&c - cases);
  }
}

TEST(ConverterTest, KindsWithoutConverters) {
  const Block block = Ints({4});
  for (u32 kind = 0; kind < 9; ++kind) {
    Block out;
    ACSConverter::ConvertValue(kind, block, kind, &out);
    EXPECT_EQ(out, block) << "kind " << kind << " to itself is the same block";
  }
  for (u32 to : {kKindRaw, kKindFloat, kKindText, kKindInt, kKindKUID}) {
    EXPECT_EQ(Convert(kKindNull, block, to), "none") << to;
  }
  for (u32 from : {u32(kKindRaw), u32(kKindTextAlt), u32(kKindContainer), 9u}) {
    for (u32 to : {kKindFloat, kKindText, kKindInt, kKindKUID}) {
      EXPECT_EQ(Convert(from, Text("12"), to), "none") << from << "->" << to;
    }
  }
  EXPECT_EQ(Convert(kKindText, Text("12"), kKindTextAlt), "none");
  EXPECT_EQ(Convert(kKindText, Text("12"), kKindRaw), "none");
  // The output may be the source handle itself.
  Block same = Text("33");
  ACSConverter::ConvertValue(kKindText, same, kKindInt, &same);
  ASSERT_EQ(same->GetSize(), 4u);
  EXPECT_EQ(same->GetData()[0], 33);
}

}  // namespace
