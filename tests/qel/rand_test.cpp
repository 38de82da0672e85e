#include "qel/rand.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

std::vector<u32> Draw(Qel::Rand& r, int n) {
  std::vector<u32> out;
  for (int i = 0; i < n; ++i) out.push_back(r.Next());
  return out;
}

TEST(RandTest, SeedDeterminesTheSequence) {
  Qel::Rand a(12345), b(12345), c(12346), zero;
  const std::vector<u32> first = Draw(a, 64);
  EXPECT_EQ(first, Draw(b, 64));
  EXPECT_NE(first, Draw(c, 64));
  a.Seed(12345);
  EXPECT_EQ(first, Draw(a, 64));
  a.Seed(0);
  EXPECT_EQ(Draw(a, 8), Draw(zero, 8)) << "the default seed is 0";
}

TEST(RandTest, DrawsStayInTheirBounds) {
  const std::pair<i32, i32> ranges[] = {
      {0, 0}, {0, 1}, {-3, 3}, {5, -5}, {INT32_MIN, INT32_MAX}, {INT32_MAX - 1, INT32_MAX}};
  Qel::Rand r(7);
  for (auto [a, b] : ranges) {
    const i32 lo = std::min(a, b), hi = std::max(a, b);
    std::set<i32> seen;
    for (int i = 0; i < 2000; ++i) {
      const i32 v = r.NextInt(a, b);
      ASSERT_TRUE(v >= lo && v <= hi) << a << ".." << b << ": " << v;
      seen.insert(v);
    }
    if (i64(hi) - i64(lo) < 16) {
      EXPECT_EQ(i64(seen.size()), i64(hi) - i64(lo) + 1) << "both ends reached";
    }
  }
  for (int i = 0; i < 1000; ++i) {
    const f32 f = r.NextFloat();
    ASSERT_TRUE(f >= 0.0f && f < 1.0f) << f;
  }
}

}  // namespace
