#include "pymclient/pym_filter.h"

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/buffer_stream.h"
#include "pymclient/filter_builders.h"
#include "qel/dynamic_buffer.h"

namespace {

namespace codes = PymFilterCodes;
using Bytes = std::vector<u8>;
using namespace filter_builders;  // NOLINT(build/namespaces)

// "6C6F6F62 00" -> bytes; blanks are ignored.
Bytes Hex(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(u8(c))) digits += c;
  }
  Bytes out;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(u8(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes BytesOf(const PymFilterElement* element, bool* ok = nullptr) {
  TBuffer stream(new Qel::DynamicBuffer(), true);
  const bool written = WriteFilterElement(stream, element);
  if (ok) *ok = written;
  const Qel::DynamicBuffer* buffer = stream.GetBuffer();
  return Bytes(buffer->GetData(), buffer->GetData() + buffer->GetDataSize());
}

ElementPtr ElementOf(const Bytes& bytes, u32* consumed = nullptr, u32* error = nullptr) {
  TBuffer stream(new Qel::DynamicBuffer(), true);
  stream.WriteBytes(bytes.data(), u32(bytes.size()));
  stream.Seek(0, 0);
  ElementPtr element = ReadFilterElement(stream);
  if (consumed) *consumed = stream.Tell();
  if (error) *error = stream.GetError();
  return element;
}

// A chain of `depth` groups, each holding the next; the innermost is empty.
Bytes NestedGroups(u32 depth) {
  Bytes out;
  for (u32 i = 0; i < depth; ++i) {
    const Bytes level = Hex(i + 1 < depth ? "70757267 0100 01000000" : "70757267 0100 00000000");
    out.insert(out.end(), level.begin(), level.end());
  }
  return out;
}

TEST(PymFilterTest, ByteFormOfEveryKindRoundTripsAndOverlongTextFails) {
  auto negated = std::make_unique<PymFilterElementGroup>(Flag(codes::kFlagLocal));
  negated->AddNegated(Flag(codes::kFlagObsolete));
  negated->AddElement(nullptr);
  struct Case {
    ElementPtr element;
    const char* hex;
  } cases[] = {
      {Flag(codes::kFlagLocal), "6C6F6F62 00000000"},
      {Str(codes::kStringKeywordList, "box"), "6E727473 03000000 03000000 626F78 00"},
      {Str(codes::kStringAssetName, "\"ab\""), "6E727473 00000000 02000000 6162 01"},
      {Str(codes::kStringEraList, ""), "6E727473 02000000 00000000 00"},
      {Int(codes::kIntVersion, 5, -2, true, false), "65746E69 02000000 05000000 FEFFFFFF 0100"},
      {Time(codes::kTimestampModification, 0x0102030405060708ull, 9, false, true),
       "656D6974 01000000 0807060504030201 0900000000000000 0001"},
      // Sorted and merged; each KUID is its content id, then the packed word.
      {Assets({{5, 6, 0}, {1, 2, 3}, {5, 6, 0}}),
       "74737361 00000000 02000000 02000000 01000006 06000000 05000000"},
      {std::move(negated),
       "70757267 0100 02000000 6C6F6F62 00000000 70757267 0101 01000000 6C6F6F62 05000000"},
  };
  bool ok = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    ok = false;
    const Bytes bytes = BytesOf(c.element.get(), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(bytes, Hex(c.hex));
    u32 consumed = 0;
    const ElementPtr back = ElementOf(bytes, &consumed);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(consumed, bytes.size());
    EXPECT_TRUE(FilterElementsEqual(back.get(), c.element.get()));
    EXPECT_EQ(back->GetValueText(), c.element->GetValueText());
  }
  EXPECT_EQ(BytesOf(nullptr), Hex("00000000"));

  // Overlong text fails the write, however deep it sits.
  BytesOf(Group(false, Str(1, std::string(TStream::kMaxStringLength + 1, 'x'))).get(), &ok);
  EXPECT_FALSE(ok);
  BytesOf(Str(1, std::string(TStream::kMaxStringLength, 'x')).get(), &ok);
  EXPECT_TRUE(ok);
}

TEST(PymFilterTest, TextForm) {
  // Only a kind-0 name wholly in double quotes becomes exact.
  const struct {
    u32 kind;
    const char* given;
    const char* text;
    bool exact;
  } quoted[] = {
      {0, "\"Big Box\"", "Big Box", true},
      {0, "\"\"", "", true},
      {0, "\"", "\"", false},
      {0, "a\"b\"", "a\"b\"", false},
      {1, "\"Big Box\"", "\"Big Box\"", false},
  };
  for (const auto& c : quoted) {
    const PymFilterElementString e(c.kind, Qel::PString(c.given));
    EXPECT_EQ(e.GetText(), Qel::PString(c.text)) << c.given;
    EXPECT_EQ(e.IsExact(), c.exact) << c.given;
  }
  // Escapes, bracket forms, KUID texts and kind names.
  const struct {
    ElementPtr element;
    const char* text;
  } values[] = {
      {Str(3, "a\\b f(x)"), "a\\\\b f\\(x\\)"},
      {Str(3, "a\tb\x01\x1f"), "a\\Ib\\A\\_"},
      {Str(3, "\x7f\xe9\xff\"q\""), "\x7f\xe9\xff\"q\""},  // other bytes pass unchanged
      {Int(0, 5, 10, false, true), "(5,10]"},
      {Int(0, -2147483647 - 1, 2147483647, true, false), "[-2147483648,2147483647)"},
      {Time(0, 0x100000005ull, ~0ull, false, true), "(4294967301,18446744073709551615]"},
      {Assets({{5, 6, 7}, {-3, 4, 127}, {1, 2, 0}}), "<kuid:-3:4>, <kuid:1:2>, <kuid2:5:6:7>"},
      {Group(false, Flag(codes::kFlagLocal), Str(0, "box")), "local:(true), asset-name:(box)"},
      {Group(true, Group(true, Str(1, "a(b)"), Int(9, 1, 2, true, false))),
       "group:(category-list:(a\\(b\\)), unknown:([1,2)))"},
  };
  for (const auto& c : values) EXPECT_EQ(c.element->GetValueText(), c.text);
}

TEST(PymFilterTest, EqualityMeansTheSameFilter) {
  const struct {
    const char* name;
    ElementPtr a;
    ElementPtr b;
    bool equal;
  } cases[] = {
      {"other flag", Flag(0), Flag(5), false},
      {"unknown flags", Flag(30), Flag(31), false},
      {"same text, other class", Flag(30), Str(30, "true"), false},
      {"int vs timestamp", Int(9, 1, 2, true, true), Time(9, 1, 2, true, true), false},
      {"text kind", Str(1, "CN"), Str(2, "CN"), false},
      {"exact", Str(0, "\"box\""), Str(0, "box"), false},
      {"escape look-alikes", Str(1, "\x1c"), Str(1, "\\"), false},
      {"int bracket", Int(1, 5, 10, true, true), Int(1, 5, 10, true, false), false},
      {"timestamp above bit 31", Time(0, 1, 2, 1, 1), Time(0, 0x100000001ull, 2, 1, 1), false},
      {"asset order", Assets({{1, 2, 0}, {3, 4, 0}}), Assets({{3, 4, 0}, {1, 2, 0}}), true},
      {"asset sets", Assets({{1, 2, 0}}), Assets({{1, 2, 1}}), false},
      {"child order", Group(0, Flag(0), Flag(5)), Group(0, Flag(5), Flag(0)), false},
      {"child count", Group(0, Flag(0)), Group(0, Flag(0), Flag(0)), false},
      {"negation", Group(0, Flag(0)), Group(1, Flag(0)), false},
      {"first flag", ElementOf(Hex("70757267 0100 00000000")),
       ElementOf(Hex("70757267 0000 00000000")), false},
      {"any non-zero flag byte", ElementOf(Hex("70757267 0100 00000000")),
       ElementOf(Hex("70757267 0700 00000000")), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.a && c.b);
    EXPECT_EQ(c.a->Equals(*c.b), c.equal);
    EXPECT_EQ(FilterElementsEqual(c.b.get(), c.a.get()), c.equal);
    EXPECT_EQ(BytesOf(c.a.get()) == BytesOf(c.b.get()), c.equal);
  }
  EXPECT_TRUE(FilterElementsEqual(nullptr, nullptr));
  EXPECT_FALSE(FilterElementsEqual(cases[0].a.get(), nullptr));
}

TEST(PymFilterTest, HostileBytesFailCleanly) {
  const ElementPtr root = Group(false, Str(1, "CN"), Flag(0), Group(true, Int(0, 1, 5, 1, 1)),
                                Time(0, 7, 8, 0, 0), Assets({{1, 2, 0}, {3, 4, 5}}));
  const Bytes whole = BytesOf(root.get());
  for (size_t n = 0; n < whole.size(); ++n) {
    u32 error = 0;
    EXPECT_EQ(ElementOf(Bytes(whole.begin(), whole.begin() + n), nullptr, &error), nullptr) << n;
    EXPECT_NE(error, TStream::kErrorNone) << n;
  }
  // Counts far beyond the bytes present end at the first short read; unknown tags give nothing.
  for (const char* hex :
       {"70757267 0100 FFFFFFFF 6C6F6F62 00000000", "74737361 00000000 FFFFFFFF 02000000 01000006",
        "6E727473 00000000 FFFFFFFF 626F78 00", "6E727473 00000000 00100000 6162"}) {
    u32 error = 0;
    EXPECT_EQ(ElementOf(Hex(hex), nullptr, &error), nullptr) << hex;
    EXPECT_NE(error, TStream::kErrorNone) << hex;
  }
  for (const char* hex : {"00000000", "4B4B4B4B 00000000", "50555247 0100 00000000"}) {
    EXPECT_EQ(ElementOf(Hex(hex)), nullptr) << hex;
  }
}

TEST(PymFilterTest, NestingIsCapped) {
  const ElementPtr deepest = ElementOf(NestedGroups(codes::kMaxNesting));
  const ElementPtr twin = ElementOf(NestedGroups(codes::kMaxNesting));
  ASSERT_TRUE(deepest && twin);
  // Comparing a tree at the cap stays linear in its depth.
  EXPECT_TRUE(FilterElementsEqual(deepest.get(), twin.get()));
  EXPECT_EQ(deepest->GetValueText().Length(), (codes::kMaxNesting - 1) * 8);
  EXPECT_EQ(BytesOf(deepest.get()), NestedGroups(codes::kMaxNesting));

  EXPECT_EQ(ElementOf(NestedGroups(codes::kMaxNesting + 1)), nullptr);
  Bytes leafBelow = NestedGroups(codes::kMaxNesting);
  leafBelow[leafBelow.size() - 4] = 1;
  const Bytes leaf = Hex("6C6F6F62 00000000");
  leafBelow.insert(leafBelow.end(), leaf.begin(), leaf.end());
  EXPECT_EQ(ElementOf(leafBelow), nullptr);
  // Far deeper input stops at the cap instead of exhausting the stack.
  u32 consumed = 0;
  EXPECT_EQ(ElementOf(NestedGroups(200000), &consumed), nullptr);
  EXPECT_EQ(consumed, codes::kMaxNesting * 10);
}

}  // namespace
