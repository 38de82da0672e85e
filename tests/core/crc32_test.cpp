#include "core/crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

u32 CrcOf(const std::string& s) {
  return Crc32(reinterpret_cast<const u8*>(s.data()), u32(s.size()));
}

TEST(Crc32Test, KnownVectors) {
  struct Case {
    std::string data;
    u32 crc;
  };
  const Case cases[] = {
      {"", 0},
      {"a", 0xE8B7BE43u},
      {"abc", 0x352441C2u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
      {std::string(1, '\0'), 0xD202EF8Du},
      {std::string(32, '\xFF'), 0xFF6CAB0Bu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    EXPECT_EQ(CrcOf(c.data), c.crc);
  }
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
  EXPECT_EQ(Crc32(nullptr, 10), 0u);
}

TEST(Crc32Test, LowerCaseStringFoldsOnlyAsciiLetters) {
  struct Case {
    const char* text;
    const char* folded;
  };
  const Case cases[] = {
      {"ABC", "abc"},
      {"abc", "abc"},
      {"Assets/KUID_12.Txt", "assets/kuid_12.txt"},
      {"@[`{", "@[`{"},                  // neighbours of A-Z and a-z stay
      {"\xC4\xD6\xDC", "\xC4\xD6\xDC"},  // bytes beyond ASCII stay
      {"123456789", "123456789"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Crc32LowerCaseString(c.text), CrcOf(c.folded));
  }
  EXPECT_EQ(Crc32LowerCaseString("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32LowerCaseString(""), 0u);
  EXPECT_EQ(Crc32LowerCaseString(nullptr), 0u);
  EXPECT_NE(Crc32LowerCaseString("abd"), Crc32LowerCaseString("abc"));
}

}  // namespace
