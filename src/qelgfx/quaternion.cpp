#include "qelgfx/quaternion.h"

#include <cmath>

#include "qelgfx/matrix.h"

namespace Qel {

Quaternion Quaternion::FromAxisAngle(const Vector3& axis, f32 angle) {
  Vector3 unit = axis;
  unit.Normalise();
  const f32 s = std::sin(angle * 0.5f);
  return {unit.x * s, unit.y * s, unit.z * s, std::cos(angle * 0.5f)};
}

void Quaternion::Set(const Matrix& r) {
  // The largest of the four candidates keeps the square root away from zero.
  const f32 trace = r.m[0][0] + r.m[1][1] + r.m[2][2];
  if (trace > 0.0f) {
    const f32 s = std::sqrt(trace + 1.0f) * 2.0f;
    w = 0.25f * s;
    x = (r.m[1][2] - r.m[2][1]) / s;
    y = (r.m[2][0] - r.m[0][2]) / s;
    z = (r.m[0][1] - r.m[1][0]) / s;
  } else if (r.m[0][0] > r.m[1][1] && r.m[0][0] > r.m[2][2]) {
    const f32 s = std::sqrt(1.0f + r.m[0][0] - r.m[1][1] - r.m[2][2]) * 2.0f;
    w = (r.m[1][2] - r.m[2][1]) / s;
    x = 0.25f * s;
    y = (r.m[1][0] + r.m[0][1]) / s;
    z = (r.m[2][0] + r.m[0][2]) / s;
  } else if (r.m[1][1] > r.m[2][2]) {
    const f32 s = std::sqrt(1.0f + r.m[1][1] - r.m[0][0] - r.m[2][2]) * 2.0f;
    w = (r.m[2][0] - r.m[0][2]) / s;
    x = (r.m[1][0] + r.m[0][1]) / s;
    y = 0.25f * s;
    z = (r.m[2][1] + r.m[1][2]) / s;
  } else {
    const f32 s = std::sqrt(1.0f + r.m[2][2] - r.m[0][0] - r.m[1][1]) * 2.0f;
    w = (r.m[0][1] - r.m[1][0]) / s;
    x = (r.m[2][0] + r.m[0][2]) / s;
    y = (r.m[2][1] + r.m[1][2]) / s;
    z = 0.25f * s;
  }
  Normalise();
}

void Quaternion::Normalise() {
  const f32 length = std::sqrt(Dot(*this));
  if (!(length > 0.0f) || !std::isfinite(length)) {
    *this = Quaternion();
    return;
  }
  const f32 inv = 1.0f / length;
  x *= inv;
  y *= inv;
  z *= inv;
  w *= inv;
}

Quaternion Quaternion::operator*(const Quaternion& o) const {
  return {w * o.x + x * o.w + y * o.z - z * o.y, w * o.y - x * o.z + y * o.w + z * o.x,
          w * o.z + x * o.y - y * o.x + z * o.w, w * o.w - x * o.x - y * o.y - z * o.z};
}

Vector3 Quaternion::Rotate(const Vector3& v) const {
  const Vector3 u(x, y, z);
  const Vector3 t = u.Cross(v) * 2.0f;
  return v + t * w + u.Cross(t);
}

}  // namespace Qel
