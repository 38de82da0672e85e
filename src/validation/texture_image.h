// The image check of texture validation: whether an image file decodes, and its size. The pixels
// are decoded in the file's own layout and dropped at once; nothing is converted or kept.
#pragma once

#include "qel/types.h"

namespace TETLib {

struct ImageSize {
  u32 width = 0;
  u32 height = 0;
};

// Limits of an image the check will decode, as for every bitmap of the engine: a larger one is
// refused before anything is decoded, so that a small hostile header cannot ask for gigabytes.
inline constexpr u32 kMaxImageSide = 16384;
inline constexpr u64 kMaxImagePixels = u64(1) << 26;
inline constexpr u64 kMaxImageFileBytes = u64(256) << 20;

// True when the file (resolved like every engine path) is a regular file of at most
// kMaxImageFileBytes holding a BMP, TGA, JPEG or PNG image within the limits that decodes whole.
bool DecodeImageFile(const char* path, ImageSize& size);

}  // namespace TETLib
