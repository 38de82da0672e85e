// Three-component single-precision vectors: points, directions, colours.
#pragma once

#include <cmath>

#include "qel/types.h"

namespace Qel {

struct Vector3 {
  f32 x = 0.0f;
  f32 y = 0.0f;
  f32 z = 0.0f;

  constexpr Vector3() = default;
  constexpr Vector3(f32 ax, f32 ay, f32 az) : x(ax), y(ay), z(az) {}

  f32& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
  f32 operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }

  constexpr Vector3 operator+(const Vector3& o) const { return {x + o.x, y + o.y, z + o.z}; }
  constexpr Vector3 operator-(const Vector3& o) const { return {x - o.x, y - o.y, z - o.z}; }
  constexpr Vector3 operator-() const { return {-x, -y, -z}; }
  constexpr Vector3 operator*(f32 s) const { return {x * s, y * s, z * s}; }
  Vector3& operator+=(const Vector3& o) { return *this = *this + o; }
  Vector3& operator-=(const Vector3& o) { return *this = *this - o; }
  Vector3& operator*=(f32 s) { return *this = *this * s; }
  // Exact, component by component: +0 equals -0, NaN equals nothing.
  constexpr bool operator==(const Vector3& o) const { return x == o.x && y == o.y && z == o.z; }

  constexpr f32 Dot(const Vector3& o) const { return x * o.x + y * o.y + z * o.z; }
  constexpr Vector3 Cross(const Vector3& o) const {
    return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x};
  }
  constexpr f32 LengthSquared() const { return Dot(*this); }
  f32 Length() const { return std::sqrt(LengthSquared()); }
  // Scales to unit length and returns the old length; the zero vector stays zero.
  f32 Normalise() {
    const f32 length = Length();
    if (length > 0.0f) *this *= 1.0f / length;
    return length;
  }
  Vector3 Abs() const { return {std::fabs(x), std::fabs(y), std::fabs(z)}; }
};

inline constexpr Vector3 operator*(f32 s, const Vector3& v) { return v * s; }

inline Vector3 Min(const Vector3& a, const Vector3& b) {
  return {a.x < b.x ? a.x : b.x, a.y < b.y ? a.y : b.y, a.z < b.z ? a.z : b.z};
}
inline Vector3 Max(const Vector3& a, const Vector3& b) {
  return {a.x > b.x ? a.x : b.x, a.y > b.y ? a.y : b.y, a.z > b.z ? a.z : b.z};
}

}  // namespace Qel
