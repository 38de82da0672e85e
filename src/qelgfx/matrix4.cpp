#include "qelgfx/matrix4.h"

namespace Qel {

Matrix4 Matrix4::FromTransformation(const Transformation& t) {
  const Matrix r = Matrix::FromQuaternion(t.orientation);
  Matrix4 out;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) out.m[i][j] = r.m[i][j];
  }
  out.m[3][0] = t.position.x;
  out.m[3][1] = t.position.y;
  out.m[3][2] = t.position.z;
  return out;
}

Matrix4 Matrix4::operator*(const Matrix4& o) const {
  Matrix4 r;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      f32 sum = 0.0f;
      for (int k = 0; k < 4; ++k) sum += m[i][k] * o.m[k][j];
      r.m[i][j] = sum;
    }
  }
  return r;
}

Vector3 Matrix4::TransformDirection(const Vector3& d) const {
  return {d.x * m[0][0] + d.y * m[1][0] + d.z * m[2][0],
          d.x * m[0][1] + d.y * m[1][1] + d.z * m[2][1],
          d.x * m[0][2] + d.y * m[1][2] + d.z * m[2][2]};
}

Vector3 Matrix4::TransformPoint(const Vector3& p) const {
  return TransformDirection(p) + Vector3(m[3][0], m[3][1], m[3][2]);
}

Matrix Matrix4::Rotation() const {
  Matrix r;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) r.m[i][j] = m[i][j];
  }
  return r;
}

}  // namespace Qel
