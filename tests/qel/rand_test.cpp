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

TEST(RandTest, NextIntStaysInInclusiveBoundsAndSpreadsEvenly) {
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
  int counts[10] = {};
  for (int i = 0; i < 100000; ++i) ++counts[r.NextInt(0, 9)];
  double chi2 = 0;
  for (int c : counts) chi2 += (c - 10000.0) * (c - 10000.0) / 10000.0;
  EXPECT_LT(chi2, 27.9);  // the 0.1% tail for 9 degrees of freedom; the seed is fixed
}

TEST(RandTest, NextFloatIsInHalfOpenUnitInterval) {
  Qel::Rand r(3);
  f32 lowest = 1, highest = 0;
  for (int i = 0; i < 100000; ++i) {
    const f32 f = r.NextFloat();
    ASSERT_TRUE(f >= 0.0f && f < 1.0f) << f;
    lowest = std::min(lowest, f);
    highest = std::max(highest, f);
  }
  EXPECT_LT(lowest, 0.001f);
  EXPECT_GT(highest, 0.999f);
}

}  // namespace
