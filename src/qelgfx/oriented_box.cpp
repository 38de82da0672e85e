#include "qelgfx/oriented_box.h"

#include <cmath>

namespace Qel {

OrientedBox OrientedBox::FromBounds(const Vector3& min, const Vector3& max) {
  OrientedBox box;
  box.centre = (min + max) * 0.5f;
  box.halfExtents = (max - min) * 0.5f;
  return box;
}

bool OrientedBox::Contains(const Vector3& p) const {
  const Vector3 local = p - centre;
  for (int i = 0; i < 3; ++i) {
    if (std::fabs(local.Dot(axes.Row(i))) > halfExtents[i]) return false;
  }
  return true;
}

void OrientedBox::GetBounds(Vector3& min, Vector3& max) const {
  Vector3 reach;
  for (int i = 0; i < 3; ++i) reach += axes.Row(i).Abs() * halfExtents[i];
  min = centre - reach;
  max = centre + reach;
}

}  // namespace Qel
