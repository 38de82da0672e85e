#include "qel/code_page.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CodePageTest, Windows1252RoundTripsEveryByte) {
  std::string bytes;
  for (int i = 0; i < 5000; ++i) bytes.push_back(char(i % 256));  // crosses converter chunks
  for (u32 ansi : {Qel::kCodePageAnsi, Qel::kCodePage1252}) {
    std::string utf8, back;
    ASSERT_TRUE(Qel::ConvertCodePage(bytes, ansi, Qel::kCodePageUtf8, &utf8));
    ASSERT_TRUE(Qel::ConvertCodePage(utf8, Qel::kCodePageUtf8, ansi, &back));
    EXPECT_EQ(back, bytes);
    std::u16string wide;
    ASSERT_TRUE(Qel::MultiByteToUtf16(bytes, ansi, &wide));
    ASSERT_EQ(wide.size(), bytes.size());
    for (int b = 0; b < 256; ++b) {
      EXPECT_TRUE((b >= 0x80 && b <= 0x9F) || wide[b] == b) << "Latin-1 part " << b;
    }
  }
}

TEST(CodePageTest, CharactersWindows1252LacksBecomeQuestionMarks) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"a\u0101b", "a?b"},
      {u"\U0001F600x", "?x"},  // one mark for a whole surrogate pair
      {u"\xD800x", "?x"},      // lone high surrogate
      {u"x\xDC00", "x?"},      // lone low surrogate
      {u"x\xD800", "x?"},      // cut off at the end
      {u"\u20AC\u0081", "\x80\x81"},
      {std::u16string(2000, u'\u4E00'), std::string(2000, '?')},
  };
  for (const auto& [wide, narrow] : cases) {
    std::string out;
    ASSERT_TRUE(Qel::Utf16ToMultiByte(wide, 1252, &out));
    EXPECT_EQ(out, narrow);
  }
}

TEST(CodePageTest, Utf8AndUtf16) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"", u""},
      {"\xC3\xA9", u"\u00E9"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const auto& [utf8, wide] : cases) {
    EXPECT_EQ(Qel::Utf8ToUtf16(utf8), wide) << utf8;
    EXPECT_EQ(Qel::Utf16ToUtf8(wide), utf8) << utf8;
  }
  EXPECT_EQ(Qel::Utf16ToUtf8(u"a\xDC00"), "a\xEF\xBF\xBD");
  EXPECT_EQ(Qel::Utf16ToUtf8(u"\xD800\xD800\xDC00"), "\xEF\xBF\xBD\xF0\x90\x80\x80");
}

TEST(CodePageTest, InvalidUtf8BecomesReplacementCharacters) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"a\x80z", u"a\uFFFDz"},                            // lone continuation
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"ab\xE2\x82", u"ab\uFFFD"},                        // cut short at the end
      {"\xF0\x9F\x98z", u"\uFFFDz"},                      // cut short by ASCII
      {"\xC3\xC3\xA9", u"\uFFFD\u00E9"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(Qel::Utf8ToUtf16(in), out);
  std::string ansi;
  ASSERT_TRUE(Qel::ConvertCodePage("x\xC0y\xE2\x82", 65001, 0, &ansi));
  EXPECT_EQ(ansi, "x?y?");
}

}  // namespace
