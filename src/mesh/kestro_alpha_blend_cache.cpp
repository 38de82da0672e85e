#include "mesh/kestro_alpha_blend_cache.h"

#include <cstdlib>

#include "qelgfx/geometry_chunk.h"

namespace Qel {

struct KestroAlphaBlendCache::DrawRecord {
  ChunkDraw draw;
  Material* material = nullptr;
  std::vector<u16> sortedIndices;  // empty: drawn in the chunk's own order
  u32 primitiveCount = 0;
  f32 midDistance = 0.0f;
};

// Records are carved from fixed blocks; a frame that needs more chains another block instead of
// running off the end of the first. Blocks stay for later frames.
class KestroAlphaBlendCache::RecordPool {
 public:
  static constexpr size_t kRecordsPerBlock = kPoolBlockBytes / sizeof(DrawRecord);

  DrawRecord* Take() {
    if (!free_.empty()) {
      DrawRecord* record = free_.back();
      free_.pop_back();
      return record;
    }
    if (used_ == kRecordsPerBlock) {
      ++block_;
      used_ = 0;
    }
    if (block_ == blocks_.size()) {
      blocks_.push_back(std::make_unique<DrawRecord[]>(kRecordsPerBlock));
    }
    return &blocks_[block_][used_++];
  }
  void Give(DrawRecord* record) {
    std::vector<u16>().swap(record->sortedIndices);
    free_.push_back(record);
  }
  // Every record is free again; only while none is queued.
  void Reset() {
    block_ = used_ = 0;
    free_.clear();
  }
  u32 GetBlockCount() const { return u32(blocks_.size()); }

 private:
  std::vector<std::unique_ptr<DrawRecord[]>> blocks_;
  size_t block_ = 0;
  size_t used_ = 0;
  std::vector<DrawRecord*> free_;
};

int KestroAlphaBlendCache::CompareFarFirst(const void* a, const void* b) {
  const f32 da = static_cast<const DepthEntry*>(a)->distanceSquared;
  const f32 db = static_cast<const DepthEntry*>(b)->distanceSquared;
  return da < db ? 1 : (da > db ? -1 : 0);
}

KestroAlphaBlendCache::KestroAlphaBlendCache()
    : AlphaBlendCache("KestroAlphaBlendCache", 60.0f),
      pool_(std::make_unique<RecordPool>()),
      buckets_(kBucketCount) {
  SetMaxBuckets(kBucketCount);
  RecalculateBucketParametrs({1000.0f, 0.2f, 250.0f, 350.00003f, 50.0f, true});
}

KestroAlphaBlendCache::~KestroAlphaBlendCache() = default;

KestroAlphaBlendCache::CompareFunction KestroAlphaBlendCache::GetCompareFunction() {
  return CompareFarFirst;
}

u32 KestroAlphaBlendCache::GetPoolBlockCount() const { return pool_->GetBlockCount(); }

void KestroAlphaBlendCache::EmptyBucket(std::vector<DrawRecord*>& bucket) {
  for (DrawRecord* record : bucket) pool_->Give(record);
  bucket.clear();
}

void KestroAlphaBlendCache::Reset() {
  for (u32 i = 0; i < kBucketCount; ++i) EmptyBucket(buckets_[level_ + i]);
}

bool KestroAlphaBlendCache::IsEmpty() const {
  for (u32 i = kBucketCount; i-- > 0;) {
    if (!buckets_[level_ + i].empty()) return false;
  }
  return true;
}

void KestroAlphaBlendCache::Enter(bool nested) {
  if (!nested) return;
  level_ += kBucketCount;
  if (level_ == buckets_.size()) buckets_.resize(buckets_.size() + kBucketCount);
  Reset();
}

void KestroAlphaBlendCache::Leave(bool nested, Display& display) {
  // A Leave without its Enter would step below the first level's buckets.
  if (!nested || level_ == 0) return;
  Render(display);
  level_ -= kBucketCount;
}

void KestroAlphaBlendCache::BeginBlendedState(Display& display) {
  display.SetAlphaTestMode(false);
  display.SetAlphaBlendMode(true);
  display.SetDepthWriteMode(false);
}

void KestroAlphaBlendCache::RestoreState(Display& display) {
  display.SetAlphaBlendFunction(1, 0);
  display.SetAlphaBlendMode(false);
  display.SetAlphaTestMode(false);
  display.SetDepthWriteMode(true);
}

void KestroAlphaBlendCache::AddDraw(const ChunkDraw& draw, Material* material, f32 depth,
                                    const Vector3& eye) {
  if (IsRenderSuppressed() || !draw.chunk || !material) return;
  const u32 bucket = GetBucket(depth);
  DrawRecord* record = pool_->Take();
  record->draw = draw;
  record->material = material;
  record->midDistance = 0.0f;
  record->primitiveCount = 0;
  if (bucket < kSortedBucketLimit) SortTriangles(*record, eye);
  buckets_[level_ + bucket].push_back(record);
}

void KestroAlphaBlendCache::SortTriangles(DrawRecord& record, const Vector3& eye) {
  GeometryChunk& chunk = *record.draw.chunk;
  const u16* indices = chunk.GetIndexArray();
  const u32 indexCount = chunk.GetMaxIndices();
  const u32 kind = chunk.GetPrimitive();  // 0 list, 1 strip, 2 fan
  const VertexItemPtr positions = chunk.GetItem(kItemPosition);
  if (!indices || !positions.IsValid() || kind > 2 || indexCount < 3) return;
  const u32 triangles = kind == 0 ? indexCount / 3 : indexCount - 2;
  auto corner = [&](u32 f, u32 k) -> u16 {
    if (kind == 0) return indices[3 * f + k];
    if (kind == 2) return k == 0 ? indices[0] : indices[f + k];
    return (f & 1) && k > 0 ? indices[f + 3 - k] : indices[f + k];  // odd strip faces turn back
  };
  scratch_.resize(triangles);
  for (u32 f = 0; f < triangles; ++f) {
    Vector3 centroid;
    for (u32 k = 0; k < 3; ++k) {
      const u16 vertex = corner(f, k);
      // A damaged chunk keeps its own order rather than read past its vertices.
      if (vertex >= chunk.GetVertexCount()) return;
      centroid += positions.Get<Vector3>(vertex);
    }
    scratch_[f] = {f, (eye - centroid * (1.0f / 3.0f)).LengthSquared()};
  }
  std::qsort(scratch_.data(), triangles, sizeof(DepthEntry), CompareFarFirst);
  record.midDistance = (scratch_.front().distanceSquared + scratch_.back().distanceSquared) / 2;
  record.sortedIndices.resize(size_t(triangles) * 3);
  for (u32 t = 0; t < triangles; ++t) {
    for (u32 k = 0; k < 3; ++k) record.sortedIndices[3 * t + k] = corner(scratch_[t].primitive, k);
  }
  record.primitiveCount = triangles;
}

void KestroAlphaBlendCache::Render(Display& display) {
  if (IsRenderSuppressed()) return;
  BeginBlendedState(display);
  for (u32 i = kBucketCount; i-- > 0;) {
    std::vector<DrawRecord*>& bucket = buckets_[level_ + i];
    for (DrawRecord* record : bucket) {
      display.SetAlphaBlendFunction(4, 5);
      if (record->sortedIndices.empty()) {
        record->material->RenderChunk(display, view_, record->draw);
      } else {
        // The sorted order is a list of triangles, whatever the chunk's own primitive.
        const PrimitiveRange range{record->sortedIndices.data(), record->primitiveCount, 0};
        record->material->RenderPrimitives(display, view_, record->draw, range);
      }
    }
    EmptyBucket(bucket);
  }
  // Outer levels may still hold records from the pool.
  if (level_ == 0) pool_->Reset();
  RestoreState(display);
}

}  // namespace Qel
