// Triangles held three corners each in chunks and found again by item id, as a mesh definition
// answers its collision tree; with the brute-force reference the tree must agree with. Shared by
// the tree's tests and its benchmark.
#pragma once

#include <cfloat>
#include <vector>

#include "mesh/geometry_helpers.h"
#include "mesh/kq_axis_box_tree.h"

class TriangleSoup : public KQAxisBoxTreeExternalGeometry {
 public:
  std::vector<std::vector<Qel::Vector3>> chunks;

  void GetTriangle(u32 itemId, Qel::Vector3 corners[3]) const override {
    const std::vector<Qel::Vector3>& chunk = chunks.at(itemId >> 16);
    const u32 first = itemId & 0xFFFF;
    for (int k = 0; k < 3; ++k) corners[k] = chunk.at(first + k);
  }

  size_t TriangleCount() const {
    size_t n = 0;
    for (const auto& chunk : chunks) n += chunk.size() / 3;
    return n;
  }

  // Begins a build over this soup and adds every chunk.
  void Fill(KQAxisBoxTree& tree) {
    tree.BeginBuild(this);
    for (u32 c = 0; c < chunks.size(); ++c) {
      tree.AddChunk(c, u32(chunks[c].size() / 3), [&](u32 t, Qel::Vector3 corners[3]) {
        for (int k = 0; k < 3; ++k) corners[k] = chunks[c][3 * t + k];
      });
    }
  }

  // Every triangle with the segment test the tree's leaves use; FLT_MAX for no hit.
  f32 BruteForce(const Qel::Vector3& start, const Qel::Vector3& end) const {
    f32 best = FLT_MAX;
    Qel::Vector3 point, normal;
    for (const auto& chunk : chunks) {
      for (size_t i = 0; i + 2 < chunk.size(); i += 3) {
        IntersectSegmentTriangle(start, end, &chunk[i], best, best, point, normal);
      }
    }
    return best;
  }
};
