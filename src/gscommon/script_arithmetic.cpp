#include "gscommon/script_arithmetic.h"

#include <climits>
#include <cmath>

namespace GSByteCode {

i32 Divide(i32 a, i32 b) {
  if (b == -1) return WrapNeg(a);
  return b == 0 ? 0 : a / b;
}

i32 Remainder(i32 a, i32 b) {
  if (b == -1 || b == 0) return 0;
  return a % b;
}

i32 CompareFloats(f32 a, f32 b) {
  const f32 d = a - b;
  return (d > 0.0f) - (d < 0.0f);
}

i32 FloatToInt(f32 value) {
  // The int range is [-2^31, 2^31); both bounds are exact floats.
  if (!(value >= -2147483648.0f && value < 2147483648.0f)) return INT_MIN;
  return static_cast<i32>(value);
}

f32 FloatRemainder(f32 a, f32 b) { return std::fmod(a, b); }

}  // namespace GSByteCode
