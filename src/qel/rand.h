// A small seedable pseudo-random generator (PCG32: 64-bit state, 32-bit output).
#pragma once

#include "qel/types.h"

namespace Qel {

// The same seed gives the same sequence on every platform and build. Not thread-safe: share
// one between threads only under a lock.
class Rand {
 public:
  Rand() { Seed(0); }
  explicit Rand(u32 seed) { Seed(seed); }

  void Seed(u32 seed);
  // Seeds from the system's entropy source and the clock.
  void Randomize();

  u32 Next();
  // Uniform in [lo, hi], both ends included; the bounds may come in either order.
  i32 NextInt(i32 lo, i32 hi);
  // Uniform in [0, 1).
  f32 NextFloat();

 private:
  u64 state_ = 0;
  u64 increment_ = 0;
};

}  // namespace Qel
