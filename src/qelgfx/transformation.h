// A rigid placement: an orientation followed by a translation, p' = Rotate(p) + position.
#pragma once

#include "qelgfx/quaternion.h"
#include "qelgfx/vector3.h"

namespace Qel {

struct Transformation {
  Quaternion orientation;
  Vector3 position;

  Vector3 Apply(const Vector3& point) const { return orientation.Rotate(point) + position; }
  // Applies `first`, then this.
  Transformation operator*(const Transformation& first) const {
    return {orientation * first.orientation, Apply(first.position)};
  }
  Transformation Inverse() const {
    const Quaternion back = orientation.Conjugate();
    return {back, -back.Rotate(position)};
  }
};

}  // namespace Qel
