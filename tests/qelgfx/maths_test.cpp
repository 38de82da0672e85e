#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "qelgfx/matrix.h"
#include "qelgfx/matrix4.h"
#include "qelgfx/oriented_box.h"
#include "qelgfx/plane.h"
#include "qelgfx/quaternion.h"
#include "qelgfx/std_math.h"
#include "qelgfx/transformation.h"

namespace {

using Qel::Matrix;
using Qel::Quaternion;
using Qel::Vector3;

void ExpectNear(const Vector3& a, const Vector3& b, f32 tolerance = 1e-5f) {
  EXPECT_NEAR(a.x, b.x, tolerance);
  EXPECT_NEAR(a.y, b.y, tolerance);
  EXPECT_NEAR(a.z, b.z, tolerance);
}

// Quaternions and matrices must describe the same rotation both ways, for rotations near each
// branch of the matrix-to-quaternion conversion (half turns about each axis included).
TEST(MathsTest, QuaternionsAndMatricesAgree) {
  std::mt19937 random(7);
  std::uniform_real_distribution<f32> unit(-1.0f, 1.0f);
  std::vector<Quaternion> rotations = {Quaternion(), Quaternion(1, 0, 0, 0), Quaternion(0, 1, 0, 0),
                                       Quaternion(0, 0, 1, 0),
                                       Quaternion::FromAxisAngle({1, 1, 0}, 3.0f)};
  for (int i = 0; i < 50; ++i) {
    Quaternion q(unit(random), unit(random), unit(random), unit(random));
    q.Normalise();
    rotations.push_back(q);
  }
  const Vector3 probe(0.3f, -1.2f, 2.5f);
  for (const Quaternion& q : rotations) {
    const Matrix m = Matrix::FromQuaternion(q);
    ExpectNear(q.Rotate(probe), m.Transform(probe));
    EXPECT_NEAR(1.0f, m.Determinant(), 1e-5f);
    Quaternion back;
    back.Set(m);
    EXPECT_NEAR(1.0f, std::fabs(back.Dot(q)), 1e-5f);  // q and -q are one rotation
  }
}

TEST(MathsTest, TransformationsComposeAndInvert) {
  const Qel::Transformation first{Quaternion::FromAxisAngle({0, 0, 1}, 1.5707964f), {1, 0, 0}};
  const Qel::Transformation second{Quaternion::FromAxisAngle({1, 0, 0}, 0.5f), {0, 2, 0}};
  const Vector3 p(1, 2, 3);
  ExpectNear(second.Apply(first.Apply(p)), (second * first).Apply(p));
  ExpectNear(p, first.Inverse().Apply(first.Apply(p)));
  ExpectNear({-1, 1, 0}, first.Apply({1, 0, 0}) - Vector3(1, 0, 0) + Vector3(-1, 0, 0));
  const Qel::Matrix4 m = Qel::Matrix4::FromTransformation(first);
  ExpectNear(first.Apply(p), m.TransformPoint(p));
  const Qel::Matrix4 both = m * Qel::Matrix4::FromTransformation(second);
  ExpectNear(second.Apply(first.Apply(p)), both.TransformPoint(p));
}

TEST(MathsTest, FastNormalisationIsCloseAcrossMagnitudes) {
  for (f32 scale : {1e-18f, 1e-6f, 0.5f, 1.0f, 3.0f, 1e6f, 1e18f}) {
    for (const Vector3& v : {Vector3(1, 2, 3), Vector3(0, 0, -1), Vector3(7, 0.001f, 0)}) {
      const Vector3 scaled = v * scale;
      Vector3 unit;
      const f32 length = Qel::StdMath::FastNormalise(scaled, unit);
      EXPECT_NEAR(scaled.Length(), length, scaled.Length() * 1e-5f);
      EXPECT_NEAR(1.0f, unit.Length(), 1e-5f);
    }
  }
  Vector3 zero;
  Qel::StdMath::FastNormalise(zero);
  EXPECT_EQ(Vector3(), zero);
  EXPECT_EQ(0.0f, Qel::StdMath::FastInvSqrt(-1.0f));
  EXPECT_EQ(0.0f, Qel::StdMath::FastInvSqrt(NAN));
}

TEST(MathsTest, OrientedBoxesAndPlanes) {
  Qel::OrientedBox box = Qel::OrientedBox::FromBounds({-1, -2, -3}, {1, 2, 3});
  EXPECT_TRUE(box.Contains({0.9f, -1.9f, 2.9f}));
  EXPECT_FALSE(box.Contains({1.1f, 0, 0}));
  box.axes = Matrix::FromQuaternion(Quaternion::FromAxisAngle({0, 0, 1}, 1.5707964f));
  EXPECT_TRUE(box.Contains({1.9f, 0, 0}));  // the long axis now lies along x
  Vector3 min, max;
  box.GetBounds(min, max);
  ExpectNear({-2, -1, -3}, min);
  ExpectNear({2, 1, 3}, max);

  const Qel::Plane plane({0, 0, 2}, 4.0f);
  EXPECT_FLOAT_EQ(2.0f, plane.SignedDistance({5, 5, 3}));
  EXPECT_FLOAT_EQ(-4.0f, plane.SignedDistance({0, 0, 0}));
}

}  // namespace
