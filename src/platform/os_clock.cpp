#include "platform/os_clock.h"

#include <time.h>

namespace Platform {

std::uint64_t MonotonicNanoseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
}

bool ReadLocalClock(LocalClockReading* out) {
  if (out == nullptr) return false;
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return false;
  const time_t seconds = ts.tv_sec;
  tm parts{};
  if (localtime_r(&seconds, &parts) == nullptr) return false;
  out->year = parts.tm_year + 1900;
  out->month = parts.tm_mon + 1;
  out->dayOfWeek = parts.tm_wday;
  out->day = parts.tm_mday;
  out->hour = parts.tm_hour;
  out->minute = parts.tm_min;
  out->second = parts.tm_sec;
  out->millisecond = int(ts.tv_nsec / 1000000);
  return true;
}

}  // namespace Platform
