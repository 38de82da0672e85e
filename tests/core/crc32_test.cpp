#include "core/crc32.h"

#include <gtest/gtest.h>

#include <string>

namespace {

u32 CrcOf(const std::string& s) {
  return Crc32(reinterpret_cast<const u8*>(s.data()), u32(s.size()));
}

TEST(Crc32Test, KnownVectors) {
  EXPECT_EQ(CrcOf(""), 0u);
  EXPECT_EQ(CrcOf("123456789"), 0xCBF43926u);
  EXPECT_EQ(CrcOf("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
  EXPECT_EQ(CrcOf(std::string(1, '\0')), 0xD202EF8Du);
  EXPECT_EQ(CrcOf(std::string(32, '\xFF')), 0xFF6CAB0Bu);
  EXPECT_EQ(Crc32(nullptr, 10), 0u);

  // Long runs go eight bytes at a time: every length and start against the bit-wise definition.
  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes.push_back(char(i * 37 + 11));
  for (size_t start : {0, 1, 3}) {
    for (size_t length = 0; length + start <= bytes.size(); length += 7) {
      u32 want = 0xFFFFFFFFu;
      for (size_t i = start; i < start + length; ++i) {
        want ^= u8(bytes[i]);
        for (int k = 0; k < 8; ++k) want = (want & 1) ? 0xEDB88320u ^ (want >> 1) : want >> 1;
      }
      ASSERT_EQ(Crc32(reinterpret_cast<const u8*>(bytes.data()) + start, u32(length)), ~want)
          << start << "+" << length;
    }
  }
}

TEST(Crc32Test, LowerCaseStringFoldsOnlyAsciiLetters) {
  struct Case {
    const char* text;
    const char* folded;
  };
  const Case cases[] = {
      {"Assets/KUID_12.Txt", "assets/kuid_12.txt"},
      {"@[`{", "@[`{"},                  // neighbours of A-Z and a-z stay
      {"\xC4\xD6\xDC", "\xC4\xD6\xDC"},  // bytes beyond ASCII stay
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Crc32LowerCaseString(c.text), CrcOf(c.folded));
  }
  EXPECT_EQ(Crc32LowerCaseString(nullptr), 0u);
}

}  // namespace
