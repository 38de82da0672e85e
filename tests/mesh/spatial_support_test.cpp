// The building blocks of the spatial code: growable arrays, memory chains, the KD map and the
// geometric tests.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "mesh/geometry_helpers.h"
#include "mesh/kq_array.h"
#include "mesh/kq_map_kd_tree.h"
#include "mesh/kq_memory_chain.h"

namespace {

using Qel::Vector3;
using WeldMap = KQMapKDTree<int, float, 3, 4000>;

TEST(KQArrayTest, GrowsByItsStepAndZeroFills) {
  struct Case {
    i32 growth;
    i32 countBefore;
    i32 resizeTo;
    i32 capacity;
  };
  const Case cases[] = {
      {0, 0, 1, 4},              // an eighth of nothing, raised to 4
      {0, 80, 81, 90},           // an eighth of the count
      {0, 16000, 16001, 17024},  // an eighth, capped at 1024
      {1, 0, 3, 3},              // n wins over capacity + step
      {100, 10, 11, 100},        // a fixed step, still room
  };
  for (const Case& c : cases) {
    KQArray<i32> array(c.growth);
    array.Resize(c.countBefore);
    array.Resize(c.resizeTo);
    EXPECT_EQ(c.resizeTo, array.Count());
    EXPECT_EQ(c.capacity, array.Capacity());
  }
  KQArray<i32> array(1);
  array.Add(7);
  array.Resize(0);
  array.Resize(2);
  EXPECT_EQ(0, array[0]);  // regrown elements are zero, not the old value
  array.Resize(5, 0);
  EXPECT_EQ(0, array.Growth());
}

TEST(KQMemoryChainTest, CarvesDistinctRecordsFromBlocks) {
  KQMemoryChain chain(64, 16);
  std::set<void*> records;
  for (int i = 0; i < 10; ++i) records.insert(chain.Carve());
  EXPECT_EQ(10u, records.size());
  EXPECT_EQ(3u, chain.GetBlockCount());  // four records per block
}

TEST(KQMapKDTreeTest, ExactMatchesOnly) {
  WeldMap map;
  KQArray<int> found(1);
  const float zero[3] = {0.0f, 1.0f, 2.0f};
  const float negativeZero[3] = {-0.0f, 1.0f, 2.0f};
  const float nan[3] = {NAN, 1.0f, 2.0f};
  map.Insert(zero, 1);
  map.Insert(nan, 2);
  map.Insert(zero, 3);
  for (int rebuilt = 0; rebuilt < 2; ++rebuilt) {
    EXPECT_EQ(2, map.Lookup(negativeZero, found));  // both values under the same point
    EXPECT_EQ(1, found[0] + found[1] - 3);
    EXPECT_EQ(0, map.Lookup(nan, found));
    const float near[3] = {std::nextafter(0.0f, 1.0f), 1.0f, 2.0f};
    EXPECT_EQ(0, map.Lookup(near, found));
    map.Rebuild();
  }
}

TEST(KQMapKDTreeTest, RebuildsByTheAutomaticPolicy) {
  WeldMap map;
  KQArray<int> found(1);
  float point[3] = {0, 0, 0};
  std::vector<i32> builtSizes;
  for (int i = 0; i < 113; ++i) {
    point[0] = float(i);
    map.Insert(point, i);
    map.Lookup(point, found);
    if (builtSizes.empty() || builtSizes.back() != map.GetBuiltSize()) {
      builtSizes.push_back(map.GetBuiltSize());
    }
  }
  // No rebuild below 11 pending inserts; then whenever 8 x pending passes the arranged part.
  EXPECT_EQ((std::vector<i32>{0, 11, 22, 33, 44, 55, 66, 77, 88, 100, 113}), builtSizes);

  // Past 8000 arranged entries, 1001 pending inserts rebuild on their own.
  for (int i = 113; i < 16000; ++i) {
    point[0] = float(i);
    map.Insert(point, i);
  }
  map.Rebuild();
  for (int i = 0; i < 1000; ++i) {
    point[1] = float(i + 1);
    map.Insert(point, i);
  }
  map.Lookup(point, found);
  EXPECT_EQ(16000, map.GetBuiltSize());
  point[1] = -1;
  map.Insert(point, 0);
  map.Lookup(point, found);
  EXPECT_EQ(17001, map.GetBuiltSize());
}

// Interleaved inserts and lookups, as the weld map sees them, against a plain map.
TEST(KQMapKDTreeTest, AgreesWithAPlainMap) {
  WeldMap map;
  std::multimap<std::tuple<float, float, float>, int> reference;
  std::mt19937 random(5);
  std::uniform_int_distribution<int> coordinate(-20, 20);  // few distinct values: many repeats
  KQArray<int> found(1);
  for (int i = 0; i < 20000; ++i) {
    const float p[3] = {coordinate(random) * 0.5f, coordinate(random) * 0.25f,
                        float(coordinate(random) % 3)};
    const auto key = std::make_tuple(p[0], p[1], p[2]);
    ASSERT_EQ(i32(reference.count(key)), map.Lookup(p, found)) << i;
    std::multiset<int> expected, got;
    for (auto [it, end] = reference.equal_range(key); it != end; ++it) expected.insert(it->second);
    for (i32 k = 0; k < found.Count(); ++k) got.insert(found[k]);
    ASSERT_EQ(expected, got);
    if (random() % 3 == 0) {
      map.Insert(p, i);
      reference.emplace(key, i);
    }
  }
}

TEST(GeometryHelpersTest, RayTriangleOneAndTwoSided) {
  const Vector3 v0(0, 0, 0), v1(1, 0, 0), v2(0, 1, 0);
  struct Case {
    const char* name;
    Vector3 origin;
    Vector3 direction;
    bool oneSided;
    bool twoSided;
    f32 t;
  };
  const Case cases[] = {
      // The front is the side that (V1 - V0) x (V2 - V0) points to.
      {"front", {0.2f, 0.2f, 1}, {0, 0, -1}, true, true, 1.0f},
      {"from behind", {0.2f, 0.2f, -1}, {0, 0, 1}, false, true, 1.0f},
      {"behind the origin", {0.2f, 0.2f, -2}, {0, 0, -1}, true, true, -2.0f},
      {"grazing the plane", {-1, 0.2f, 0}, {1, 0, 0}, false, false, 0},
      {"beside", {2, 2, -1}, {0, 0, 1}, false, false, 0},
      {"on an edge", {0.5f, 0, 1}, {0, 0, -1}, true, true, 1.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool twoSided : {false, true}) {
      f32 best = 100.0f;
      const bool hit = IntersectRayTriangle(twoSided, c.origin, c.direction, v0, v1, v2, best);
      EXPECT_EQ(twoSided ? c.twoSided : c.oneSided, hit);
      EXPECT_FLOAT_EQ(hit ? c.t : 100.0f, best);
    }
  }
  // A farther triangle leaves the nearer distance.
  f32 best = 100.0f;
  EXPECT_TRUE(IntersectRayTriangle(false, {0.2f, 0.2f, 1}, {0, 0, -1}, v0, v1, v2, best));
  EXPECT_TRUE(IntersectRayTriangle(false, {0.2f, 0.2f, 1}, {0, 0, -1}, v0 - Vector3(0, 0, 3),
                                   v1 - Vector3(0, 0, 3), v2 - Vector3(0, 0, 3), best));
  EXPECT_FLOAT_EQ(1.0f, best);
}

TEST(GeometryHelpersTest, PointInTriangleOnEveryDominantAxis) {
  // The same triangle turned so that each axis in turn carries the normal, both windings.
  const Vector3 corners[3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  const Vector3 inside(0.25f, 0.25f, 0), outside(0.75f, 0.75f, 0), onEdge(0.5f, 0.5f, 0);
  auto turn = [](const Vector3& p, int k) {
    return k == 0 ? p : (k == 1 ? Vector3(p.z, p.x, p.y) : Vector3(p.y, p.z, p.x));
  };
  for (int k = 0; k < 3; ++k) {
    for (bool reversed : {false, true}) {
      const Vector3 a = turn(corners[0], k);
      const Vector3 b = turn(corners[reversed ? 2 : 1], k);
      const Vector3 c = turn(corners[reversed ? 1 : 2], k);
      const Vector3 n = (b - a).Cross(c - a);
      EXPECT_TRUE(IsPointInTriangle(turn(inside, k), a, b, c, n));
      EXPECT_TRUE(IsPointInTriangle(turn(onEdge, k), a, b, c, n));
      EXPECT_FALSE(IsPointInTriangle(turn(outside, k), a, b, c, n));
    }
  }
}

TEST(GeometryHelpersTest, NormalsAndUsability) {
  EXPECT_EQ(Vector3(0, 0, 1), ComputeTriangleNormal({0, 0, 0}, {2, 0, 0}, {0, 3, 0}));
  EXPECT_EQ(Vector3(), ComputeTriangleNormal({0, 0, 0}, {1, 1, 1}, {2, 2, 2}));
  // A tiny triangle is usable; a line, a repeated corner and a NaN corner are not.
  EXPECT_EQ((std::vector<bool>{IsTriangleUsable({0, 0, 0}, {1e-3f, 0, 0}, {0, 1e-3f, 0}),
                               IsTriangleUsable({0, 0, 0}, {1, 1, 1}, {2, 2, 2}),
                               IsTriangleUsable({0, 0, 0}, {0, 0, 0}, {0, 1, 0}),
                               IsTriangleUsable({NAN, 0, 0}, {1, 0, 0}, {0, 1, 0})}),
            (std::vector<bool>{true, false, false, false}));
  f32 v[4] = {0, 3, 0, 4};
  NormaliseVector4(v);
  EXPECT_FLOAT_EQ(0.6f, v[1]);
  EXPECT_FLOAT_EQ(0.8f, v[3]);
  Vector3 min(0, 0, 0), max(0, 0, 0);
  ExpandBox(min, max, {-1, 2, 0.5f});
  EXPECT_EQ(std::pair(Vector3(-1, 0, 0), Vector3(0, 2, 0.5f)), std::pair(min, max));
}

}  // namespace
