#include "qelgfx/rendering_cache.h"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace Qel {

namespace {
std::atomic<bool> g_renderSuppressed{false};
}  // namespace

void RenderingCache::SetRenderSuppressed(bool suppressed) { g_renderSuppressed = suppressed; }
bool RenderingCache::IsRenderSuppressed() { return g_renderSuppressed; }

void AlphaBlendCache::SetDepthScale(f32 scale) {
  depthScale_ = scale;
  depthStep_ = i32(std::lround(scale * parameters_.scaleFactor));
}

u32 AlphaBlendCache::GetBucket(f32 depth) const {
  const f32 range = parameters_.maxDepth - parameters_.minDepth;
  const f32 at = (depth * depthScale_ - parameters_.minDepth) / range * f32(maxBuckets_);
  if (!(at > 0.0f)) return 0;  // also NaN
  return at >= f32(maxBuckets_) ? maxBuckets_ - 1 : u32(at);
}

bool RenderingCacheManager::AddCache(RenderingCache* cache) {
  std::unique_ptr<RenderingCache> owned(cache);
  if (!owned || FindCache(owned->GetId())) return false;
  caches_.push_back(std::move(owned));
  // Higher priority renders later, so blended work follows the rest.
  std::stable_sort(caches_.begin(), caches_.end(), [](const auto& a, const auto& b) {
    return a->GetPriority() < b->GetPriority();
  });
  return true;
}

RenderingCache* RenderingCacheManager::FindCache(u32 id) const {
  for (const auto& cache : caches_) {
    if (cache->GetId() == id) return cache.get();
  }
  return nullptr;
}

void RenderingCacheManager::RenderAll(Display& display) {
  for (const auto& cache : caches_) cache->Render(display);
}

}  // namespace Qel
