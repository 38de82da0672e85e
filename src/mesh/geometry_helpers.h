// Small geometric tests shared by the mesh instances and the collision tree.
#pragma once

#include "qel/types.h"
#include "qelgfx/vector3.h"

// Ray against triangle (Moller-Trumbore, epsilon 1e-6). True for every hit, behind the origin
// too (t < 0, no lower bound); `bestDistance` is replaced only by a strictly smaller t. The
// one-sided test hits only where det = E1 . (D x E2) is positive: rays travelling against the
// normal (V1 - V0) x (V2 - V0). A ray grazing the plane (|det| < 1e-6) never hits.
bool IntersectRayTriangle(bool twoSided, const Qel::Vector3& origin, const Qel::Vector3& direction,
                          const Qel::Vector3& v0, const Qel::Vector3& v1, const Qel::Vector3& v2,
                          f32& bestDistance);

// Whether p, already known to lie in the triangle's plane, lies inside it, tested in the two
// axes that remain after dropping the normal's dominant one. Points on an edge are inside.
bool IsPointInTriangle(const Qel::Vector3& p, const Qel::Vector3& v0, const Qel::Vector3& v1,
                       const Qel::Vector3& v2, const Qel::Vector3& normal);

// Segment start -> end against a triangle: the segment must reach the plane (ends strictly on one
// side miss), t is the fraction along it (0 for a segment lying in the plane) and the point must
// lie in the triangle; a degenerate triangle is never hit. A hit counts only at t <= maxT; `normal`
// is the unnormalised plane normal (p1 - p0) x (p2 - p0). The collision tree's leaves and
// brute-force tests share it.
bool IntersectSegmentTriangle(const Qel::Vector3& start, const Qel::Vector3& end,
                              const Qel::Vector3* corners, f32 maxT, f32& t, Qel::Vector3& point,
                              Qel::Vector3& normal);

// The unit normal of (p1 - p0) x (p2 - p0); the zero vector for a degenerate triangle.
Qel::Vector3 ComputeTriangleNormal(const Qel::Vector3& p0, const Qel::Vector3& p1,
                                   const Qel::Vector3& p2);

// False for exactly degenerate triangles (no normal), which collision trees refuse.
bool IsTriangleUsable(const Qel::Vector3& p0, const Qel::Vector3& p1, const Qel::Vector3& p2);

// Scales a four-component vector to unit length; the zero vector stays zero.
void NormaliseVector4(f32 v[4]);

// Grows the box (min, max) to hold p.
void ExpandBox(Qel::Vector3& min, Qel::Vector3& max, const Qel::Vector3& p);
