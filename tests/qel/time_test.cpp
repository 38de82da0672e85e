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

TEST(TimeTest, LocalNowMatchesTheCalendar) {
  const std::time_t before = std::time(nullptr);
  const Qel::LocalTime now = Qel::Time::LocalNow();
  const std::time_t after = std::time(nullptr);
  EXPECT_LE(now.millisecond, 999u);
  EXPECT_LE(now.second, 59u);
  // Field by field against the C library's reading on either side (month 1-based, full year).
  bool matched = false;
  for (std::time_t t : {before, after}) {
    std::tm c{};
    localtime_r(&t, &c);
    matched |= now.year == u32(c.tm_year + 1900) && now.month == u32(c.tm_mon + 1) &&
               now.day == u32(c.tm_mday) && now.dayOfWeek == u32(c.tm_wday) &&
               now.hour == u32(c.tm_hour) && now.minute == u32(c.tm_min);
  }
  EXPECT_TRUE(matched);
}

}  // namespace
