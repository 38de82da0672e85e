#include "platform/byte_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Each store puts exactly these bytes at any address, aligned or not, and touches nothing else;
// each load gives the value back. Top bits set catch a sign-extended byte.
TEST(ByteOrderTest, StoresAndLoadsAtEveryOffset) {
  struct Case {
    int width;
    std::uint64_t value;
    Bytes bytes;
  };
  const Case cases[] = {
      {2, 0xA1B2, {0xB2, 0xA1}},
      {4, 0x80FF0011, {0x11, 0x00, 0xFF, 0x80}},
      {8, 0xFFEEDDCCBBAA9988, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
  };
  for (const Case& c : cases) {
    for (int offset = 0; offset < 8; ++offset) {
      SCOPED_TRACE("width " + std::to_string(c.width) + " at " + std::to_string(offset));
      Bytes buffer(17, 0x5A);
      std::uint8_t* at = buffer.data() + offset;
      if (c.width == 2) ByteOrder::StoreLE16(at, std::uint16_t(c.value));
      if (c.width == 4) ByteOrder::StoreLE32(at, std::uint32_t(c.value));
      if (c.width == 8) ByteOrder::StoreLE64(at, c.value);
      Bytes expected(17, 0x5A);
      std::copy(c.bytes.begin(), c.bytes.end(), expected.begin() + offset);
      EXPECT_EQ(buffer, expected);
      const std::uint64_t loaded = c.width == 2   ? ByteOrder::LoadLE16(at)
                                   : c.width == 4 ? ByteOrder::LoadLE32(at)
                                                  : ByteOrder::LoadLE64(at);
      EXPECT_EQ(loaded, c.value);
    }
  }
}

TEST(ByteOrderTest, FloatsAndAppendedValuesKeepTheirBytes) {
  std::uint8_t at[5] = {};
  ByteOrder::StoreLEF32(at + 1, 1.5f);
  EXPECT_EQ(Bytes(at + 1, at + 5), (Bytes{0x00, 0x00, 0xC0, 0x3F}));
  EXPECT_EQ(ByteOrder::LoadLEF32(at + 1), 1.5f);
  ByteOrder::StoreLEF32(at + 1, -0.0f);
  EXPECT_TRUE(std::signbit(ByteOrder::LoadLEF32(at + 1)));

  std::string text = "x";
  ByteOrder::AppendLE32(text, 0x64636261u);
  ByteOrder::AppendLE16(text, 0x6665u);
  EXPECT_EQ(text, "xabcdef");
  Bytes bytes;
  ByteOrder::AppendLE64(bytes, 0x0807060504030201u);
  EXPECT_EQ(bytes, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

}  // namespace
