// A local date and time of day packed into two words of bit fields.
//
// time word: millisecond (low 7 bits of the count) 0-6, second 7-12, minute 13-18, hour 19-23.
// date word: day of week (0 = Sunday) 0-2, day of month 3-7, month 8-11, year 12-23.
#pragma once

#include "qel/types.h"

class TTimeDate {
 public:
  TTimeDate() = default;
  TTimeDate(const TTimeDate&) = default;
  TTimeDate& operator=(const TTimeDate&) = default;
  virtual ~TTimeDate() = default;

  // Where SetToNow takes the local date and time from: the operating system's clock, unless a
  // clock is set (tests, and tools that run scripts under a fixed time); null sets it back.
  using Clock = void (*)(TTimeDate& now);
  static void SetClock(Clock clock);

  // The local date and time of the clock.
  void SetToNow();
  // Each value is masked to its field's width; millisecond 999 is stored as 103.
  void SetDate(u32 year, u32 month, u32 day, u32 dayOfWeek = 0);
  void SetTime(u32 hour, u32 minute, u32 second, u32 millisecond = 0);

  u32 GetMillisecond() const { return timeWord_ & 127; }
  u32 GetSecond() const { return (timeWord_ >> 7) & 63; }
  u32 GetMinute() const { return (timeWord_ >> 13) & 63; }
  u32 GetHour() const { return (timeWord_ >> 19) & 31; }
  u32 GetDayOfWeek() const { return dateWord_ & 7; }
  u32 GetDay() const { return (dateWord_ >> 3) & 31; }
  u32 GetMonth() const { return (dateWord_ >> 8) & 15; }
  u32 GetYear() const { return (dateWord_ >> 12) & 4095; }

  u32 TimeWord() const { return timeWord_; }
  u32 DateWord() const { return dateWord_; }

  // Strict weak order: by date (year, month, day, day of week), then by time of day.
  static bool Less(const TTimeDate& a, const TTimeDate& b);

 private:
  u32 timeWord_ = 0;
  u32 dateWord_ = 0;
};
