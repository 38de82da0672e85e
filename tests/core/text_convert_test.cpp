#include "core/text_convert.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

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

// The result-line rules: what stays (a backslash too), pairs of line breaks, every kind of control
// character, and bytes of sequences that are no well-formed UTF-8, each escaped on its own.
TEST(TextConvertTest, EveryControlCharacterButTabIsEscaped) {
  const std::pair<std::string_view, std::string> cases[] = {
      {"a\tb \xC3\xA9\xC2\xA0\xEF\xBF\xBD\xF4\x8F\xBF\xBF",
       "a\tb \xC3\xA9\xC2\xA0\xEF\xBF\xBD\xF4\x8F\xBF\xBF"},
      {"mesh-table\\night", "mesh-table\\night"},
      {std::string_view("a\r\nb\n\rc\n\n\0", 10), "a\\nb\\nc\\n\\n\\x00"},
      {"\x1b[\v\f\x1c\x1e\b\x7f", "\\x1b[\\x0b\\x0c\\x1c\\x1e\\x08\\x7f"},
      {"\xC2\x85\xC2\x9B\xE2\x80\xA8\xE2\x80\xA9", "\\u0085\\u009b\\u2028\\u2029"},
      {"\x9B\xE9\xC0\x8A\xE2\x80", "\\x9b\\xe9\\xc0\\x8a\\xe2\\x80"},
      {"A\xC1\x9B\x32K", "A\\xc1\\x9b2K"},
      {"A\xE0\x81\x9B\x32K", "A\\xe0\\x81\\x9b2K"},
      {"A\xED\xA0\x9B\x32K", "A\\xed\\xa0\\x9b2K"},
      {"A\xF4\x90\x80\x9B\x32K", "A\\xf4\\x90\\x80\\x9b2K"},
      {"A\xF7\xBF\xBF\x9B\x32K", "A\\xf7\\xbf\\xbf\\x9b2K"},
      {"\xF8\x88\x80\x80\x80\xBF", "\\xf8\\x88\\x80\\x80\\x80\\xbf"},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(EscapeControlCharacters(text), shown);
}

}  // namespace
