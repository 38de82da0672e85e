// Fast square-root helpers of the engine's maths library.
#pragma once

#include "qel/types.h"
#include "qelgfx/vector3.h"

namespace Qel::StdMath {

// The 512-entry estimate table: 1/sqrt over the exponent's parity and the top eight mantissa
// bits, stored as the 23 mantissa bits of the estimate.
const u32* SqrtLUT();

// 1/sqrt(s) from the table estimate refined by two Newton steps: within a few parts in 10^7.
// 0 for s <= 0 and for non-finite s.
f32 FastInvSqrt(f32 s);
// Scales v to unit length in place; the zero vector stays zero.
void FastNormalise(Vector3& v);
// Writes the unit vector of v to `unit` and returns the length of v.
f32 FastNormalise(const Vector3& v, Vector3& unit);

}  // namespace Qel::StdMath
