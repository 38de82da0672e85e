#include "core/time_date.h"

#include "qel/time.h"

namespace {

TTimeDate::Clock g_clock = nullptr;

}  // namespace

void TTimeDate::SetClock(Clock clock) { g_clock = clock; }

void TTimeDate::SetToNow() {
  if (g_clock != nullptr) {
    g_clock(*this);
    return;
  }
  Qel::LocalTime now = Qel::Time::LocalNow();
  SetDate(now.year, now.month, now.day, now.dayOfWeek);
  SetTime(now.hour, now.minute, now.second, now.millisecond);
}

void TTimeDate::SetDate(u32 year, u32 month, u32 day, u32 dayOfWeek) {
  dateWord_ = (year & 4095) << 12 | (month & 15) << 8 | (day & 31) << 3 | (dayOfWeek & 7);
}

void TTimeDate::SetTime(u32 hour, u32 minute, u32 second, u32 millisecond) {
  timeWord_ = (hour & 31) << 19 | (minute & 63) << 13 | (second & 63) << 7 | (millisecond & 127);
}

bool TTimeDate::Less(const TTimeDate& a, const TTimeDate& b) {
  // The fields sit in their words from most to least significant, so the words order like them.
  if (a.dateWord_ != b.dateWord_) return a.dateWord_ < b.dateWord_;
  return a.timeWord_ < b.timeWord_;
}
