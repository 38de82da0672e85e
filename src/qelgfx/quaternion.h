// Rotations as unit quaternions, fields in the order x, y, z, w; no rotation is (0, 0, 0, 1).
#pragma once

#include "qel/types.h"
#include "qelgfx/vector3.h"

namespace Qel {

struct Matrix;

struct Quaternion {
  f32 x = 0.0f;
  f32 y = 0.0f;
  f32 z = 0.0f;
  f32 w = 1.0f;

  constexpr Quaternion() = default;
  constexpr Quaternion(f32 ax, f32 ay, f32 az, f32 aw) : x(ax), y(ay), z(az), w(aw) {}

  // A rotation of `angle` radians about `axis` (any length but zero).
  static Quaternion FromAxisAngle(const Vector3& axis, f32 angle);
  // The rotation a pure rotation matrix stands for.
  void Set(const Matrix& rotation);
  // To unit length; a zero quaternion becomes no rotation.
  void Normalise();

  // Applies o first, then this.
  Quaternion operator*(const Quaternion& o) const;
  Quaternion Conjugate() const { return {-x, -y, -z, w}; }
  Vector3 Rotate(const Vector3& v) const;
  f32 Dot(const Quaternion& o) const { return x * o.x + y * o.y + z * o.z + w * o.w; }
};

}  // namespace Qel
