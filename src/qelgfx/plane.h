// A plane n . p = d. The normal is kept as given; distances are in units of its length.
#pragma once

#include "qel/types.h"
#include "qelgfx/vector3.h"

namespace Qel {

struct Plane {
  Vector3 normal;
  f32 d = 0.0f;

  Plane() = default;
  Plane(const Vector3& n, f32 distance) : normal(n), d(distance) {}

  void Set(const Vector3& n, f32 distance) {
    normal = n;
    d = distance;
  }
  // Positive on the side the normal points to.
  f32 SignedDistance(const Vector3& p) const { return normal.Dot(p) - d; }
};

}  // namespace Qel
