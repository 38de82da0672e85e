#include "gscommon/array.h"

#include <gtest/gtest.h>

namespace {

struct LineEntry {
  u32 offset, line;
};

TEST(ArrayTest, GrowsInWholeStepsPastTheIndexKeepingElements) {
  Utils::Array<LineEntry, 4> array;
  ASSERT_EQ(array.Capacity(), 4u);
  for (u32 i = 0; i < 4; ++i) array[i] = {i, 100 + i};
  const u32 cases[][2] = {{3, 4}, {4, 8}, {7, 8}, {9, 12}, {100, 104}, {5, 104}};
  for (const auto& c : cases) {
    ASSERT_TRUE(array.GrowToHold(c[0]));
    EXPECT_EQ(array.Capacity(), c[1]) << c[0];
  }
  for (u32 i = 0; i < 4; ++i) EXPECT_EQ(array[i].line, 100 + i);
  for (u32 i = 4; i < 104; ++i) EXPECT_EQ(array[i].line, 0u);
  EXPECT_EQ(array.At(104), nullptr);

  Utils::Array<void*, 32> queue;
  ASSERT_TRUE(queue.Set(40, &queue));
  EXPECT_EQ(queue.Capacity(), 64u);
  EXPECT_FALSE(queue.GrowToHold(0xFFFFFFFFu));
  EXPECT_FALSE(queue.Set(0xFFFFFFF0u, nullptr));
  EXPECT_EQ(queue.Capacity(), 64u);
  EXPECT_EQ(queue[40], &queue);
}

}  // namespace
