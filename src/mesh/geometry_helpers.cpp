#include "mesh/geometry_helpers.h"

#include <cmath>

#include "qelgfx/plane.h"

using Qel::Vector3;

namespace {

constexpr f32 kEpsilon = 1e-6f;

}  // namespace

bool IntersectRayTriangle(bool twoSided, const Vector3& origin, const Vector3& direction,
                          const Vector3& v0, const Vector3& v1, const Vector3& v2,
                          f32& bestDistance) {
  const Vector3 e1 = v1 - v0;
  const Vector3 e2 = v2 - v0;
  const Vector3 p = direction.Cross(e2);
  const f32 det = e1.Dot(p);
  const Vector3 t = origin - v0;
  const Vector3 q = t.Cross(e1);
  f32 distance;
  if (!twoSided) {
    if (det < kEpsilon) return false;
    const f32 u = t.Dot(p);
    if (u < 0.0f || u > det) return false;
    const f32 v = direction.Dot(q);
    if (v < 0.0f || u + v > det) return false;
    distance = e2.Dot(q) / det;
  } else {
    if (det > -kEpsilon && det < kEpsilon) return false;
    const f32 inv = 1.0f / det;
    const f32 u = inv * t.Dot(p);
    if (u < 0.0f || u > 1.0f) return false;
    const f32 v = inv * direction.Dot(q);
    if (v < 0.0f || u + v > 1.0f) return false;
    distance = inv * e2.Dot(q);
  }
  if (distance < bestDistance) bestDistance = distance;
  return true;
}

bool IsPointInTriangle(const Vector3& p, const Vector3& v0, const Vector3& v1, const Vector3& v2,
                       const Vector3& n) {
  const f32 ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
  int a, b, dropped;
  if (ay <= az) {
    if (ax <= az) {
      a = 0, b = 1, dropped = 2;
    } else {
      a = 1, b = 2, dropped = 0;
    }
  } else if (ax <= ay) {
    a = 2, b = 0, dropped = 1;
  } else {
    a = 1, b = 2, dropped = 0;
  }
  const Vector3* edges[3][2] = {{&v2, &v0}, {&v0, &v1}, {&v1, &v2}};
  for (const auto& edge : edges) {
    const Vector3& s = *edge[0];
    const Vector3& e = *edge[1];
    const f32 side = (e[a] - s[a]) * (p[b] - s[b]) - (e[b] - s[b]) * (p[a] - s[a]);
    if (side * n[dropped] < 0.0f) return false;
  }
  return true;
}

bool IntersectSegmentTriangle(const Vector3& start, const Vector3& end, const Vector3* corners,
                              f32 maxT, f32& t, Vector3& point, Vector3& normal) {
  const Vector3 n = (corners[1] - corners[0]).Cross(corners[2] - corners[0]);
  if (n.LengthSquared() == 0.0f) return false;  // no plane: every point would be "in" it
  const f32 s = n.Dot(start);
  const f32 e = n.Dot(end);
  const f32 q = n.Dot(corners[0]);
  if ((s > q && e > q) || (s < q && e < q)) return false;
  f32 fraction = 0.0f;
  Vector3 at = start;
  if (s != e) {
    fraction = (s - q) / (s - e);
    at = start + (end - start) * fraction;
  }
  if (!(fraction <= maxT) || !IsPointInTriangle(at, corners[0], corners[1], corners[2], n)) {
    return false;
  }
  t = fraction;
  point = at;
  normal = n;
  return true;
}

Vector3 ComputeTriangleNormal(const Vector3& p0, const Vector3& p1, const Vector3& p2) {
  const Vector3 n = (p1 - p0).Cross(p2 - p0);
  const f32 length = n.Length();
  return length > 0.0f ? n * (1.0f / length) : Vector3();
}

bool IsTriangleUsable(const Vector3& p0, const Vector3& p1, const Vector3& p2) {
  const Vector3 n = ComputeTriangleNormal(p0, p1, p2);
  const Qel::Plane plane(n, n.Dot(p0));
  return plane.normal.LengthSquared() >= 0.1f;
}

void NormaliseVector4(f32 v[4]) {
  const f32 length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2] + v[3] * v[3]);
  if (!(length > 0.0f)) return;
  for (int i = 0; i < 4; ++i) v[i] /= length;
}

void ExpandBox(Vector3& min, Vector3& max, const Vector3& p) {
  min = Qel::Min(min, p);
  max = Qel::Max(max, p);
}
