// A box with its own axes: centre, three unit axes (the rows of `axes`) and half-extents along
// them. Zero at construction: no volume, at the origin.
#pragma once

#include "qelgfx/matrix.h"
#include "qelgfx/vector3.h"

namespace Qel {

struct OrientedBox {
  Vector3 centre;
  Matrix axes;
  Vector3 halfExtents;

  // The box of an axis-aligned min/max pair.
  static OrientedBox FromBounds(const Vector3& min, const Vector3& max);
  bool Contains(const Vector3& p) const;
  // The axis-aligned bounds of the box.
  void GetBounds(Vector3& min, Vector3& max) const;
};

}  // namespace Qel
