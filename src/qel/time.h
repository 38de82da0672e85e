// Clocks: monotonic time for intervals and local calendar time for dates.
#pragma once

#include "qel/types.h"

namespace Qel {

// The local date and time of day, with the fields Windows gives.
struct LocalTime {
  u32 year = 0;         // e.g. 2011
  u32 month = 0;        // 1-12
  u32 dayOfWeek = 0;    // 0 = Sunday
  u32 day = 0;          // 1-31
  u32 hour = 0;         // 0-23
  u32 minute = 0;       // 0-59
  u32 second = 0;       // 0-59 (a leap second reads as 59)
  u32 millisecond = 0;  // 0-999
};

class Time {
 public:
  // Seconds on a monotonic clock with an arbitrary fixed origin; only differences mean anything.
  static f64 Seconds();
  static f64 GetSeconds() { return Seconds(); }
  // Milliseconds on the same clock.
  static u64 Milliseconds();
  // The same, wrapping at 2^32 like a tick count; compare readings by unsigned subtraction.
  static u32 Ms() { return u32(Milliseconds()); }
  // The current local time; all fields 0 in the unlikely case the system cannot tell it.
  static LocalTime LocalNow();
};

}  // namespace Qel
