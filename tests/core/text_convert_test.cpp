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

// The result-line rules: what stays, pairs of line breaks, every kind of control character, and
// control characters that are no well-formed UTF-8.
TEST(TextConvertTest, EveryControlCharacterButTabIsEscaped) {
  const std::pair<std::string_view, std::string> cases[] = {
      {"a\tb \xC3\xA9\xC2\xA0\\", "a\tb \xC3\xA9\xC2\xA0\\\\"},
      {std::string_view("a\r\nb\n\rc\n\n\0", 10), "a\\nb\\nc\\n\\n\\x00"},
      {"\x1b[\v\f\x1c\x1e\b\x7f", "\\x1b[\\x0b\\x0c\\x1c\\x1e\\x08\\x7f"},
      {"\xC2\x85\xE2\x80\xA8\xE2\x80\xA9", "\\u0085\\u2028\\u2029"},
      {"\x9B\xE9\xC0\x8A\xE2\x80", "\\x9b\xE9\\u000a\xE2\\x80"},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(EscapeControlCharacters(text), shown);
}

}  // namespace
