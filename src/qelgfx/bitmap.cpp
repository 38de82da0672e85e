#include "qelgfx/bitmap.h"

#include <cstring>

#include "qel/memory_file.h"

#define STBI_NO_STDIO
#define STBI_ONLY_BMP
#define STBI_ONLY_TGA
#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

namespace Qel {

void Bitmap::Clear() {
  width_ = height_ = channels_ = 0;
  pixels_.clear();
  error_.Clear();
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
  if (!data || size > 0x7FFFFFFFu ||
      !stbi_info_from_memory(bytes, int(size), &width, &height, &channels)) {
    error_ = "is not an image";
    return false;
  }
  if (width <= 0 || height <= 0 || u32(width) > kMaxSide || u32(height) > kMaxSide ||
      u64(width) * u64(height) > kMaxPixels) {
    error_ = "is too large";
    return false;
  }
  stbi_uc* decoded = stbi_load_from_memory(bytes, int(size), &width, &height, &channels, 4);
  if (!decoded) {
    error_ = stbi_failure_reason();
    return false;
  }
  width_ = u32(width);
  height_ = u32(height);
  channels_ = u32(channels);
  pixels_.assign(decoded, decoded + size_t(width_) * height_ * 4);
  stbi_image_free(decoded);
  return true;
}

}  // namespace Qel
