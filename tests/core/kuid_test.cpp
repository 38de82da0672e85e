#include "core/kuid.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"

namespace {

const KUID kNull = KUID::Null();

TEST(KuidTest, TextFormsAndParseBack) {
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
      {kNull, "<NULL>", "<NULL>", "NULLKUID", "NULLKUID"},
      {{-1, -1, 0}, "<kuid2:-1:-1:0>", "<kuid:-1:-1>", "kuid2 -1 -1 0", "-1:-1:0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_STREQ(c.k.ToString().CStr(), c.text);
    EXPECT_STREQ(c.k.ToBaseString().CStr(), c.base);
    EXPECT_STREQ(c.k.ToSpacedString().CStr(), c.spaced);
    EXPECT_STREQ(c.k.ToColonString().CStr(), c.colon);
    if (c.k.IsWellFormed()) {
      EXPECT_EQ(KUID::Parse(c.text, true), c.k);
    }
  }
}

TEST(KuidTest, ParseBothModes) {
  struct Case {
    const char* text;
    KUID strict;
    KUID lenient;
  };
  const Case cases[] = {
      {"<KUID:12:34>", {12, 34, 0}, {12, 34, 0}},
      {"<kuid:-12:34>", {-12, 34, 127}, {-12, 34, 127}},
      {"<kuid:12:34", kNull, {12, 34, 0}},
      {"<kuid:5:>", {5, -1, 0}, {5, -1, 0}},
      {"<kuid:33554432:1>", kNull, kNull},
      {"<KuId2:12:34:5>", {12, 34, 5}, {12, 34, 5}},
      {"<kuid2:-12:34:127>", kNull, kNull},
      {"<kuid2:12:34:200>", kNull, kNull},
      {"<kuid2:12:34>", kNull, {12, 34, 127}},
      {"<kuid2:33554431:1:127>", {33554431, 1, 127}, {33554431, 1, 127}},
      {"kuid:-33554432:1", {-33554432, 1, 127}, {-33554432, 1, 127}},
      {"kuid:-33554433:1", kNull, kNull},
      {"kuid:12", kNull, {12, -1, 0}},
      {"kuid2:1:2", {1, 2, 127}, {1, 2, 127}},
      // Bare numbers: lenient only.
      {"-12:34", kNull, {-12, 34, 127}},
      {"<12:34>>", kNull, kNull},
      {"12345", kNull, {-1, 12345, 127}},
      {" 12:34", kNull, kNull},
      {"", kNull, kNull},
      {"<null>whatever", kNull, kNull},
      // Numbers beyond i32 give the null KUID instead of wrapping.
      {"<kuid:2147483648:1>", kNull, kNull},
      {"<kuid:1:2147483647>", {1, INT_MAX, 0}, {1, INT_MAX, 0}},
      {"<kuid2:4294967297:2:3>", kNull, kNull},
      {"4294967296", kNull, kNull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(KUID::Parse(c.text, true), c.strict) << KUID::Parse(c.text, true).ToString().CStr();
    EXPECT_EQ(KUID::Parse(c.text, false), c.lenient)
        << KUID::Parse(c.text, false).ToString().CStr();
  }
  EXPECT_EQ(KUID::Parse(nullptr, false), kNull);
}

TEST(KuidTest, StreamForm) {
  Qel::DynamicBuffer bytes;
  TBuffer stream(&bytes, false);
  KUID::Write(KUID(1, 2, 3), stream);
  KUID::Write(kNull, stream);
  KUID::Write(KUID(-16777216, 5, 127), stream);
  EXPECT_EQ(std::vector<u8>(bytes.GetData(), bytes.GetData() + bytes.GetDataSize()),
            (std::vector<u8>{
                2,    0,    0,    0,    1,    0,    0,    6,     // content id, then the packed word
                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // null
                5,    0,    0,    0,    0,    0,    0,    0xFF}));
  stream.Seek(0, 0);
  for (const KUID& k : {KUID(1, 2, 3), kNull, KUID(-16777216, 5, 127)}) {
    EXPECT_EQ(KUID::Read(stream), k);
  }
  EXPECT_EQ(stream.GetError(), TStream::kErrorNone);

  // Only the content id is present: the packed word falls back to the null word.
  Qel::DynamicBuffer short_bytes;
  TBuffer cut(&short_bytes, false);
  cut.WriteU32(42);
  cut.Seek(0, 0);
  EXPECT_EQ(KUID::Read(cut), KUID(-1, 42, 127));
  EXPECT_EQ(cut.GetError(), TStream::kErrorShortRead);
}

}  // namespace
