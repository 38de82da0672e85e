#include "core/pod_array.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

TEST(PodArray8Test, GrowsInStepsOf128AndKeepsBytes) {
  PodArray8 a;
  for (auto [count, capacity] : {std::pair{1u, 128u}, {128u, 128u}, {129u, 256u}, {1000u, 1024u}}) {
    while (a.Count() < count) a.PushBack(u8(a.Count() * 7));
    EXPECT_EQ(a.Capacity(), capacity) << count;
  }
  for (u32 i = 0; i < a.Count(); ++i) ASSERT_EQ(a.Data()[i], u8(i * 7)) << i;

  PodArray8 b(std::move(a));
  EXPECT_EQ(b.Count(), 1000u);
  EXPECT_EQ(a.Data(), nullptr);  // NOLINT(bugprone-use-after-move)
  b.Clear();
  b.PushBack(0);
  EXPECT_EQ(b.Capacity(), 1024u) << "clearing keeps the block";
}

}  // namespace
