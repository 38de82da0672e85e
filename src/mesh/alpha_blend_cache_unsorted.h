// The unsorted cache of blended draws: replayed after the opaque scene in the order they came,
// with blend factors of its own. The program reaches the one cache through GetInstance.
#pragma once

#include <vector>

#include "qelgfx/material.h"
#include "qelgfx/render_inputs.h"
#include "qelgfx/rendering_cache.h"

namespace Qel {

class AlphaBlendCacheUnsorted : public RenderingCache {
 public:
  static constexpr u32 kCacheId = 0x41424355;

  AlphaBlendCacheUnsorted();
  ~AlphaBlendCacheUnsorted() override;
  AlphaBlendCacheUnsorted(const AlphaBlendCacheUnsorted&) = delete;
  AlphaBlendCacheUnsorted& operator=(const AlphaBlendCacheUnsorted&) = delete;

  // The cache made last and still alive; null when there is none.
  static AlphaBlendCacheUnsorted* GetInstance();

  void SetView(const RenderView& view) { view_ = view; }
  void SetBlendFactors(u32 source, u32 destination) {
    source_ = source;
    destination_ = destination;
  }
  void Reset() override { draws_.clear(); }
  void BeginFrame() override;
  void Render(Display& display) override;
  bool IsEmpty() const override { return draws_.empty(); }
  // Chunk and material must outlive the render.
  void AddDraw(const ChunkDraw& draw, Material* material);

 private:
  struct QueuedDraw {
    ChunkDraw draw;
    Material* material;
  };
  std::vector<QueuedDraw> draws_;
  u32 source_ = 4;
  u32 destination_ = 5;
  RenderView view_;
};

}  // namespace Qel
