// Rendering caches collect draws that must wait (blended geometry after the opaque scene) and
// replay them at the engine's render points. The manager owns them and finds them by id, so all
// materials of a kernel share one cache of each kind.
#pragma once

#include <memory>
#include <vector>

#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class Display;
class GeometryChunk;
class Material;

class RenderingCache {
 public:
  RenderingCache(u32 id, const String& name, f32 priority)
      : id_(id), name_(name), priority_(priority) {}
  virtual ~RenderingCache() = default;
  RenderingCache(const RenderingCache&) = delete;
  RenderingCache& operator=(const RenderingCache&) = delete;

  u32 GetId() const { return id_; }
  const String& GetName() const { return name_; }
  f32 GetPriority() const { return priority_; }

  virtual void Reset() {}
  virtual void BeginFrame() {}
  virtual void Render(Display& /*display*/) {}
  virtual void Flush(Display& display) { Render(display); }
  virtual void Enter(bool /*nested*/) {}
  virtual void Leave(bool /*nested*/, Display& /*display*/) {}
  virtual bool IsEmpty() const { return true; }

  // The engine's global switch that holds all drawing back; caches neither draw nor touch the
  // display while it is set.
  static void SetRenderSuppressed(bool suppressed);
  static bool IsRenderSuppressed();

 private:
  u32 id_;
  String name_;
  f32 priority_;
};

// The base of the depth-sorted blend caches: maps a draw's depth onto buckets. With the depth
// range [minDepth, maxDepth] and n buckets, a depth d lands in
//   bucket = floor((d * depthScale - minDepth) / (maxDepth - minDepth) * n), clamped to 0..n-1,
// so bucket 0 is nearest. The near band ends at nearBand (depths below it are the ones worth
// sorting by triangle), the far band begins at farBand, and depthScale is the integer step of
// SetDepthScale (f x scaleFactor, rounded).
class AlphaBlendCache : public RenderingCache {
 public:
  // NOLINTNEXTLINE(readability-identifier-naming): the engine's name
  static constexpr u32 AlphaBlendCacheID = 0x41424331;

  struct BucketParameters {
    f32 maxDepth = 1000.0f;
    f32 minDepth = 0.2f;
    f32 scaleFactor = 250.0f;
    f32 farBand = 350.00003f;
    f32 nearBand = 50.0f;
    bool linear = true;
  };

  AlphaBlendCache(const String& name, f32 priority)
      : RenderingCache(AlphaBlendCacheID, name, priority) {}

  void SetMaxBuckets(u32 count) { maxBuckets_ = count ? count : 1; }
  u32 GetMaxBuckets() const { return maxBuckets_; }
  // The name keeps the engine's spelling.
  void RecalculateBucketParametrs(const BucketParameters& parameters) { parameters_ = parameters; }
  const BucketParameters& GetBucketParameters() const { return parameters_; }
  virtual void SetDepthScale(f32 scale);
  f32 GetDepthScale() const { return depthScale_; }
  i32 GetDepthStep() const { return depthStep_; }
  u32 GetBucket(f32 depth) const;

 private:
  BucketParameters parameters_;
  u32 maxBuckets_ = 200;
  f32 depthScale_ = 1.0f;
  i32 depthStep_ = 250;
};

class AlphaMaskCache : public RenderingCache {
 public:
  // NOLINTNEXTLINE(readability-identifier-naming): the engine's name
  static constexpr u32 AlphaMaskCacheID = 0x414D4331;
  AlphaMaskCache() : RenderingCache(AlphaMaskCacheID, "AlphaMaskCache", 50.0f) {}
};

class MaterialChunkCache : public RenderingCache {
 public:
  // NOLINTNEXTLINE(readability-identifier-naming): the engine's name
  static constexpr u32 MaterialChunkCacheID = 0x4D434331;
  MaterialChunkCache() : RenderingCache(MaterialChunkCacheID, "MaterialChunkCache", 10.0f) {}
};

class RenderingCacheManager {
 public:
  // Takes ownership; false (and the cache deleted) for null or an id already present.
  bool AddCache(RenderingCache* cache);
  RenderingCache* FindCache(u32 id) const;
  u32 GetCacheCount() const { return u32(caches_.size()); }
  void RenderAll(Display& display);

 private:
  std::vector<std::unique_ptr<RenderingCache>> caches_;
};

}  // namespace Qel
