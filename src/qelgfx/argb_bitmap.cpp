#include "qelgfx/argb_bitmap.h"

#include <new>

#include "qelgfx/bitmap.h"

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wdouble-promotion"
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

namespace Qel {

bool ArgbBitmap::IsAllowedSize(i64 width, i64 height) {
  return width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide &&
         u64(width) * u64(height) * 4 <= kMaxBytes;
}

void ArgbBitmap::Reset() {
  width_ = height_ = 0;
  pixels_.clear();
  pixels_.shrink_to_fit();
}

bool ArgbBitmap::Create(i64 width, i64 height) {
  Reset();
  if (!IsAllowedSize(width, height)) return false;
  try {
    pixels_.assign(size_t(width) * size_t(height), 0u);
  } catch (const std::bad_alloc&) {
    return false;
  }
  width_ = i32(width);
  height_ = i32(height);
  return true;
}

bool ArgbBitmap::LoadFile(const char* path) {
  Reset();
  Bitmap decoded;
  if (!decoded.LoadFile(path) || !Create(decoded.GetWidth(), decoded.GetHeight())) return false;
  // Decoded images are format 2: bytes B, G, R, A, one 0xAARRGGBB word a pixel.
  const u8* bgra = decoded.GetPixels();
  for (u32& pixel : pixels_) {
    pixel = u32(bgra[3]) << 24 | u32(bgra[2]) << 16 | u32(bgra[1]) << 8 | u32(bgra[0]);
    bgra += 4;
  }
  return true;
}

bool ArgbBitmap::SavePng(const char* path) const {
  if (IsEmpty()) return false;
  std::vector<u8> rgba(pixels_.size() * 4);
  u8* out = rgba.data();
  for (const u32 pixel : pixels_) {
    out[0] = u8(pixel >> 16);
    out[1] = u8(pixel >> 8);
    out[2] = u8(pixel);
    out[3] = u8(pixel >> 24);
    out += 4;
  }
  return stbi_write_png(path, width_, height_, 4, rgba.data(), width_ * 4) != 0;
}

}  // namespace Qel
