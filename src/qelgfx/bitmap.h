// A decoded image: BMP, TGA, JPEG or PNG read into 8-bit RGBA rows, top row first.
#pragma once

#include <vector>

#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class Bitmap {
 public:
  // Larger images are refused before anything is decoded, so that a small hostile header cannot
  // ask for gigabytes.
  static constexpr u32 kMaxSide = 16384;
  static constexpr u64 kMaxPixels = u64(1) << 26;

  bool LoadFile(const char* path);
  bool LoadMemory(const void* data, u32 size);
  void Clear();

  u32 GetWidth() const { return width_; }
  u32 GetHeight() const { return height_; }
  // The channels the file held (1 to 4); the pixels are always RGBA.
  u32 GetSourceChannels() const { return channels_; }
  const u8* GetPixels() const { return pixels_.empty() ? nullptr : pixels_.data(); }
  bool HasAlpha() const { return channels_ == 2 || channels_ == 4; }
  const String& GetError() const { return error_; }

 private:
  u32 width_ = 0;
  u32 height_ = 0;
  u32 channels_ = 0;
  std::vector<u8> pixels_;
  String error_;
};

}  // namespace Qel
