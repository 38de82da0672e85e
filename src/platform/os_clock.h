// Raw clock readings from the operating system.
#pragma once

#include <cstdint>

namespace Platform {

// Nanoseconds on a clock that never goes backwards (CLOCK_MONOTONIC).
std::uint64_t MonotonicNanoseconds();

// Local calendar time, as the C library breaks it down, plus milliseconds.
struct LocalClockReading {
  int year;       // e.g. 2011
  int month;      // 1-12
  int dayOfWeek;  // 0 = Sunday
  int day;        // 1-31
  int hour;
  int minute;
  int second;  // 0-60 (a leap second shows as 60)
  int millisecond;
};

// Fills `out` with the current local time; false when the system cannot break it down.
bool ReadLocalClock(LocalClockReading* out);

}  // namespace Platform
