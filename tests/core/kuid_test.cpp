#include "core/kuid.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"

namespace {

const KUID kNull = KUID::Null();

TEST(KuidTest, DefaultIsTheNullConstant) {
  KUID k;
  EXPECT_EQ(k, kNull);
  EXPECT_EQ(k, kNullKUID);
  EXPECT_EQ(k, KUID(-1, -1, 127));
  EXPECT_TRUE(k.IsNull());
  EXPECT_TRUE(k.IsWellFormed());
  EXPECT_TRUE(k.IsShortForm());
  EXPECT_NE(KUID(-1, -1, 0), kNull);
  EXPECT_NE(KUID(-1, 0, 127), kNull);
  EXPECT_NE(KUID(0, -1, 127), kNull);
}

TEST(KuidTest, WellFormedAndShortForm) {
  struct Case {
    KUID k;
    bool wellFormed;
    bool shortForm;
  };
  const Case cases[] = {
      {{0, 0, 0}, true, true},
      {{33554431, 5, 127}, true, false},
      {{33554432, 5, 0}, false, true},
      {{5, 5, 128}, false, false},
      {{5, 5, -1}, false, false},
      {{-33554432, 5, 127}, true, true},
      {{-33554433, 5, 127}, false, true},
      {{-5, 5, 0}, false, false},
      {{-5, 5, 126}, false, false},
      {{5, INT_MIN, 3}, true, false},  // the content id is never checked
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.k.ToString().CStr());
    EXPECT_EQ(c.k.IsWellFormed(), c.wellFormed);
    EXPECT_EQ(c.k.IsShortForm(), c.shortForm);
  }
}

TEST(KuidTest, TextForms) {
  struct Case {
    KUID k;
    const char* text;
    const char* base;
    const char* spaced;
    const char* colon;
  };
  const Case cases[] = {
      {{5, 6, 0}, "<kuid:5:6>", "<kuid:5:6>", "kuid 5 6", "5:6"},
      {{-5, 6, 127}, "<kuid:-5:6>", "<kuid:-5:6>", "kuid -5 6", "-5:6"},
      {{5, 6, 127}, "<kuid2:5:6:127>", "<kuid:5:6>", "kuid2 5 6 127", "5:6:127"},
      {{-5, 6, 0}, "<kuid2:-5:6:0>", "<kuid:-5:6>", "kuid2 -5 6 0", "-5:6:0"},
      {kNull, "<NULL>", "<NULL>", "NULLKUID", "NULLKUID"},
      {{-1, -1, 0}, "<kuid2:-1:-1:0>", "<kuid:-1:-1>", "kuid2 -1 -1 0", "-1:-1:0"},
      {{-1, 12345, 127}, "<kuid:-1:12345>", "<kuid:-1:12345>", "kuid -1 12345", "-1:12345"},
      {{INT_MAX, INT_MIN, 0},
       "<kuid:2147483647:-2147483648>",
       "<kuid:2147483647:-2147483648>",
       "kuid 2147483647 -2147483648",
       "2147483647:-2147483648"},
      {{0, 0, 1}, "<kuid2:0:0:1>", "<kuid:0:0>", "kuid2 0 0 1", "0:0:1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_STREQ(c.k.ToString().CStr(), c.text);
    EXPECT_STREQ(c.k.ToBaseString().CStr(), c.base);
    EXPECT_STREQ(c.k.ToSpacedString().CStr(), c.spaced);
    EXPECT_STREQ(c.k.ToColonString().CStr(), c.colon);
  }
}

TEST(KuidTest, ParseBothModes) {
  struct Case {
    const char* text;
    KUID strict;
    KUID lenient;
  };
  const Case cases[] = {
      // Bracketed short form; keywords ignore case.
      {"<KUID:12:34>", {12, 34, 0}, {12, 34, 0}},
      {"<kuid:-12:34>", {-12, 34, 127}, {-12, 34, 127}},
      {"<kuid:12:34> trailing", {12, 34, 0}, {12, 34, 0}},
      {"<kuid:12:34", kNull, {12, 34, 0}},
      {"<kuid: 12:34>", kNull, {12, 34, 0}},
      {"<kuid:12:-34>", kNull, {12, -34, 0}},
      {"<kuid:12:34:5>", kNull, {12, 34, 0}},
      {"<kuid:abc>", kNull, kNull},
      {"<kuid::5>", kNull, kNull},
      {"<kuid:5:>", {5, -1, 0}, {5, -1, 0}},
      {"<kuid:33554432:1>", kNull, kNull},
      // Bracketed full form.
      {"<kuid2:12:34:5>", {12, 34, 5}, {12, 34, 5}},
      {"<KuId2:12:34:5>", {12, 34, 5}, {12, 34, 5}},
      {"<kuid2:-12:34:5>", kNull, kNull},
      {"<kuid2:-12:34:127>", kNull, kNull},
      {"<kuid2:12:34:200>", kNull, kNull},
      {"<kuid2:12:34>", kNull, {12, 34, 127}},
      {"<kuid2:12:34:5", kNull, {12, 34, 5}},
      {"<kuid2:+12:34:5>", kNull, {12, 34, 5}},
      {"<kuid2:12:34:x>", kNull, {12, 34, 127}},
      {"<kuid2::34:5>", kNull, kNull},
      {"<kuid2:33554431:1:127>", {33554431, 1, 127}, {33554431, 1, 127}},
      {"<kuid2:33554432:1:0>", kNull, kNull},
      // Bare keyword forms: strict checks only the user:content pair.
      {"kuid:33554432:1", kNull, kNull},
      {"kuid:-33554432:1", {-33554432, 1, 127}, {-33554432, 1, 127}},
      {"kuid:-33554433:1", kNull, kNull},
      {"kuid:33554431:1", {33554431, 1, 0}, {33554431, 1, 0}},
      {"KUID:12:34 junk", {12, 34, 0}, {12, 34, 0}},
      {"kuid:12", kNull, {12, -1, 0}},
      {"kuid:x:1", kNull, kNull},
      {"kuid:5:", kNull, {5, -1, 0}},
      {"kuid2:1:2:3", {1, 2, 3}, {1, 2, 3}},
      {"kuid2:1:2", {1, 2, 127}, {1, 2, 127}},
      {"kuid2:-1:2:127", kNull, kNull},
      // Bare numbers: lenient only.
      {"12:34", kNull, {12, 34, 0}},
      {"-12:34", kNull, {-12, 34, 127}},
      {"<12:34>", kNull, {12, 34, 0}},
      {"<12:34", kNull, {12, 34, 0}},
      {"<12:34>>", kNull, kNull},
      {"12:34:5", kNull, kNull},
      {"<12:34:5>", kNull, kNull},
      {"12345", kNull, {-1, 12345, 127}},
      {"-", kNull, kNull},
      {":", kNull, kNull},
      {"<>", kNull, kNull},
      {" 12:34", kNull, kNull},
      {"12a:34", kNull, kNull},
      // Null and empty texts.
      {"", kNull, kNull},
      {"<NULL>", kNull, kNull},
      {"<null>whatever", kNull, kNull},
      {"NULLKUID", kNull, kNull},
      {"kuid", kNull, kNull},
      {"<kuid", kNull, kNull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(KUID::Parse(c.text, true), c.strict) << KUID::Parse(c.text, true).ToString().CStr();
    EXPECT_EQ(KUID::Parse(c.text, false), c.lenient)
        << KUID::Parse(c.text, false).ToString().CStr();
  }
  EXPECT_EQ(KUID::Parse(nullptr, true), kNull);
  EXPECT_EQ(KUID::Parse(nullptr, false), kNull);
}

TEST(KuidTest, ParseRejectsNumbersBeyondI32) {
  struct Case {
    const char* text;
    KUID lenient;
  };
  const Case cases[] = {
      {"<kuid:2147483648:1>", kNull},
      {"<kuid:1:2147483648>", kNull},
      {"<kuid:1:99999999999999999999999999>", kNull},
      {"<kuid:1:2147483647>", {1, INT_MAX, 0}},
      {"<kuid:1:-2147483648>", {1, INT_MIN, 0}},
      {"<kuid:1:-2147483649>", kNull},
      {"<kuid2:1:2:4294967299>", kNull},
      {"<kuid2:4294967297:2:3>", kNull},
      {"kuid:1:4294967296", kNull},
      {"1:4294967296", kNull},
      {"4294967296", kNull},
      {"2147483647", {-1, INT_MAX, 127}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(KUID::Parse(c.text, false), c.lenient);
    if (c.lenient == kNull) {
      EXPECT_EQ(KUID::Parse(c.text, true), kNull);
    }
  }
}

TEST(KuidTest, CanonicalTextParsesBack) {
  const KUID kuids[] = {kNull,           {0, 0, 0},         {5, 6, 0},           {5, 6, 127},
                        {-5, 6, 127},    {33554431, 1, 64}, {-33554432, 0, 127}, {7, INT_MAX, 1},
                        {-1, 12345, 127}};
  for (const KUID& k : kuids) {
    Qel::PString text = k.ToString();
    SCOPED_TRACE(text.CStr());
    EXPECT_EQ(KUID::Parse(text.CStr(), true), k);
    EXPECT_EQ(KUID::Parse(text.CStr(), false), k);
  }
}

TEST(KuidTest, PackAndUnpack) {
  struct Case {
    KUID k;
    u32 word;
    u32 content;
  };
  const Case cases[] = {
      {{-1, 7, 127}, 0xFFFFFFFFu, 7},        {kNull, 0xFFFFFFFFu, 0xFFFFFFFFu},
      {{1, 2, 3}, 0x06000001u, 2},           {{0, 0, 0}, 0, 0},
      {{-16777216, 9, 127}, 0xFF000000u, 9}, {{16777215, INT_MIN, 0}, 0x00FFFFFFu, 0x80000000u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.k.ToString().CStr());
    KUID::Packed p = KUID::Pack(c.k);
    EXPECT_EQ(p.word, c.word);
    EXPECT_EQ(p.contentId, c.content);
    EXPECT_EQ(KUID::Unpack(c.word, c.content), c.k);
  }
  // Bit 24 is the sign of the stored user id.
  EXPECT_EQ(KUID::Unpack(0x01000000u, 7), KUID(-16777216, 7, 0));
  EXPECT_EQ(KUID::Unpack(0x00FFFFFFu, 7), KUID(16777215, 7, 0));
  EXPECT_EQ(KUID::Unpack(0xFE000005u, 7), KUID(5, 7, 127));
}

TEST(KuidTest, StreamForm) {
  Qel::DynamicBuffer bytes;
  TBuffer stream(&bytes, false);
  KUID::Write(KUID(1, 2, 3), stream);
  KUID::Write(kNull, stream);
  KUID::Write(KUID(-16777216, 5, 127), stream);
  ASSERT_EQ(bytes.GetDataSize(), 24u);
  const u8 expected[8] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x06};
  EXPECT_EQ(std::vector<u8>(bytes.GetData(), bytes.GetData() + 8),
            std::vector<u8>(expected, expected + 8));
  for (u32 i = 8; i < 16; ++i) EXPECT_EQ(bytes.GetData()[i], 0xFF) << i;

  stream.Seek(0, 0);
  EXPECT_EQ(KUID::Read(stream), KUID(1, 2, 3));
  EXPECT_EQ(KUID::Read(stream), kNull);
  EXPECT_EQ(KUID::Read(stream), KUID(-16777216, 5, 127));
  EXPECT_EQ(stream.GetError(), TStream::kErrorNone);
}

TEST(KuidTest, ShortStreamReadGivesNullParts) {
  // Only the content id is present: the packed word falls back to the null word.
  Qel::DynamicBuffer bytes;
  TBuffer stream(&bytes, false);
  stream.WriteU32(42);
  stream.Seek(0, 0);
  EXPECT_EQ(KUID::Read(stream), KUID(-1, 42, 127));
  EXPECT_EQ(stream.GetError(), TStream::kErrorShortRead);

  Qel::DynamicBuffer empty;
  TBuffer nothing(&empty, false);
  EXPECT_EQ(KUID::Read(nothing), kNull);
  EXPECT_EQ(nothing.GetError(), TStream::kErrorShortRead);
}

}  // namespace
