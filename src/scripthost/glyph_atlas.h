// The process's glyph atlas: rendered characters packed in rows into one 512 x 512 texture kept
// in memory, each with a one-pixel border that repeats its edge, so that text can be drawn as
// textured quads. Keys are 64-bit (a font's serial number and a character code), so that no two
// fonts' glyphs ever share one.
#pragma once

#include <map>

#include "qel/types.h"
#include "qelgfx/bitmap.h"

namespace ScriptHost {

struct AtlasRegion {
  float x = 0.0f;  // texture coordinates of the top-left texel
  float y = 0.0f;
  float width = 0.0f;
  float height = 0.0f;
};

class GlyphAtlas {
 public:
  static constexpr i32 kSize = 512;

  static GlyphAtlas& Get();

  // Whether a glyph of that size can ever be placed (with its border): asked before rendering.
  static bool Fits(i64 width, i64 height) {
    return width >= 1 && height >= 1 && width + 2 <= kSize && height + 2 <= kSize;
  }

  // Places the glyph. False when it does not fit, or when the atlas is full and a glyph has been
  // used since the last batch end (the atlas is then kept as it is).
  bool Insert(const Qel::Bitmap& glyph, u64 key);
  // Marks the glyph and the atlas used and gives its region; false (zeros) when absent.
  bool Lookup(u64 key, AtlasRegion* out);
  void EndBatch();
  // Drops every placement; the texture keeps its pixels until they are drawn over.
  void Reset();
  // Drops every placement and the texture.
  void Shutdown();

  bool HasTexture() const { return !texture_.IsEmpty(); }
  const Qel::Bitmap& Texture() const { return texture_; }
  size_t Count() const { return placements_.size(); }

 private:
  struct Placement {
    i32 x0 = 0;
    i32 y0 = 0;
    i32 x1 = 0;
    i32 y1 = 0;
    bool used = false;
  };

  Qel::Bitmap texture_;
  i32 x_ = 0;
  i32 y_ = 0;
  i32 rowHeight_ = 0;
  bool used_ = false;
  std::map<u64, Placement> placements_;
};

}  // namespace ScriptHost
