// The run-time meaning of the integer and float instructions at the edges where the machine's own
// operations would trap, overflow or be undefined.
#include "gscommon/script_arithmetic.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

namespace {

using namespace GSByteCode;

TEST(ScriptArithmetic, EdgesGiveTheDefinedWords) {
  struct Row {
    const char* what;
    i32 got;
    i32 want;
  };
  const Row rows[] = {
      {"INT_MIN / -1", Divide(INT_MIN, -1), INT_MIN},
      {"INT_MIN % -1", Remainder(INT_MIN, -1), 0},
      {"-7 % 2 keeps the dividend's sign", Remainder(-7, 2), -1},
      {"INT_MAX + 1", WrapAdd(INT_MAX, 1), INT_MIN},
      {"INT_MIN - 1", WrapSub(INT_MIN, 1), INT_MAX},
      {"INT_MIN * -1", WrapMul(INT_MIN, -1), INT_MIN},
      {"-INT_MIN", WrapNeg(INT_MIN), INT_MIN},
      {"1 << 32", ShiftLeft(1, 32), 1},
      {"1 << -1", ShiftLeft(1, -1), INT_MIN},
      {"-1 >> 28 shifts in zeros", ShiftRightLogical(-1, 28), 15},
      {"-8 >> 1 keeping the sign", ShiftRightArithmetic(-8, 1), -4},
      {"CMP -2e9, 2e9", CompareInts(-2000000000, 2000000000), -1},
      {"CMP 2e9, -2e9", CompareInts(2000000000, -2000000000), 1},
      {"CMP INT_MIN, INT_MIN", CompareInts(INT_MIN, INT_MIN), 0},
      {"FCMP NaN", CompareFloats(NAN, 1.0f), 0},
      {"FCMP -0.0, 0.0", CompareFloats(-0.0f, 0.0f), 0},
      {"FTOI NaN", FloatToInt(NAN), INT_MIN},
      {"FTOI 2^31", FloatToInt(2147483648.0f), INT_MIN},
      {"FTOI -2^31", FloatToInt(-2147483648.0f), INT_MIN},
      {"FTOI -inf", FloatToInt(-INFINITY), INT_MIN},
      {"FTOI -2.9", FloatToInt(-2.9f), -2},
  };
  for (const Row& r : rows) EXPECT_EQ(r.got, r.want) << r.what;
  EXPECT_EQ(FloatRemainder(-5.5f, 2.0f), -1.5f);
}

}  // namespace
