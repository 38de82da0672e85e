#include "qel/rand.h"

#include <random>

#include "qel/thread.h"
#include "qel/time.h"

namespace Qel {
namespace {

u64 SplitMix64(u64* x) {
  u64 z = (*x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

constexpr u64 kMultiplier = 6364136223846793005ull;

}  // namespace

void Rand::Seed(u32 seed) {
  // Spread the 32-bit seed over state and stream so that nearby seeds give unrelated sequences.
  u64 x = seed;
  increment_ = (SplitMix64(&x) << 1) | 1u;
  state_ = 0;
  Next();
  state_ += SplitMix64(&x);
  Next();
}

void Rand::Randomize() {
  u32 seed = u32(Time::Milliseconds()) ^ (Thread::CurrentId() * 0x9E3779B9u);
  try {
    std::random_device device;
    seed ^= device();
  } catch (...) {
    // No entropy source: the clock alone will do.
  }
  Seed(seed);
}

u32 Rand::Next() {
  const u64 old = state_;
  state_ = old * kMultiplier + increment_;
  const u32 xorshifted = u32(((old >> 18) ^ old) >> 27);
  const u32 rot = u32(old >> 59);
  return (xorshifted >> rot) | (xorshifted << ((32 - rot) & 31));
}

i32 Rand::NextInt(i32 lo, i32 hi) {
  if (lo > hi) {
    const i32 t = lo;
    lo = hi;
    hi = t;
  }
  const u64 span = u64(i64(hi) - i64(lo)) + 1;  // 1 .. 2^32
  if (span > 0xFFFFFFFFull) return i32(u32(lo) + Next());
  // Multiply-and-reject keeps every value equally likely.
  const u32 range = u32(span);
  const u32 threshold = u32(-range) % range;
  u64 product;
  do {
    product = u64(Next()) * range;
  } while (u32(product) < threshold);
  return i32(u32(lo) + u32(product >> 32));
}

f32 Rand::NextFloat() {
  // 24 bits fill a float's mantissa exactly, so the result never rounds up to 1.
  return f32(Next() >> 8) * (1.0f / 16777216.0f);
}

}  // namespace Qel
