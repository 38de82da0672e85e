#include "core/text_convert.h"

#include <gtest/gtest.h>

namespace {

TEST(TextConvertTest, DecodeStopsAtTheEndAndRejectsCutSequences) {
  struct Case {
    const char* name;
    std::string_view bytes;
    u32 code_point;
    u32 length;
  };
  const Case cases[] = {
      {"two bytes", "\xC3\xA9", 0xE9, 2},
      {"four bytes", "\xF0\x9F\x98\x80", 0x1F600, 4},
      {"end of text", "", 0, 0},
      {"cut by the end", std::string_view("\xE2\x82\xAC", 2), kInvalidCodePoint, 2},
      {"cut by a NUL", std::string_view("\xF0\x9F\0\x80", 4), kInvalidCodePoint, 2},
      {"cut by a plain byte",
       "\xC3"
       "A",
       kInvalidCodePoint, 1},
      {"five-byte lead", "\xF8\x88\x80\x80\x80", kInvalidCodePoint, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    u32 length = 99;
    EXPECT_EQ(DecodeUtf8Char(c.bytes, &length), c.code_point);
    EXPECT_EQ(length, c.length);
  }
  u32 length = 99;
  EXPECT_EQ(DecodeUtf8Char("\xE2\x82", &length), kInvalidCodePoint) << "the NUL ends the text";
  EXPECT_EQ(length, 2u);
}

TEST(TextConvertTest, EveryControlCharacterButTabIsEscaped) {
  const struct {
    const char* name;
    std::string_view text;
    std::string shown;
  } cases[] = {
      {"plain, TAB and UTF-8 letters stay", "a\tb \xC3\xA9\xE2\x82\xAC",
       "a\tb \xC3\xA9\xE2\x82\xAC"},
      {"backslash", "a\\n", "a\\\\n"},
      {"line breaks, pairs as one", "a\r\nb\n\rc\rd\n\ne", "a\\nb\\nc\\nd\\n\\ne"},
      {"C0 and DEL", std::string_view("\x1b[2K\b\v\f\x1c\x1e\0\x7f", 11),
       "\\x1b[2K\\x08\\x0b\\x0c\\x1c\\x1e\\x00\\x7f"},
      {"C1 and the separators", "\xC2\x85\xC2\x9B\xE2\x80\xA8\xE2\x80\xA9\xC2\xA0",
       "\\u0085\\u009b\\u2028\\u2029\xC2\xA0"},
      {"an overlong line feed", "\xC0\x8A", "\\u000a"},
      {"stray C1 bytes, other stray bytes stay", "\x9B\x85\xE9\xE2\x80", "\\x9b\\x85\xE9\xE2\\x80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EscapeControlCharacters(c.text), c.shown);
  }
}

}  // namespace
