#include "mesh/kq_axis_box_tree.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "mesh/geometry_helpers.h"
#include "mesh/kq_map_kd_tree.h"
#include "qelgfx/std_math.h"

using Qel::Vector3;

struct KQAxisBoxTree::Builder {
  struct Triangle {
    i32 vertex[3];
    u32 itemId;
    Vector3 min;
    Vector3 max;
  };
  struct BuildNode {
    i32 first;
    i32 second;
    Vector3 min;
    Vector3 max;
  };

  KQArray<Vector3> vertices{0};
  KQMapKDTree<int, float, 3, 4000> weld;
  KQArray<Triangle> triangles{0};
  KQArray<BuildNode> nodes{0};
  KQArray<i32> leafEntries{0};
  KQArray<i32> order{0};  // triangle numbers, rearranged by the splits
  KQArray<int> found{1};
  i32 maxLeafSize = kMaxLeafSize;

  f32 Centre(i32 triangle, int axis) const {
    const Triangle& t = triangles[triangle];
    return (t.min[axis] + t.max[axis]) * 0.5f;
  }
};

struct KQAxisBoxTree::Segment {
  Vector3 start;
  Vector3 end;
  Vector3 centre;
  Vector3 half;
  Vector3 absHalf;
  Vector3 direction;
  Vector3 unit;
  Vector3 absUnit;
  f32 invLength;
};

KQAxisBoxTree::KQAxisBoxTree() : nodes_(0), leafItems_(0) {}

KQAxisBoxTree::~KQAxisBoxTree() = default;

bool KQAxisBoxTree::MakeItemId(u32 chunk, u32 triangle, u32& itemId) {
  if (chunk >= kMaxChunks || triangle > kMaxChunkTriangles) return false;
  itemId = (chunk << 16) | (3 * triangle);
  return true;
}

void KQAxisBoxTree::BeginBuild(KQAxisBoxTreeExternalGeometry* externalGeometry) {
  builder_ = std::make_unique<Builder>();
  // Leaves hold an even count of at least four.
  builder_->maxLeafSize = std::max(kMaxLeafSize & ~1, 4);
  externalGeometry_ = externalGeometry;
  rejectedTriangles_ = 0;
  maxDepth_ = 0;
  nodes_.Clear();
  leafItems_.Clear();
  centreScale_ = extentScale_ = 0.0f;
}

void KQAxisBoxTree::AddTriangle(const Vector3* corners, u32 itemId) {
  if (!builder_) return;
  Builder& b = *builder_;
  if (b.triangles.Count() >= kMaxTriangles || b.vertices.Count() >= kMaxVertices) return;
  if ((itemId >> 16) >= kMaxChunks || (itemId & 0xFFFF) % 3 != 0 ||
      !IsTriangleUsable(corners[0], corners[1], corners[2])) {
    ++rejectedTriangles_;
    return;
  }
  Builder::Triangle triangle;
  triangle.itemId = itemId;
  triangle.min = triangle.max = corners[0];
  for (int k = 0; k < 3; ++k) {
    const Vector3& p = corners[k];
    const float key[3] = {p.x, p.y, p.z};
    i32 index;
    if (b.weld.Lookup(key, b.found) > 0) {
      index = b.found[0];
    } else {
      index = b.vertices.Count();
      if (index >= kMaxVertices) {
        ++rejectedTriangles_;
        return;
      }
      b.vertices.Add(p);
      b.weld.Insert(key, index);
    }
    triangle.vertex[k] = index;
    ExpandBox(triangle.min, triangle.max, p);
  }
  b.triangles.Add(triangle);
}

bool KQAxisBoxTree::AddChunk(u32 chunk, u32 triangleCount,
                             const std::function<void(u32, Vector3[3])>& fetch) {
  u32 itemId = 0;
  if (triangleCount > 0 && !MakeItemId(chunk, triangleCount - 1, itemId)) {
    rejectedTriangles_ += i32(std::min<u32>(triangleCount, 0x7FFFFFFF - u32(rejectedTriangles_)));
    return false;
  }
  Vector3 corners[3];
  for (u32 triangle = 0; triangle < triangleCount; ++triangle) {
    fetch(triangle, corners);
    MakeItemId(chunk, triangle, itemId);
    AddTriangle(corners, itemId);
  }
  return true;
}

bool KQAxisBoxTree::Build() {
  std::unique_ptr<Builder> owned = std::move(builder_);
  nodes_.Clear();
  leafItems_.Clear();
  if (!owned) return false;
  Builder& b = *owned;
  const i32 count = b.triangles.Count();
  if (count < 1 || count >= kMaxTriangles || b.vertices.Count() >= kMaxVertices) return false;

  builder_ = std::move(owned);
  Builder::BuildNode root{0, 0, b.vertices[0], b.vertices[0]};
  for (i32 i = 1; i < b.vertices.Count(); ++i) ExpandBox(root.min, root.max, b.vertices[i]);
  b.nodes.Add(root);
  b.order.Resize(count);
  for (i32 i = 0; i < count; ++i) b.order[i] = i;
  maxDepth_ = 0;
  Split(0, 0, count, 0);
  Compress();
  builder_.reset();
  return true;
}

f32 KQAxisBoxTree::Partition(i32 begin, i32 end, int axis, Vector3 box[4]) {
  Builder& b = *builder_;
  i32* order = b.order.Data();
  std::sort(order + begin, order + end,
            [&](i32 l, i32 r) { return b.Centre(l, axis) < b.Centre(r, axis); });
  const i32 n = end - begin;
  i32 left = n / 2;
  // Two odd halves would leave two odd leaves below: one triangle moves to the right.
  if (left % 2 == 1 && (n - left) % 2 == 1) {
    std::rotate(order + begin + left - 1, order + begin + left, order + end);
    --left;
  }
  for (int half = 0; half < 2; ++half) {
    const i32 from = half == 0 ? begin : begin + left;
    const i32 to = half == 0 ? begin + left : end;
    Vector3& min = box[2 * half];
    Vector3& max = box[2 * half + 1];
    min = b.triangles[order[from]].min;
    max = b.triangles[order[from]].max;
    for (i32 i = from + 1; i < to; ++i) {
      ExpandBox(min, max, b.triangles[order[i]].min);
      ExpandBox(min, max, b.triangles[order[i]].max);
    }
  }
  return left;
}

void KQAxisBoxTree::Split(i32 node, i32 begin, i32 end, i32 depth) {
  Builder& b = *builder_;
  maxDepth_ = std::max(maxDepth_, depth);
  const i32 n = end - begin;
  if (n <= b.maxLeafSize) {
    b.nodes[node].first = -1 - b.leafEntries.Count();
    b.nodes[node].second = n;
    for (i32 i = begin; i < end; ++i) b.leafEntries.Add(b.order[i]);
    return;
  }
  const Vector3 extent = b.nodes[node].max - b.nodes[node].min;
  int axes[3] = {0, 1, 2};
  std::stable_sort(axes, axes + 3,
                   [&](int l, int r) { return std::fabs(extent[l]) > std::fabs(extent[r]); });
  int best = axes[0];
  f32 bestScore = FLT_MAX;
  Vector3 box[4];
  for (int axis : axes) {
    Partition(begin, end, axis, box);
    const f32 span = b.nodes[node].max[axis] - b.nodes[node].min[axis];
    const f32 score = span > 0.0f ? (box[1][axis] - box[2][axis]) / span : 0.0f;
    if (score < bestScore) {
      bestScore = score;
      best = axis;
    }
  }
  const i32 left = i32(Partition(begin, end, best, box));
  const i32 first = b.nodes.Count();
  b.nodes.Add({0, 0, box[0], box[1]});
  b.nodes.Add({0, 0, box[2], box[3]});
  b.nodes[node].first = first;
  b.nodes[node].second = first + 1;
  Split(first, begin, begin + left, depth + 1);
  Split(first + 1, begin + left, end, depth + 1);
}

void KQAxisBoxTree::Compress() {
  Builder& b = *builder_;
  f32 maxCentre = 0.0f;
  f32 maxHalf = 0.0f;
  for (i32 i = 0; i < b.nodes.Count(); ++i) {
    const Builder::BuildNode& n = b.nodes[i];
    for (int a = 0; a < 3; ++a) {
      maxCentre = std::max(maxCentre, std::fabs((n.min[a] + n.max[a]) * 0.5f));
      maxHalf = std::max(maxHalf, (n.max[a] - n.min[a]) * 0.5f);
    }
  }
  const f32 qc = maxCentre > 0.0f ? 32767.0f / maxCentre : 0.0f;
  centreScale_ = qc > 0.0f ? 1.0f / qc : 0.0f;
  // A mesh far from the origin for its size rounds centres by more than the extents can make
  // up within 16 bits; the extent scale then leaves room for that rounding, so that a decoded
  // box always holds its node and no hit is lost.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const f32 reach = attempt == 0 ? maxHalf : maxHalf + centreScale_;
    const f32 qe = reach > 0.0f ? 32767.0f / reach : 0.0f;
    extentScale_ = qe > 0.0f ? 1.0f / qe : 0.0f;
    bool allHeld = true;
    nodes_.Resize(b.nodes.Count());
    for (i32 i = 0; i < b.nodes.Count(); ++i) {
      const Builder::BuildNode& n = b.nodes[i];
      Node& out = nodes_[i];
      out.first = n.first;
      out.second = n.second;
      for (int a = 0; a < 3; ++a) {
        const f32 centre = (n.min[a] + n.max[a]) * 0.5f;
        const f32 half = (n.max[a] - n.min[a]) * 0.5f;
        out.centre[a] = i16(std::clamp(std::lround(centre * qc), -32767L, 32767L));
        i64 extent = std::min(std::lround(half * qe), 65535L);
        const f32 decodedCentre = f32(out.centre[a]) * centreScale_;
        while (decodedCentre - f32(extent) * extentScale_ > n.min[a] ||
               decodedCentre + f32(extent) * extentScale_ < n.max[a]) {
          if (++extent > 65535) break;
        }
        if (extent > 65535) {
          extent = 65535;
          allHeld = false;
        }
        out.extent[a] = u16(extent);
      }
    }
    if (allHeld) break;
  }
  leafItems_.Resize(b.leafEntries.Count() * 3);
  for (i32 i = 0; i < b.leafEntries.Count(); ++i) {
    const u32 itemId = b.triangles[b.leafEntries[i]].itemId;
    const u32 packed = ((itemId & 0xFFFF) / 3) | (((itemId >> 16) & 0x1FF) << 15);
    leafItems_[3 * i] = u8(packed);
    leafItems_[3 * i + 1] = u8(packed >> 8);
    leafItems_[3 * i + 2] = u8(packed >> 16);
  }
}

u32 KQAxisBoxTree::GetLeafItem(i32 entry) const {
  const u32 packed = u32(leafItems_[3 * entry]) | u32(leafItems_[3 * entry + 1]) << 8 |
                     u32(leafItems_[3 * entry + 2]) << 16;
  return ((packed >> 15) << 16) | (3 * (packed & 0x7FFF));
}

void KQAxisBoxTree::DecodeNode(const Node& node, Vector3& centre, Vector3& extent) const {
  for (int a = 0; a < 3; ++a) {
    centre[a] = f32(node.centre[a]) * centreScale_;
    extent[a] = f32(node.extent[a]) * extentScale_;
  }
}

bool KQAxisBoxTree::FindFirstHit(const Vector3& start, const Vector3& end,
                                 KQAxisBoxHit& result) const {
  result = KQAxisBoxHit();
  if (nodes_.Count() == 0 || !externalGeometry_) return false;
  Segment s;
  s.start = start;
  s.end = end;
  s.centre = (start + end) * 0.5f;
  s.half = (end - start) * 0.5f;
  s.absHalf = s.half.Abs();
  s.direction = end - start;
  const f32 length = Qel::StdMath::FastNormalise(s.direction, s.unit);
  s.absUnit = s.unit.Abs();
  s.invLength = length > 0.0f ? 1.0f / length : 0.0f;
  result.t = FLT_MAX;
  Walk(0, s, result);
  if (result.t == FLT_MAX) {
    result = KQAxisBoxHit();
    return false;
  }
  Qel::StdMath::FastNormalise(result.normal);
  return true;
}

f32 KQAxisBoxTree::NearDistance(const Segment& s, i32 index) const {
  Vector3 centre, extent;
  DecodeNode(nodes_[index], centre, extent);
  return ((s.unit.Dot(centre) - s.unit.Dot(s.start)) - s.absUnit.Dot(extent)) * s.invLength;
}

void KQAxisBoxTree::Walk(i32 index, const Segment& s, KQAxisBoxHit& hit) const {
  const Node& node = nodes_[index];
  Vector3 b, e;
  DecodeNode(node, b, e);
  // Separating axes: the box's three, then the segment crossed with each of them.
  const Vector3 d = s.centre - b;
  const Vector3& h = s.half;
  const Vector3& ah = s.absHalf;
  for (int a = 0; a < 3; ++a) {
    if (std::fabs(d[a]) > e[a] + ah[a]) return;
  }
  if (std::fabs(h.y * d.z - h.z * d.y) > e.y * ah.z + e.z * ah.y) return;
  if (std::fabs(h.z * d.x - h.x * d.z) > e.z * ah.x + e.x * ah.z) return;
  if (std::fabs(h.x * d.y - h.y * d.x) > e.x * ah.y + e.y * ah.x) return;

  if (node.first < 0) {
    TestLeaf(node, s, hit);
    return;
  }
  i32 nearChild = node.first;
  i32 farChild = node.second;
  f32 nearT = NearDistance(s, nearChild);
  f32 farT = NearDistance(s, farChild);
  if (farT < nearT) {
    std::swap(nearChild, farChild);
    std::swap(nearT, farT);
  }
  if (nearT > hit.t) return;
  Walk(nearChild, s, hit);
  if (hit.t < farT) return;
  Walk(farChild, s, hit);
}

void KQAxisBoxTree::TestLeaf(const Node& node, const Segment& s, KQAxisBoxHit& hit) const {
  const i32 first = -1 - node.first;
  Vector3 p[3];
  for (i32 k = 0; k < node.second; ++k) {
    const u32 itemId = GetLeafItem(first + k);
    externalGeometry_->GetTriangle(itemId, p);
    if (IntersectSegmentTriangle(s.start, s.end, p, hit.t, hit.t, hit.point, hit.normal)) {
      hit.itemId = itemId;
      hit.secondId = 0xFFFFFFFF;
    }
  }
}
