#include "qelgfx/std_math.h"

#include <cmath>
#include <cstring>

namespace Qel::StdMath {

namespace {

struct SqrtTable {
  u32 entries[512];
  SqrtTable() {
    // The index is bits 15-23 of the float: the exponent's lowest bit, then eight mantissa bits.
    // An odd biased exponent is an even power of two, so the high half covers values 1..2 and
    // the low half values 2..4.
    for (u32 i = 0; i < 512; ++i) {
      const f64 slice = ((i & 0xFF) + 0.5) / 256.0;
      const f64 value = i >= 256 ? 1.0 + slice : 2.0 * (1.0 + slice);
      // 1/sqrt(value) lies in (0.5, 1]; stored as the mantissa bits of 2 x it.
      const f32 estimate = f32(2.0 / std::sqrt(value));
      u32 bits;
      std::memcpy(&bits, &estimate, 4);
      entries[i] = bits & 0x007FFFFF;
    }
  }
};

}  // namespace

const u32* SqrtLUT() {
  // Built on first use, so that static constructors elsewhere may normalise too.
  static const SqrtTable table;
  return table.entries;
}

f32 FastInvSqrt(f32 s) {
  if (!(s > 0.0f) || !std::isfinite(s)) return 0.0f;
  u32 bits;
  std::memcpy(&bits, &s, 4);
  const u32 exponent = bits >> 23;                // sign is 0 here
  if (exponent == 0) return 1.0f / std::sqrt(s);  // the table assumes a normal number
  const u32 index = (bits >> 15) & 0x1FF;
  const u32 estimateBits = (((380 - exponent) >> 1) << 23) | SqrtLUT()[index];
  f32 y;
  std::memcpy(&y, &estimateBits, 4);
  y = y * (1.5f - 0.5f * s * y * y);
  y = y * (1.5f - 0.5f * s * y * y);
  return y;
}

void FastNormalise(Vector3& v) { v *= FastInvSqrt(v.LengthSquared()); }

f32 FastNormalise(const Vector3& v, Vector3& unit) {
  const f32 s = v.LengthSquared();
  const f32 inv = FastInvSqrt(s);
  unit = v * inv;
  return s * inv;
}

}  // namespace Qel::StdMath
