// The depth-sorted cache of blended draws: draws wait in 200 depth buckets per nesting level and
// are replayed after the opaque scene, far to near; the triangles of near draws are sorted far to
// near as well. Draw records come from blocks that chain as a frame needs them.
#pragma once

#include <memory>
#include <vector>

#include "qelgfx/material.h"
#include "qelgfx/render_inputs.h"
#include "qelgfx/rendering_cache.h"

namespace Qel {

class KestroAlphaBlendCache : public AlphaBlendCache {
 public:
  static constexpr u32 kBucketCount = 200;
  // Draws in buckets below this are sorted by triangle.
  static constexpr u32 kSortedBucketLimit = 70;
  static constexpr size_t kPoolBlockBytes = 20000;

  KestroAlphaBlendCache();
  ~KestroAlphaBlendCache() override;

  // The view the next render draws for.
  void SetView(const RenderView& view) { view_ = view; }
  // Empties the current level.
  void Reset() override;
  void Render(Display& display) override;
  // With `nested`, opens a level of its own above the current one.
  void Enter(bool nested) override;
  // With `nested`, draws the inner level and returns to the outer one; nothing at the outermost.
  void Leave(bool nested, Display& display) override;
  bool IsEmpty() const override;
  // Queues a blended draw at its depth. `eye` is the eye point in the chunk's own space, from
  // which a near chunk's triangles are sorted. Chunk and material must outlive the render.
  void AddDraw(const ChunkDraw& draw, Material* material, f32 depth, const Vector3& eye);

  using CompareFunction = int (*)(const void*, const void*);
  // Orders (primitive, squared distance) pairs far first.
  static CompareFunction GetCompareFunction();
  u32 GetLevel() const { return level_; }
  u32 GetPoolBlockCount() const;

 private:
  struct DrawRecord;
  class RecordPool;
  struct DepthEntry {
    u32 primitive;
    f32 distanceSquared;
  };

  static int CompareFarFirst(const void* a, const void* b);
  void BeginBlendedState(Display& display);
  void RestoreState(Display& display);
  void SortTriangles(DrawRecord& record, const Vector3& eye);
  void EmptyBucket(std::vector<DrawRecord*>& bucket);

  std::unique_ptr<RecordPool> pool_;
  std::vector<std::vector<DrawRecord*>> buckets_;
  u32 level_ = 0;
  RenderView view_;
  std::vector<DepthEntry> scratch_;
};

}  // namespace Qel
