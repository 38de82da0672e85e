// The image decoder the engine reads textures and images with, configured once: BMP, TGA, JPEG
// and PNG from memory only, every function private to the file that includes this header.
#pragma once

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

#include <cstddef>
#include <cstdint>
#include <cstring>

// The decoder reads zeros where a TGA image ends early, and allocates the whole image before it
// reads a pixel: a header alone, claiming 8192 x 8191 pixels, would take half a gigabyte and pass
// for a black image. False when the `size` bytes at `bytes`, which the decoder took for an image,
// are a TGA image shorter than its header says: fewer pixel bytes, or run-length packets that
// end before the last pixel, follow the header, its identifier and its colour map. Reads no more
// than the packet heads. True for the other formats, whose decoders refuse data cut short.
inline bool ImageHoldsItsPixels(const stbi_uc* bytes, size_t size) {
  static const stbi_uc png[] = {0x89, 'P', 'N', 'G'};
  if (size >= 4 && std::memcmp(bytes, png, 4) == 0) return true;
  if (size >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xD8) || (bytes[0] == 'B' && bytes[1] == 'M')))
    return true;
  constexpr size_t kHeader = 18;
  if (size < kHeader) return false;
  const auto word = [&](size_t at) { return uint64_t(bytes[at]) | uint64_t(bytes[at + 1]) << 8; };
  const uint64_t colourMap = bytes[1] != 0 ? word(5) * ((uint64_t(bytes[7]) + 7) / 8) : 0;
  uint64_t at = kHeader + bytes[0] + colourMap;
  uint64_t pixels = word(12) * word(14);
  const uint64_t pixelBytes = (uint64_t(bytes[16]) + 7) / 8;
  if (bytes[2] < 8) return at + pixels * pixelBytes <= size;
  // A packet's head: its high bit set, one pixel repeated; clear, that many pixels as they are.
  while (pixels > 0) {
    if (at >= size) return false;
    const uint64_t head = bytes[at++];
    const uint64_t count = (head & 0x7F) + 1;
    at += head & 0x80 ? pixelBytes : count * pixelBytes;
    pixels -= count < pixels ? count : pixels;
  }
  return at <= size;
}
