// What the integer and float instructions compute where the machine's own operations would be
// undefined or would trap. The interpreter and the compiler's constant folding both follow these,
// so a folded constant is the value the instruction would have given.
#pragma once

#include "qel/types.h"

namespace GSByteCode {

// ADD, SUB, MUL, NEG wrap in 32 bits.
inline i32 WrapAdd(i32 a, i32 b) { return static_cast<i32>(u32(a) + u32(b)); }
inline i32 WrapSub(i32 a, i32 b) { return static_cast<i32>(u32(a) - u32(b)); }
inline i32 WrapMul(i32 a, i32 b) { return static_cast<i32>(u32(a) * u32(b)); }
inline i32 WrapNeg(i32 a) { return static_cast<i32>(0u - u32(a)); }

// DIV and MOD truncate toward zero (MOD keeps the dividend's sign); the least int divided by -1
// gives the least int and remainder 0. A divisor 0 is the caller's divide-by-zero error.
i32 Divide(i32 a, i32 b);
i32 Remainder(i32 a, i32 b);

// Shift counts are taken modulo 32 (b & 31). SHR shifts in zeros; the constant folding of ">>"
// keeps the sign instead.
inline i32 ShiftLeft(i32 a, i32 b) { return static_cast<i32>(u32(a) << (u32(b) & 31)); }
inline i32 ShiftRightLogical(i32 a, i32 b) { return static_cast<i32>(u32(a) >> (u32(b) & 31)); }
inline i32 ShiftRightArithmetic(i32 a, i32 b) { return a >> (u32(b) & 31); }

// The comparison word of CMP: -1, 0 or 1, which never overflows as a - b would.
inline i32 CompareInts(i32 a, i32 b) { return (a > b) - (a < b); }
// FCMP: 1 when a - b > 0, -1 when below 0, else 0 (NaN gives 0).
i32 CompareFloats(f32 a, f32 b);

// FTOI truncates toward zero; NaN and values outside the int range give the least int.
i32 FloatToInt(f32 value);

// FMOD: a - t * b with t = a / b truncated toward zero.
f32 FloatRemainder(f32 a, f32 b);

}  // namespace GSByteCode
