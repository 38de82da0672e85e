// A pixel store of 32-bit 0xAARRGGBB words (bytes B, G, R, A in memory), rows packed, top row
// first: what script images and the glyph atlas draw on. Sizes are capped before anything is
// allocated, so that a script cannot ask for gigabytes.
#pragma once

#include <vector>

#include "qel/types.h"
#include "qelgfx/bitmap_draw.h"

namespace Qel {

class ArgbBitmap {
 public:
  static constexpr u32 kMaxSide = 16384;
  static constexpr u64 kMaxBytes = u64(256) << 20;

  // True when a width x height image may be made (both at least 1, within the caps).
  static bool IsAllowedSize(i64 width, i64 height);

  // A transparent black image of that size; false, and empty, for a refused size.
  bool Create(i64 width, i64 height);
  // Decodes an image file (BMP, TGA, JPEG, PNG); false, and empty, when it cannot.
  bool LoadFile(const char* path);
  // Writes the pixels as a PNG; false when empty or the file cannot be written.
  bool SavePng(const char* path) const;
  void Reset();

  i32 GetWidth() const { return width_; }
  i32 GetHeight() const { return height_; }
  bool IsEmpty() const { return pixels_.empty(); }
  u32 GetPixel(i32 x, i32 y) const { return pixels_[size_t(y) * size_t(width_) + size_t(x)]; }
  Surface GetSurface() { return Surface{pixels_.data(), width_, height_}; }
  ConstSurface GetConstSurface() const { return ConstSurface{pixels_.data(), width_, height_}; }

 private:
  i32 width_ = 0;
  i32 height_ = 0;
  std::vector<u32> pixels_;
};

}  // namespace Qel
