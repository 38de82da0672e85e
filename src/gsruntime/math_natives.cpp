#include "gsruntime/math_natives.h"

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_native_function.h"
#include "gsruntime/gs_stack.h"
#include "gsruntime/native_params.h"

namespace GSRuntime {

namespace {

constexpr i32 kRandomMultiplier = 31415821;
constexpr i32 kRandomModulus = 100000000;
// Both factors are split at this point so that no product leaves 32 bits.
constexpr i32 kRandomSplit = 10000;
constexpr f32 kOne65535th = 1.5259022e-05f;

i32 g_randomState = 1;

// One step of the generator; the fraction in [0, 1) that both Rand natives scale.
f32 NextRandomFraction() {
  const i32 p1 = g_randomState / kRandomSplit;
  const i32 p0 = g_randomState % kRandomSplit;
  constexpr i32 kB1 = kRandomMultiplier / kRandomSplit;
  constexpr i32 kB0 = kRandomMultiplier % kRandomSplit;
  const i32 product =
      (((p0 * kB1 + p1 * kB0) % kRandomSplit) * kRandomSplit + p0 * kB0) % kRandomModulus;
  g_randomState = (product + 1) % kRandomModulus;
  return static_cast<f32>(std::abs(g_randomState) % 65535) * kOne65535th;
}

bool RandFloat(GSHandle, GSStack* stack) {
  const f32 low = FloatParam(stack, 1);
  const f32 high = FloatParam(stack, 2);
  const f32 f = NextRandomFraction();
  const f32 span = high - low;
  // Finite bounds whose distance overflows a float are scaled in double, so the result stays
  // between them instead of becoming infinite.
  if (!std::isfinite(span) && std::isfinite(low) && std::isfinite(high)) {
    return stack->PushFloat(static_cast<f32>(f64(low) + f64(f) * (f64(high) - f64(low))));
  }
  return stack->PushFloat(low + f * span);
}

// The distance is taken in 64 bits: bounds further apart than INT_MAX still give a value
// between them.
bool RandInt(GSHandle, GSStack* stack) {
  const i64 low = IntParam(stack, 1);
  const i64 high = IntParam(stack, 2);
  const f32 f = NextRandomFraction();
  const i64 step = static_cast<i64>(f * static_cast<f32>(high - low));
  return stack->PushInt(static_cast<i32>(low + step));
}

bool Sqrt(GSHandle, GSStack* stack) {
  return stack->PushFloat(static_cast<f32>(std::sqrt(f64(FloatParam(stack, 1)))));
}

}  // namespace

void RegisterMathNatives(GSMachine& machine) {
  g_randomState = static_cast<i32>(static_cast<u32>(std::time(nullptr)));
  machine.RegisterNative(
      new GSCNativeFunction("Math", "$float@Math::Rand(float,float)", RandFloat));
  machine.RegisterNative(new GSCNativeFunction("Math", "$int@Math::Rand(int,int)", RandInt));
  machine.RegisterNative(new GSCNativeFunction("Math", "$float@Math::Sqrt(float)", Sqrt));
}

}  // namespace GSRuntime
