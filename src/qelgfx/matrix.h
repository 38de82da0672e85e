// Rotation and orientation matrices: 3 x 3, row-major, applied to row vectors (v * M), so the
// rows are the images of the x, y and z axes. Files store the nine floats in this order.
#pragma once

#include "qel/types.h"
#include "qelgfx/vector3.h"

namespace Qel {

struct Quaternion;

struct Matrix {
  f32 m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

  static Matrix Identity() { return Matrix(); }
  static Matrix FromQuaternion(const Quaternion& q);
  // From nine floats in file order.
  static Matrix FromFloats(const f32* nine);

  Vector3 Row(int i) const { return {m[i][0], m[i][1], m[i][2]}; }
  Matrix operator*(const Matrix& o) const;
  Vector3 Transform(const Vector3& v) const;
  Matrix Transposed() const;
  f32 Determinant() const;
};

}  // namespace Qel
