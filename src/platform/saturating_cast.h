// Float-to-integer conversion that is defined for every input: a value out of the target's range
// would be undefined behaviour in a plain cast (and reads INT_MIN on x86-64).
#pragma once

#include <cmath>
#include <limits>
#include <type_traits>

namespace Platform {

// The value truncated toward zero, held to the target's range; NaN gives 0.
template <class Int>
Int SaturatingCast(double value) {
  static_assert(std::is_integral_v<Int> && std::numeric_limits<Int>::digits < 53,
                "both limits must be exact doubles");
  if (std::isnan(value)) return 0;
  if (value <= double(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
  if (value >= double(std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
  return Int(value);
}

}  // namespace Platform
