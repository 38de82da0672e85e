#include "qel/time.h"

#include "platform/os_clock.h"

namespace Qel {

f64 Time::Seconds() { return f64(Platform::MonotonicNanoseconds()) / 1e9; }

u64 Time::Milliseconds() { return Platform::MonotonicNanoseconds() / 1000000u; }

LocalTime Time::LocalNow() {
  LocalTime out;
  Platform::LocalClockReading r{};
  if (!Platform::ReadLocalClock(&r)) return out;
  out.year = u32(r.year);
  out.month = u32(r.month);
  out.dayOfWeek = u32(r.dayOfWeek);
  out.day = u32(r.day);
  out.hour = u32(r.hour);
  out.minute = u32(r.minute);
  // Windows has no leap second; a 60 would also overflow a 6-bit field when packed.
  out.second = u32(r.second > 59 ? 59 : r.second);
  out.millisecond = u32(r.millisecond);
  return out;
}

}  // namespace Qel
