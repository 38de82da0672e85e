#include "core/pod_array.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

TEST(PodArray8Test, GrowsInStepsOf128AndKeepsBytes) {
  PodArray8 a;
  EXPECT_EQ(a.Count(), 0u);
  EXPECT_EQ(a.Capacity(), 0u);
  const struct {
    u32 count;
    u32 capacity;
  } steps[] = {{1, 128}, {128, 128}, {129, 256}, {256, 256}, {257, 384}, {1000, 1024}};
  u32 pushed = 0;
  for (const auto& s : steps) {
    while (pushed < s.count) a.PushBack(u8(pushed++ * 7));
    EXPECT_EQ(a.Count(), s.count);
    EXPECT_EQ(a.Capacity(), s.capacity);
  }
  for (u32 i = 0; i < a.Count(); ++i) ASSERT_EQ(a.Data()[i], u8(i * 7)) << i;

  a.Clear();
  EXPECT_EQ(a.Count(), 0u);
  EXPECT_EQ(a.Capacity(), 1024u);
  a.PushBack(0);
  EXPECT_EQ(a.Capacity(), 1024u);

  PodArray8 b(std::move(a));
  EXPECT_EQ(b.Count(), 1u);
  EXPECT_EQ(a.Data(), nullptr);  // NOLINT(bugprone-use-after-move)
  a = std::move(b);
  EXPECT_EQ(a.Count(), 1u);
}

}  // namespace
