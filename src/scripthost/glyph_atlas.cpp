#include "scripthost/glyph_atlas.h"

#include <algorithm>

namespace ScriptHost {

GlyphAtlas& GlyphAtlas::Get() {
  static GlyphAtlas atlas;
  return atlas;
}

bool GlyphAtlas::Insert(const Qel::Bitmap& glyph, u64 key) {
  const Qel::ConstSurface source = glyph.GetConstSurface();
  const i32 w = source.width;
  const i32 h = source.height;
  if (source.pixels == nullptr || !Fits(w, h)) return false;
  if (texture_.IsEmpty() && !texture_.Create(kSize, kSize, Qel::Bitmap::kARGB)) return false;
  if (x_ + w + 2 > kSize || y_ + h + 2 > kSize) {
    const i32 nextRow = y_ + rowHeight_;
    if (nextRow + h + 2 > kSize) {
      if (used_) return false;
      Reset();
    } else {
      y_ = nextRow;
      x_ = 0;
      rowHeight_ = 0;
    }
  }
  // The border repeats the nearest glyph pixel, so that filtering at the glyph's edge never
  // reads a neighbour's texels.
  Qel::Surface target = texture_.GetSurface();
  for (i32 py = 0; py < h + 2; ++py) {
    const i32 sy = std::clamp(py - 1, 0, h - 1);
    u32* row = target.pixels + size_t(y_ + py) * kSize + size_t(x_);
    const u32* from = source.pixels + size_t(sy) * size_t(w);
    for (i32 px = 0; px < w + 2; ++px) row[px] = from[std::clamp(px - 1, 0, w - 1)];
  }
  placements_[key] = Placement{x_ + 1, y_ + 1, x_ + 1 + w, y_ + 1 + h, false};
  x_ += w + 2;
  rowHeight_ = std::max(rowHeight_, h + 2);
  return true;
}

bool GlyphAtlas::Lookup(u64 key, AtlasRegion* out) {
  *out = AtlasRegion();
  const auto found = placements_.find(key);
  if (found == placements_.end()) return false;
  Placement& placement = found->second;
  placement.used = true;
  used_ = true;
  constexpr float kTexel = 1.0f / float(kSize);
  out->x = float(placement.x0) * kTexel;
  out->y = float(placement.y0) * kTexel;
  out->width = float(placement.x1 - placement.x0) * kTexel;
  out->height = float(placement.y1 - placement.y0) * kTexel;
  return true;
}

void GlyphAtlas::EndBatch() {
  if (!used_) return;
  used_ = false;
  for (auto& entry : placements_) entry.second.used = false;
}

void GlyphAtlas::Reset() {
  placements_.clear();
  x_ = y_ = rowHeight_ = 0;
  used_ = false;
}

void GlyphAtlas::Shutdown() {
  Reset();
  texture_.Clear();
}

}  // namespace ScriptHost
