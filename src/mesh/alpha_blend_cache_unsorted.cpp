#include "mesh/alpha_blend_cache_unsorted.h"

#include <atomic>

namespace Qel {

namespace {
std::atomic<AlphaBlendCacheUnsorted*> g_unsortedCache{nullptr};
}  // namespace

AlphaBlendCacheUnsorted::AlphaBlendCacheUnsorted()
    : RenderingCache(kCacheId, "AlphaBlendCacheUnsorted", 55.0f) {
  g_unsortedCache = this;
}

AlphaBlendCacheUnsorted::~AlphaBlendCacheUnsorted() {
  AlphaBlendCacheUnsorted* self = this;
  g_unsortedCache.compare_exchange_strong(self, nullptr);
}

AlphaBlendCacheUnsorted* AlphaBlendCacheUnsorted::GetInstance() { return g_unsortedCache; }

void AlphaBlendCacheUnsorted::BeginFrame() {
  if (!IsRenderSuppressed()) draws_.clear();
}

void AlphaBlendCacheUnsorted::AddDraw(const ChunkDraw& draw, Material* material) {
  if (IsRenderSuppressed() || !draw.chunk || !material) return;
  draws_.push_back({draw, material});
}

void AlphaBlendCacheUnsorted::Render(Display& display) {
  if (IsRenderSuppressed()) return;
  display.SetAlphaTestMode(false);
  display.SetAlphaBlendMode(true);
  display.SetDepthWriteMode(false);
  u32 savedSource = 0;
  u32 savedDestination = 0;
  display.GetAlphaBlendFunction(savedSource, savedDestination);
  display.SetAlphaBlendFunction(source_, destination_);
  for (const QueuedDraw& queued : draws_) {
    queued.material->RenderChunk(display, view_, queued.draw);
  }
  display.SetAlphaBlendFunction(savedSource, savedDestination);
  display.SetAlphaBlendMode(false);
  display.SetAlphaTestMode(false);
  display.SetDepthWriteMode(true);
}

}  // namespace Qel
