// The collision tree of a mesh: axis-aligned boxes, two children per inner node, over the mesh's
// triangles, answering where a segment first hits the mesh. A finished tree keeps only quantised
// boxes and 3-byte triangle references; corner positions are fetched again, when a leaf is
// tested, through the external geometry.
//
// Item ids: bits 16-31 the chunk, bits 0-15 the index of the triangle's first vertex index
// (3 x triangle number). A chunk whose triangles do not all fit that (more than 21845) is refused
// whole and counted as rejected: its ids would alias other triangles.
#pragma once

#include <functional>
#include <memory>

#include "mesh/kq_array.h"
#include "qel/types.h"
#include "qelgfx/vector3.h"

class KQAxisBoxTreeExternalGeometry {
 public:
  virtual ~KQAxisBoxTreeExternalGeometry() = default;
  // The three corners of the triangle with this item id.
  virtual void GetTriangle(u32 itemId, Qel::Vector3 corners[3]) const = 0;
};

struct KQAxisBoxHit {
  Qel::Vector3 point;
  Qel::Vector3 normal;  // unit; its orientation follows the corners' winding
  f32 t = -1.0f;        // fraction along start -> end
  u32 itemId = 0xFFFFFFFF;
  u32 secondId = 0xFFFFFFFF;
};

class KQAxisBoxTree {
 public:
  static constexpr u32 kMaxChunks = 512;
  static constexpr u32 kMaxChunkTriangles = 0xFFFF / 3;
  static constexpr i32 kMaxTriangles = 8300000;
  static constexpr i32 kMaxVertices = 16700000;
  static constexpr i32 kMaxLeafSize = 64;

  struct Node {
    i32 first;   // inner: first child; leaf: -1 - (index of its first leaf entry)
    i32 second;  // inner: second child; leaf: triangle count
    i16 centre[3];
    u16 extent[3];
  };

  KQAxisBoxTree();
  virtual ~KQAxisBoxTree();
  KQAxisBoxTree(const KQAxisBoxTree&) = delete;
  KQAxisBoxTree& operator=(const KQAxisBoxTree&) = delete;

  // The item id of a triangle; false when the triangle number or the chunk does not fit.
  static bool MakeItemId(u32 chunk, u32 triangle, u32& itemId);

  void BeginBuild(KQAxisBoxTreeExternalGeometry* externalGeometry);
  // Corners are three consecutive points. Degenerate triangles and chunks of 512 and above are
  // rejected; past the triangle or vertex limits the call does nothing.
  void AddTriangle(const Qel::Vector3* corners, u32 itemId);
  // Adds the chunk's triangles, fetched by triangle number, or refuses the whole chunk (every
  // triangle rejected) when its ids would not fit. True when the chunk was taken.
  bool AddChunk(u32 chunk, u32 triangleCount,
                const std::function<void(u32 triangle, Qel::Vector3 corners[3])>& fetch);
  // Builds and compresses the tree; false (no nodes) without triangles or past the limits.
  bool Build();

  bool FindFirstHit(const Qel::Vector3& start, const Qel::Vector3& end, KQAxisBoxHit& result) const;

  i32 GetNodeCount() const { return nodes_.Count(); }
  const Node& GetNode(i32 index) const { return nodes_[index]; }
  // The item id of a leaf entry, unpacked from its 3 bytes.
  u32 GetLeafItem(i32 entry) const;
  i32 GetRejectedTriangles() const { return rejectedTriangles_; }
  i32 GetMaxDepth() const { return maxDepth_; }
  f32 GetCentreScale() const { return centreScale_; }
  f32 GetExtentScale() const { return extentScale_; }
  // The box a node stands for, as the walk decodes it.
  void DecodeNode(const Node& node, Qel::Vector3& centre, Qel::Vector3& extent) const;

 private:
  struct Builder;
  struct Segment;

  void Split(i32 node, i32 begin, i32 end, i32 depth);
  f32 Partition(i32 begin, i32 end, int axis, Qel::Vector3 box[4]);
  void Compress();
  void Walk(i32 index, const Segment& segment, KQAxisBoxHit& hit) const;
  void TestLeaf(const Node& node, const Segment& segment, KQAxisBoxHit& hit) const;
  f32 NearDistance(const Segment& segment, i32 index) const;

  KQAxisBoxTreeExternalGeometry* externalGeometry_ = nullptr;
  KQArray<Node> nodes_;
  KQArray<u8> leafItems_;
  f32 centreScale_ = 0.0f;
  f32 extentScale_ = 0.0f;
  std::unique_ptr<Builder> builder_;
  i32 rejectedTriangles_ = 0;
  i32 maxDepth_ = 0;
};
