#include "platform/byte_order.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Each store must put exactly these bytes at any address, aligned or not, and each load must
// give the value back. Top bits set catch a sign-extended byte.
struct Case {
  const char* name;
  int width;
  std::uint64_t value;
  Bytes bytes;
};

const Case kCases[] = {
    {"16", 2, 0xA1B2, {0xB2, 0xA1}},
    {"32", 4, 0x11223344, {0x44, 0x33, 0x22, 0x11}},
    {"32 top bit", 4, 0x80FF0001, {0x01, 0x00, 0xFF, 0x80}},
    {"64", 8, 0x0102030405060708, {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
    {"64 top bits", 8, 0xFFEEDDCCBBAA9988, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
};

void Store(int width, void* at, std::uint64_t value) {
  if (width == 2) ByteOrder::StoreLE16(at, std::uint16_t(value));
  if (width == 4) ByteOrder::StoreLE32(at, std::uint32_t(value));
  if (width == 8) ByteOrder::StoreLE64(at, value);
}

std::uint64_t Load(int width, const void* at) {
  if (width == 2) return ByteOrder::LoadLE16(at);
  if (width == 4) return ByteOrder::LoadLE32(at);
  return ByteOrder::LoadLE64(at);
}

TEST(ByteOrderTest, StoresAndLoadsAtEveryOffset) {
  for (const Case& c : kCases) {
    for (int offset = 0; offset < 8; ++offset) {
      SCOPED_TRACE(std::string(c.name) + " at offset " + std::to_string(offset));
      Bytes buffer(24, 0x5A);
      Store(c.width, buffer.data() + offset, c.value);
      EXPECT_EQ(Bytes(buffer.begin() + offset, buffer.begin() + offset + c.width), c.bytes);
      EXPECT_EQ(buffer[offset + c.width], 0x5A) << "wrote past the value";
      if (offset > 0) {
        EXPECT_EQ(buffer[offset - 1], 0x5A) << "wrote before the value";
      }
      EXPECT_EQ(Load(c.width, buffer.data() + offset), c.value);
    }
  }
}

TEST(ByteOrderTest, WidthGenericFormsMatchTheFixedOnes) {
  std::uint8_t at[9] = {};
  ByteOrder::StoreLE<std::uint32_t>(at + 1, 0xCAFEF00Du);
  EXPECT_EQ(ByteOrder::LoadLE32(at + 1), 0xCAFEF00Du);
  EXPECT_EQ(ByteOrder::LoadLE<std::uint16_t>(at + 1), 0xF00Du);
  ByteOrder::StoreLE<std::uint8_t>(at + 8, 0xEE);
  EXPECT_EQ(ByteOrder::LoadLE<std::uint8_t>(at + 8), 0xEE);
  ByteOrder::StoreLE<std::uint64_t>(at + 1, 0x1122334455667788u);
  EXPECT_EQ(ByteOrder::LoadLE<std::uint64_t>(at + 1), 0x1122334455667788u);
  EXPECT_EQ(at[8], 0x11);
}

TEST(ByteOrderTest, FloatsTravelAsTheirBitPatterns) {
  std::uint8_t at[5] = {};
  ByteOrder::StoreLEF32(at + 1, 1.5f);
  EXPECT_EQ(Bytes(at + 1, at + 5), (Bytes{0x00, 0x00, 0xC0, 0x3F}));
  EXPECT_EQ(ByteOrder::LoadLEF32(at + 1), 1.5f);
  ByteOrder::StoreLEF32(at + 1, -0.0f);
  EXPECT_TRUE(std::signbit(ByteOrder::LoadLEF32(at + 1)));
}

TEST(ByteOrderTest, AppendsToStringsAndVectors) {
  std::string text = "x";
  ByteOrder::AppendLE32(text, 0x64636261u);
  ByteOrder::AppendLE16(text, 0x6665u);
  EXPECT_EQ(text, "xabcdef");
  Bytes bytes{0x01};
  ByteOrder::AppendLE64(bytes, 0x0807060504030201u);
  ByteOrder::AppendLE32(bytes, 0xFFFFFFFFu);
  EXPECT_EQ(bytes,
            (Bytes{0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xFF, 0xFF, 0xFF, 0xFF}));
}

}  // namespace
