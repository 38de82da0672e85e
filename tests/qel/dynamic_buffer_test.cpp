#include "qel/dynamic_buffer.h"

#include <gtest/gtest.h>

namespace {

TEST(DynamicBuffer, WritesAtPositionReadsShortAtEndAndCleanEmpties) {
  Qel::DynamicBuffer b;
  EXPECT_EQ(b.Write("abcdef", 6), 6u);
  b.SetPosition(2);
  EXPECT_EQ(b.Write("XY", 2), 2u);
  EXPECT_EQ(b.GetDataSize(), 6u);
  b.SetPosition(4);
  char out[8] = {};
  EXPECT_EQ(b.Read(out, 8), 2u);
  EXPECT_STREQ(out, "ef");
  b.SetPosition(0);
  EXPECT_EQ(b.Read(out, 4), 4u);
  EXPECT_EQ(std::string(out, 4), "abXY");
  b.SetPosition(1u << 30);
  EXPECT_LE(b.GetPosition(), b.GetAllocatedLength());
  b.AddLength(1000);
  EXPECT_GE(b.GetAllocatedLength(), 1006u);
  b.Clean();
  EXPECT_EQ(b.GetDataSize() + b.GetPosition() + b.Read(out, 1), 0u);
}

}  // namespace
