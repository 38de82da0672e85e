#include "qelgfx/matrix.h"

#include "qelgfx/quaternion.h"

namespace Qel {

Matrix Matrix::FromQuaternion(const Quaternion& q) {
  const f32 xx = q.x * q.x, yy = q.y * q.y, zz = q.z * q.z;
  const f32 xy = q.x * q.y, xz = q.x * q.z, yz = q.y * q.z;
  const f32 wx = q.w * q.x, wy = q.w * q.y, wz = q.w * q.z;
  Matrix r;
  // Row vectors: row i is where axis i goes.
  r.m[0][0] = 1 - 2 * (yy + zz);
  r.m[0][1] = 2 * (xy + wz);
  r.m[0][2] = 2 * (xz - wy);
  r.m[1][0] = 2 * (xy - wz);
  r.m[1][1] = 1 - 2 * (xx + zz);
  r.m[1][2] = 2 * (yz + wx);
  r.m[2][0] = 2 * (xz + wy);
  r.m[2][1] = 2 * (yz - wx);
  r.m[2][2] = 1 - 2 * (xx + yy);
  return r;
}

Matrix Matrix::FromFloats(const f32* nine) {
  Matrix r;
  for (int i = 0; i < 9; ++i) r.m[i / 3][i % 3] = nine[i];
  return r;
}

Matrix Matrix::operator*(const Matrix& o) const {
  Matrix r;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      r.m[i][j] = m[i][0] * o.m[0][j] + m[i][1] * o.m[1][j] + m[i][2] * o.m[2][j];
    }
  }
  return r;
}

Vector3 Matrix::Transform(const Vector3& v) const {
  return Row(0) * v.x + Row(1) * v.y + Row(2) * v.z;
}

Matrix Matrix::Transposed() const {
  Matrix r;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) r.m[i][j] = m[j][i];
  }
  return r;
}

f32 Matrix::Determinant() const { return Row(0).Dot(Row(1).Cross(Row(2))); }

}  // namespace Qel
