#include "qelgfx/bitmap.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "qel/memory_file.h"
#include "qelgfx/stb_image_decoder.h"

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

namespace {

// Format 2 blocks are read as u32 words: the allocator's alignment is enough for them.
static_assert(__STDCPP_DEFAULT_NEW_ALIGNMENT__ >= alignof(u32));

bool WithinCaps(u64 width, u64 height, u64 bytes) {
  return width >= 1 && height >= 1 && width <= Bitmap::kMaxSide && height <= Bitmap::kMaxSide &&
         width * height <= Bitmap::kMaxPixels && bytes <= Bitmap::kMaxBytes;
}

// The pixel as B, G, R, A whatever the format.
void ReadPixel(const u8* at, u32 format, u8 out[4]) {
  switch (format) {
    case Bitmap::kGrey:
      out[0] = out[1] = out[2] = at[0];
      out[3] = 255;
      break;
    case Bitmap::kARGB:
      out[0] = at[0];
      out[1] = at[1];
      out[2] = at[2];
      out[3] = at[3];
      break;
    case Bitmap::kRGB:
      out[0] = at[0];
      out[1] = at[1];
      out[2] = at[2];
      out[3] = 255;
      break;
    default:  // alpha: white with that alpha
      out[0] = out[1] = out[2] = 255;
      out[3] = at[0];
      break;
  }
}

void WritePixel(u8* at, u32 format, const u8 in[4]) {
  switch (format) {
    case Bitmap::kGrey:
      at[0] = u8((u32(in[2]) * 77 + u32(in[1]) * 150 + u32(in[0]) * 29 + 128) >> 8);
      break;
    case Bitmap::kARGB:
      std::memcpy(at, in, 4);
      break;
    case Bitmap::kRGB:
      std::memcpy(at, in, 3);
      break;
    default:
      at[0] = in[3];
      break;
  }
}

}  // namespace

bool Bitmap::IsAllowedSize(i64 width, i64 height, u32 format) {
  const u32 bpp = BytesPerPixel(format);
  return bpp != 0 && width >= 1 && height >= 1 &&
         WithinCaps(u64(width), u64(height), u64(width) * u64(height) * bpp);
}

u32 Bitmap::BytesPerPixel(u32 format) {
  switch (format) {
    case kGrey:
    case kAlpha:
      return 1;
    case kARGB:
      return 4;
    case kRGB:
      return 3;
    default:
      return 0;
  }
}

void Bitmap::Clear() {
  width_ = height_ = channels_ = pitch_ = 0;
  format_ = kNone;
  isBlock_ = false;
  block_.reset();
  error_.Clear();
}

bool Bitmap::Allocate(u32 width, u32 height, u32 format, u64 bytes) {
  Clear();
  if (!WithinCaps(width, height, bytes)) {
    error_ = "is too large";
    return false;
  }
  // Within the caps a script may still ask for more than the process can have: that is a refusal
  // like any other, not the end of the process.
  try {
    block_ = std::make_shared<std::vector<u8>>(size_t(bytes), u8(0));
  } catch (const std::bad_alloc&) {
    error_ = "is too large for the memory left";
    return false;
  }
  width_ = width;
  height_ = height;
  format_ = format;
  return true;
}

bool Bitmap::Create(u32 width, u32 height, u32 format) {
  const u32 bpp = BytesPerPixel(format);
  if (bpp == 0) {
    Clear();
    error_ = "has no such format";
    return false;
  }
  if (!Allocate(width, height, format, u64(width) * height * bpp)) return false;
  pitch_ = width * bpp;
  channels_ = format == kARGB ? 4 : format == kRGB ? 3 : 1;
  return true;
}

bool Bitmap::CreateBlock(u32 width, u32 height, u32 bytes) {
  if (!Allocate(width, height, kAlpha, bytes)) return false;
  isBlock_ = true;
  return true;
}

u8* Bitmap::GetMutablePixels() {
  DetachAlias();
  return block_ && !block_->empty() ? block_->data() : nullptr;
}

Surface Bitmap::GetSurface() {
  u8* pixels = format_ == kARGB ? GetMutablePixels() : nullptr;
  if (pixels == nullptr) return Surface();
  return Surface{reinterpret_cast<u32*>(pixels), i32(width_), i32(height_)};
}

ConstSurface Bitmap::GetConstSurface() const {
  const u8* pixels = format_ == kARGB ? GetPixels() : nullptr;
  if (pixels == nullptr) return ConstSurface();
  return ConstSurface{reinterpret_cast<const u32*>(pixels), i32(width_), i32(height_)};
}

void Bitmap::DetachAlias() {
  if (IsAlias()) block_ = std::make_shared<std::vector<u8>>(*block_);
}

bool Bitmap::CopyImage(const Bitmap& source) {
  if (isBlock_ || source.isBlock_ || BytesPerPixel(format_) == 0 ||
      BytesPerPixel(source.format_) == 0 || source.width_ != width_ ||
      source.height_ != height_ || !source.GetPixels()) {
    return false;
  }
  const u32 from = BytesPerPixel(source.format_);
  const u32 to = BytesPerPixel(format_);
  const u8* in = source.GetPixels();
  u8* out = GetMutablePixels();
  u8 pixel[4];
  for (u32 y = 0; y < height_; ++y) {
    const u8* row = in + size_t(y) * source.pitch_;
    u8* target = out + size_t(y) * pitch_;
    for (u32 x = 0; x < width_; ++x) {
      ReadPixel(row + size_t(x) * from, source.format_, pixel);
      WritePixel(target + size_t(x) * to, format_, pixel);
    }
  }
  return true;
}

Bitmap* Bitmap::Scale(u32 width, u32 height) const {
  const u32 bpp = BytesPerPixel(format_);
  if (isBlock_ || bpp == 0 || !GetPixels()) return nullptr;
  auto* scaled = new Bitmap;
  if (width == width_ && height == height_) {
    scaled->width_ = width_;
    scaled->height_ = height_;
    scaled->format_ = format_;
    scaled->pitch_ = pitch_;
    scaled->channels_ = channels_;
    scaled->block_ = block_;
    return scaled;
  }
  if (!scaled->Create(width, height, format_)) {
    delete scaled;
    return nullptr;
  }
  scaled->channels_ = channels_;
  const u8* in = GetPixels();
  u8* out = scaled->GetMutablePixels();
  for (u32 y = 0; y < height; ++y) {
    const u32 y0 = u32(u64(y) * height_ / height);
    const u32 y1 = std::max(y0 + 1, u32(u64(y + 1) * height_ / height));
    for (u32 x = 0; x < width; ++x) {
      const u32 x0 = u32(u64(x) * width_ / width);
      const u32 x1 = std::max(x0 + 1, u32(u64(x + 1) * width_ / width));
      u64 sums[4] = {};
      for (u32 sy = y0; sy < y1; ++sy) {
        const u8* row = in + size_t(sy) * pitch_;
        for (u32 sx = x0; sx < x1; ++sx) {
          for (u32 c = 0; c < bpp; ++c) sums[c] += row[size_t(sx) * bpp + c];
        }
      }
      const u64 count = u64(y1 - y0) * (x1 - x0);
      u8* target = out + size_t(y) * scaled->pitch_ + size_t(x) * bpp;
      for (u32 c = 0; c < bpp; ++c) target[c] = u8((sums[c] + count / 2) / count);
    }
  }
  return scaled;
}

bool Bitmap::SavePng(const char* path) const {
  const u8* bgra = format_ == kARGB ? GetPixels() : nullptr;
  if (bgra == nullptr) return false;
  std::vector<u8> rgba(size_t(width_) * height_ * 4);
  for (size_t i = 0; i < rgba.size(); i += 4) {
    rgba[i + 0] = bgra[i + 2];
    rgba[i + 1] = bgra[i + 1];
    rgba[i + 2] = bgra[i + 0];
    rgba[i + 3] = bgra[i + 3];
  }
  return stbi_write_png(path, i32(width_), i32(height_), 4, rgba.data(), i32(width_) * 4) != 0;
}

bool Bitmap::LoadFile(const char* path) {
  MemoryFile memory;
  if (!memory.LoadFile(path)) {
    Clear();
    error_ = "cannot be read";
    return false;
  }
  return LoadMemory(memory.GetData(), memory.GetSize());
}

bool Bitmap::LoadMemory(const void* data, u32 size) {
  Clear();
  const auto* bytes = static_cast<const stbi_uc*>(data);
  int width = 0;
  int height = 0;
  int channels = 0;
  if (!data || !ReadImageHeader(bytes, size, &width, &height, &channels)) {
    error_ = "is not an image";
    return false;
  }
  // A BMP stored top-down names its height negative; the decoder turns it upright itself.
  if (height < 0 && height != std::numeric_limits<int>::min()) height = -height;
  if (width <= 0 || height <= 0 || u32(width) > kMaxSide || u32(height) > kMaxSide ||
      u64(width) * u64(height) > kMaxPixels) {
    error_ = "is too large";
    return false;
  }
  if (!ImageHoldsItsPixels(bytes, size)) {
    error_ = "is cut short: it holds fewer pixels than its header says";
    return false;
  }
  stbi_uc* decoded = stbi_load_from_memory(bytes, int(size), &width, &height, &channels, 4);
  if (!decoded) {
    error_ = stbi_failure_reason();
    return false;
  }
  if (!Create(u32(width), u32(height), kARGB)) {
    stbi_image_free(decoded);
    return false;
  }
  channels_ = u32(channels);
  // The decoder gives R, G, B, A; the engine keeps B, G, R, A.
  u8* out = block_->data();
  const size_t count = size_t(width_) * height_;
  for (size_t i = 0; i < count; ++i) {
    out[4 * i + 0] = decoded[4 * i + 2];
    out[4 * i + 1] = decoded[4 * i + 1];
    out[4 * i + 2] = decoded[4 * i + 0];
    out[4 * i + 3] = decoded[4 * i + 3];
  }
  stbi_image_free(decoded);
  return true;
}

}  // namespace Qel
