#include "gscommon/byte_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

namespace {

std::vector<u8> Bytes(const Utils::ByteBuffer& buffer) {
  return std::vector<u8>(buffer.Data(), buffer.Data() + buffer.Size());
}

TEST(ByteBufferTest, WritesLittleEndianAndBackPatches) {
  Utils::ByteBuffer buffer(64);
  ASSERT_TRUE(buffer.WriteU32(0));  // length placeholder
  EXPECT_TRUE(buffer.WriteU8(0x11));
  EXPECT_TRUE(buffer.WriteU16(0x2233));
  EXPECT_TRUE(buffer.WriteU32(0x44556677));
  EXPECT_TRUE(buffer.WriteI32(-2));
  EXPECT_TRUE(buffer.WriteF32(1.0f));
  EXPECT_TRUE(buffer.Write("ab", 3));
  u32 end = buffer.Position();
  ASSERT_TRUE(buffer.SetPosition(0));
  ASSERT_TRUE(buffer.WriteU32(end));
  ASSERT_TRUE(buffer.SetPosition(end));
  const std::vector<u8> want = {22,   0,    0,    0,    0x11, 0x33, 0x22, 0x77, 0x66, 0x55, 0x44,
                                0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x80, 0x3F, 'a',  'b',  0};
  EXPECT_EQ(Bytes(buffer), want);
  EXPECT_EQ(buffer.Flags(), 0u);
}

TEST(ByteBufferTest, SeeksAndReadsPastTheEndAreRefused) {
  Utils::ByteBuffer buffer(16);
  ASSERT_TRUE(buffer.Write("\x01\x02\x03\x04\x05\x06\x07", 7));
  EXPECT_TRUE(buffer.SetPosition(7));  // the end itself is a valid position
  EXPECT_FALSE(buffer.SetPosition(8));
  EXPECT_EQ(buffer.Position(), 7u);
  EXPECT_EQ(buffer.Flags(), Utils::ByteBuffer::kBadPosition);

  ASSERT_TRUE(buffer.SetPosition(0));
  u32 word = 0;
  u16 half = 0;
  u8 byte = 0;
  EXPECT_TRUE(buffer.ReadU32(&word));
  EXPECT_FALSE(buffer.ReadU32(&word));  // three bytes left: nothing read, nothing moved
  EXPECT_TRUE(buffer.ReadU16(&half) && buffer.ReadU8(&byte));
  EXPECT_FALSE(buffer.ReadU8(&byte));
  EXPECT_EQ(std::make_tuple(word, half, byte), std::make_tuple(0x04030201u, u16(0x0605), u8(7)));
}

TEST(ByteBufferTest, FailedGrowthSkipsLaterWritesAndKeepsDataConsistent) {
  Utils::ByteBuffer buffer(1024);
  ASSERT_TRUE(buffer.WriteU32(0xAABBCCDD));
  EXPECT_FALSE(buffer.Grow(0xFFFFFFFFu));  // need + step does not fit in 32 bits
  EXPECT_TRUE(buffer.OutOfStorage());
  EXPECT_FALSE(buffer.WriteU32(1));
  EXPECT_EQ(buffer.Position(), 4u);
  EXPECT_EQ(Bytes(buffer), (std::vector<u8>{0xDD, 0xCC, 0xBB, 0xAA}));

  Utils::ByteBuffer moved(16);
  moved = std::move(buffer);
  EXPECT_EQ(Bytes(moved), (std::vector<u8>{0xDD, 0xCC, 0xBB, 0xAA}));
  // A buffer without storage writes nothing and says so.
  Utils::ByteBuffer empty(std::move(moved));
  EXPECT_FALSE(moved.WriteU8(1));  // NOLINT(bugprone-use-after-move)
  EXPECT_FALSE(moved.Grow(1));
  EXPECT_TRUE(moved.OutOfStorage());
  EXPECT_EQ(moved.Size(), 0u);
}

}  // namespace
