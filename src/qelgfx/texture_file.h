// The compiled texture file ".texture": the QIRF container with body tag "MMTF", whose body is
// one "TINF" chunk and then one "TMIP" chunk per image and mip level, image by image, largest
// level first. Every chunk is a tag, a u32 count of the bytes after it and a u32 version (100).
//
//   TINF  u32 width, height, format, image count, mip count, flags (bit 0: the format keeps alpha)
//   TMIP  u32 level, width, height, byte count, then the bytes
//
// Formats: 1 uncompressed with alpha and 3 without (both little-endian u32 0xAARRGGBB pixels, rows
// packed, top row first), 10 DXT1, 11 DXT3 and 12 DXT5 (the blocks as the compressor wrote them).
// Level n is max(1, width >> n) by max(1, height >> n).
#pragma once

#include <vector>

#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class File;

enum TextureFileFormat : u32 {
  kTextureARGB = 1,
  kTextureRGB = 3,
  kTextureDXT1 = 10,
  kTextureDXT3 = 11,
  kTextureDXT5 = 12,
};

inline constexpr u32 kTextureChunkVersion = 100;
// The body tag as the container header takes it: "MMTF" on disk.
inline constexpr u32 kTextureBodyTag = 0x46544D4D;
inline constexpr u32 kTextureFlagAlpha = 1;
inline constexpr u32 kMaxTextureImages = 6;
inline constexpr u32 kMaxTextureMips = 15;

struct TextureFileInfo {
  u32 width = 0;
  u32 height = 0;
  u32 format = 0;
  u32 imageCount = 0;
  u32 mipCount = 0;
  u32 flags = 0;
};

struct TextureFileMip {
  u32 level = 0;
  u32 width = 0;
  u32 height = 0;
  const u8* bytes = nullptr;  // into the memory the file was read from
  u32 byteCount = 0;
};

// The side of a level: max(1, side >> level).
u32 MipSide(u32 side, u32 level);
// The levels of a full chain down to 1 x 1: floor(log2(max(width, height))) + 1.
u32 FullMipCount(u32 width, u32 height);
// The bytes one level of that size takes in a file format; 0 for a format the file does not hold.
u32 TextureMipBytes(u32 format, u32 width, u32 height);
const char* TextureFormatName(u32 format);

// The body: TINF, then TMIP chunks appended one by one. False when a write came up short.
bool WriteTextureInfo(File& file, const TextureFileInfo& info);
bool WriteTextureMip(File& file, u32 level, u32 width, u32 height, const void* bytes, u32 count);

// Reads a whole ".texture" file held in memory. Every size, count and level is checked against
// TINF; false with the reason and its offset in `error` at the first fault.
bool ReadTextureFile(const u8* data, u32 size, TextureFileInfo& info,
                     std::vector<TextureFileMip>& mips, String& error);

}  // namespace Qel
