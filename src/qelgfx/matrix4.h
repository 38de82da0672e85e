// 4 x 4 matrices, row-major for row vectors like Matrix: the last row holds the translation.
#pragma once

#include "qel/types.h"
#include "qelgfx/matrix.h"
#include "qelgfx/transformation.h"
#include "qelgfx/vector3.h"

namespace Qel {

struct Matrix4 {
  f32 m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

  static Matrix4 Identity() { return Matrix4(); }
  static Matrix4 FromTransformation(const Transformation& t);

  // Applies this, then o.
  Matrix4 operator*(const Matrix4& o) const;
  Vector3 TransformPoint(const Vector3& p) const;
  Vector3 TransformDirection(const Vector3& d) const;
  Matrix Rotation() const;
};

}  // namespace Qel
