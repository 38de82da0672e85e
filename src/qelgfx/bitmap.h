// An image in one of the engine's pixel layouts. Files (BMP, TGA, JPEG, PNG) decode into format 2.
//
//   1  8-bit grey, one byte a pixel
//   2  32-bit 0xAARRGGBB words in memory order (bytes B, G, R, A)
//   3  24-bit B, G, R
//   5  8-bit alpha, one byte a pixel; a block made by CreateBlock holds compressed bytes instead
//
// Rows are packed (the pitch is the width times the bytes a pixel) and top row first. The pixel
// block may be shared with another bitmap (an alias) until DetachAlias gives it one of its own.
// Format 2 is also what script images and the glyph atlas draw on, through its surface.
#pragma once

#include <memory>
#include <vector>

#include "qel/string.h"
#include "qel/types.h"
#include "qelgfx/bitmap_draw.h"

namespace Qel {

class Bitmap {
 public:
  enum Format : u32 { kNone = 0, kGrey = 1, kARGB = 2, kRGB = 3, kAlpha = 5 };

  // Larger images are refused before anything is decoded or allocated, so that a small hostile
  // header cannot ask for gigabytes.
  static constexpr u32 kMaxSide = 16384;
  static constexpr u64 kMaxPixels = u64(1) << 26;
  static constexpr u64 kMaxBytes = u64(256) << 20;

  // True when a width x height image of that format may be made (within the caps above).
  static bool IsAllowedSize(i64 width, i64 height, u32 format);

  Bitmap() = default;
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  bool LoadFile(const char* path);
  bool LoadMemory(const void* data, u32 size);
  // Writes format 2 pixels as a PNG; false for another format, no pixels, or a failed write.
  bool SavePng(const char* path) const;
  void Clear();

  // A zeroed image of that size and format; false (and empty) for a size or format it refuses.
  bool Create(u32 width, u32 height, u32 format);
  // An opaque block of `bytes` bytes standing for a width x height image (format 5, pitch 0).
  bool CreateBlock(u32 width, u32 height, u32 bytes);
  // Converts the source's pixels into this bitmap's format; both must have the same size and an
  // uncompressed format. Grey is the weighted sum of red, green and blue; grey and alpha widen
  // to opaque grey or white with that alpha; a missing alpha reads as 255.
  bool CopyImage(const Bitmap& source);
  // A new bitmap of the given size and this format, each pixel the average of the source pixels
  // it covers (box filter); the same size shares this bitmap's block. Null when refused.
  Bitmap* Scale(u32 width, u32 height) const;
  // Gives a bitmap that shares its block a private copy.
  void DetachAlias();
  bool IsAlias() const { return block_ && block_.use_count() > 1; }
  bool IsBlock() const { return isBlock_; }

  u32 GetWidth() const { return width_; }
  u32 GetHeight() const { return height_; }
  u32 GetFormat() const { return format_; }
  u32 GetPitch() const { return pitch_; }
  // The bytes of the pixel block.
  u32 GetByteCount() const { return block_ ? u32(block_->size()) : 0; }
  // The channels the file held (1 to 4).
  u32 GetSourceChannels() const { return channels_; }
  const u8* GetPixels() const { return block_ && !block_->empty() ? block_->data() : nullptr; }
  // Detaches first, so that writing never changes an alias.
  u8* GetMutablePixels();
  bool IsEmpty() const { return GetPixels() == nullptr; }
  // Format 2 pixels as 0xAARRGGBB words; an empty surface for another format or no pixels. The
  // writable one detaches an alias first.
  Surface GetSurface();
  ConstSurface GetConstSurface() const;
  // The 0xAARRGGBB word at (x, y) of a format 2 image; both must lie inside it.
  u32 GetPixel(u32 x, u32 y) const { return GetConstSurface().pixels[size_t(y) * width_ + x]; }
  bool HasAlpha() const { return channels_ == 2 || channels_ == 4; }
  const String& GetError() const { return error_; }

  static u32 BytesPerPixel(u32 format);

 private:
  bool Allocate(u32 width, u32 height, u32 format, u64 bytes);

  u32 width_ = 0;
  u32 height_ = 0;
  u32 format_ = kNone;
  u32 pitch_ = 0;
  u32 channels_ = 0;
  bool isBlock_ = false;
  std::shared_ptr<std::vector<u8>> block_;
  String error_;
};

}  // namespace Qel
