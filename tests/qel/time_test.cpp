#include "qel/time.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

TEST(TimeTest, MonotonicReadingsShareOneClock) {
  const f64 before = Qel::Time::Seconds();
  const u64 ms = Qel::Time::Milliseconds();
  const u32 tick = Qel::Time::Ms();
  const u64 ms_after = Qel::Time::Milliseconds();
  const f64 after = Qel::Time::GetSeconds();
  // Read in this order from one clock; the tick count is that clock cut to 32 bits.
  EXPECT_TRUE(before * 1000.0 <= f64(ms) + 1.0 && f64(ms) <= after * 1000.0 + 1e-6);
  EXPECT_LE(tick - u32(ms), u32(ms_after) - u32(ms));
}

}  // namespace
