#include "mesh/kq_axis_box_tree.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <random>
#include <vector>

#include "mesh/geometry_helpers.h"
#include "mesh/triangle_soup.h"

namespace {

using Qel::Vector3;

// count triangles side by side along x, each one unit wide.
TriangleSoup Strip(u32 count) {
  TriangleSoup soup;
  soup.chunks.resize(1);
  for (u32 i = 0; i < count; ++i) {
    const f32 x = f32(i);
    soup.chunks[0].insert(soup.chunks[0].end(), {{x, 0, 0}, {x + 1, 0, 0}, {x, 1, 0}});
  }
  return soup;
}

TEST(KQAxisBoxTreeTest, FindsTheSameNearestHitAsBruteForce) {
  std::mt19937 random(1234);
  std::uniform_real_distribution<f32> place(-10.0f, 10.0f);
  std::uniform_real_distribution<f32> size(-2.0f, 2.0f);
  TriangleSoup soup;
  soup.chunks.resize(3);
  std::vector<Vector3> shared;
  for (int i = 0; i < 1200; ++i) {
    const Vector3 centre(place(random), place(random), place(random));
    auto& chunk = soup.chunks[i % 3];
    for (int k = 0; k < 3; ++k) {
      // Some corners repeat earlier ones, so the weld map joins them.
      if (!shared.empty() && random() % 4 == 0) {
        chunk.push_back(shared[random() % shared.size()]);
      } else {
        chunk.push_back(centre + Vector3(size(random), size(random), size(random)));
        shared.push_back(chunk.back());
      }
    }
  }
  KQAxisBoxTree tree;
  soup.Fill(tree);
  ASSERT_TRUE(tree.Build());
  int hits = 0;
  for (int i = 0; i < 10000; ++i) {
    const Vector3 start(place(random) * 1.2f, place(random) * 1.2f, place(random) * 1.2f);
    const Vector3 end(place(random) * 1.2f, place(random) * 1.2f, place(random) * 1.2f);
    const f32 expected = soup.BruteForce(start, end);
    KQAxisBoxHit hit;
    const bool found = tree.FindFirstHit(start, end, hit);
    ASSERT_EQ(expected != FLT_MAX, found) << "segment " << i;
    if (!found) continue;
    ++hits;
    ASSERT_EQ(expected, hit.t) << "segment " << i;
    Vector3 corners[3];
    soup.GetTriangle(hit.itemId, corners);
    EXPECT_NEAR(1.0f, hit.normal.Length(), 1e-5f);
    EXPECT_EQ(0xFFFFFFFFu, hit.secondId);
  }
  EXPECT_GT(hits, 1000);  // the comparison covered hits as well as misses
}

TEST(KQAxisBoxTreeTest, SplitsAsTheMedianRuleSays) {
  struct Case {
    u32 triangles;
    std::vector<i32> leaves;  // leaf sizes in node order
  };
  const Case cases[] = {
      {64, {64}},
      {65, {32, 33}},
      {130, {64, 32, 34}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.triangles);
    TriangleSoup soup = Strip(c.triangles);
    KQAxisBoxTree tree;
    soup.Fill(tree);
    ASSERT_TRUE(tree.Build());
    std::vector<i32> leaves;
    for (i32 i = 0; i < tree.GetNodeCount(); ++i) {
      if (tree.GetNode(i).first < 0) leaves.push_back(tree.GetNode(i).second);
    }
    EXPECT_EQ(c.leaves, leaves);
  }
}

TEST(KQAxisBoxTreeTest, RefusesChunksWhoseIdsWouldAlias) {
  TriangleSoup soup = Strip(30000);
  soup.chunks.push_back({{0, 0, 5}, {1, 0, 5}, {0, 1, 5}});
  KQAxisBoxTree tree;
  tree.BeginBuild(&soup);
  EXPECT_FALSE(tree.AddChunk(0, 30000, [&](u32 t, Vector3 corners[3]) {
    for (int k = 0; k < 3; ++k) corners[k] = soup.chunks[0][3 * t + k];
  }));
  EXPECT_EQ(30000, tree.GetRejectedTriangles());
  EXPECT_TRUE(tree.AddChunk(1, 1, [&](u32, Vector3 corners[3]) {
    for (int k = 0; k < 3; ++k) corners[k] = soup.chunks[1][k];
  }));
  ASSERT_TRUE(tree.Build());
  KQAxisBoxHit hit;
  // The refused chunk is not in the tree under any id; the other chunk is.
  EXPECT_FALSE(tree.FindFirstHit({21845.2f, 0.2f, 1}, {21845.2f, 0.2f, -1}, hit));
  EXPECT_TRUE(tree.FindFirstHit({0.2f, 0.2f, 6}, {0.2f, 0.2f, 4}, hit));
  EXPECT_EQ(1u << 16, hit.itemId);

  u32 itemId = 0;
  EXPECT_TRUE(KQAxisBoxTree::MakeItemId(511, 21845, itemId));
  EXPECT_EQ((511u << 16) | 65535u, itemId);
  EXPECT_FALSE(KQAxisBoxTree::MakeItemId(511, 21846, itemId));
  EXPECT_FALSE(KQAxisBoxTree::MakeItemId(512, 0, itemId));
}

TEST(KQAxisBoxTreeTest, EdgeCasesOfTheSegmentTest) {
  TriangleSoup soup;
  soup.chunks = {{{0, 0, 0},
                  {1, 0, 0},
                  {0, 1, 0},  // the target
                  {0, 0, 1},
                  {1, 1, 1},
                  {2, 2, 1},  // degenerate: a line
                  {0, 0, -1},
                  {1, 0, -1},
                  {0, 1, -1}}};  // farther along the segment
  KQAxisBoxTree tree;
  KQAxisBoxHit hit;
  EXPECT_FALSE(tree.FindFirstHit({0, 0, 1}, {0, 0, -1}, hit));  // never built
  EXPECT_EQ(-1.0f, hit.t);
  soup.Fill(tree);
  EXPECT_EQ(1, tree.GetRejectedTriangles());
  ASSERT_TRUE(tree.Build());

  // Ending exactly on the plane hits at t = 1; the nearer of two hits wins.
  ASSERT_TRUE(tree.FindFirstHit({0.25f, 0.25f, 1}, {0.25f, 0.25f, 0}, hit));
  EXPECT_EQ(1.0f, hit.t);
  EXPECT_EQ(0u, hit.itemId);
  ASSERT_TRUE(tree.FindFirstHit({0.25f, 0.25f, 2}, {0.25f, 0.25f, -2}, hit));
  EXPECT_EQ(0.5f, hit.t);
  EXPECT_EQ(Vector3(0.25f, 0.25f, 0), hit.point);
  // The degenerate triangle lies on this segment's path and is never hit.
  EXPECT_FALSE(tree.FindFirstHit({1.5f, 1.5f, 1.5f}, {1.5f, 1.5f, 0.5f}, hit));
  // Stopping short, passing beside, and a segment of no length.
  EXPECT_FALSE(tree.FindFirstHit({0.25f, 0.25f, 2}, {0.25f, 0.25f, 0.5f}, hit));
  EXPECT_FALSE(tree.FindFirstHit({5, 5, 2}, {5, 5, -2}, hit));
  EXPECT_TRUE(tree.FindFirstHit({0.25f, 0.25f, 0}, {0.25f, 0.25f, 0}, hit));
  EXPECT_EQ(0.0f, hit.t);

  KQAxisBoxTree empty;
  empty.BeginBuild(&soup);
  EXPECT_FALSE(empty.Build());
  EXPECT_EQ(0, empty.GetNodeCount());
}

// Far from the origin for its size, a mesh's centres round by more than 16-bit extents at the
// usual scale can make up; every decoded box must still hold its node.
TEST(KQAxisBoxTreeTest, DecodedBoxesHoldTheirTrianglesFarFromTheOrigin) {
  // A small stack of triangles 1000 units out: the centre step (1000 / 32767) is several times
  // the stack's size, and its y centre (0.015) rounds to 0.
  TriangleSoup soup;
  soup.chunks.resize(1);
  for (int i = 0; i < 10; ++i) {
    const f32 z = f32(i) * 0.001f;
    soup.chunks[0].insert(soup.chunks[0].end(),
                          {{1000.0f, 0.01f, z}, {1000.01f, 0.01f, z}, {1000.0f, 0.02f, z}});
  }
  KQAxisBoxTree tree;
  soup.Fill(tree);
  ASSERT_TRUE(tree.Build());
  for (const Vector3& at : {Vector3(1000.002f, 0.012f, 0), Vector3(1000.001f, 0.018f, 0)}) {
    KQAxisBoxHit hit;
    const Vector3 start = at + Vector3(0, 0, 1), end = at - Vector3(0, 0, 1);
    ASSERT_TRUE(tree.FindFirstHit(start, end, hit));
    EXPECT_EQ(soup.BruteForce(start, end), hit.t);
  }
  Vector3 centre, extent;
  tree.DecodeNode(tree.GetNode(0), centre, extent);
  EXPECT_LE(centre.x - extent.x, 1000.0f);
  EXPECT_GE(centre.x + extent.x, 1000.01f);
  EXPECT_LE(centre.y - extent.y, 0.01f);
  EXPECT_GE(centre.y + extent.y, 0.02f);
}

}  // namespace
