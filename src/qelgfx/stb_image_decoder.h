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

// The decoder reads zeros where a TGA or BMP image ends early, and allocates the whole image
// before it reads a pixel: a header alone, claiming 8192 x 8191 pixels, would take half a
// gigabyte and pass for a black image. False when the `size` bytes at `bytes`, which the decoder
// took for an image, are a TGA or an uncompressed BMP image shorter than its header says: fewer
// pixel bytes (for a BMP, up to the last pixel of its last row) than its header, identifier and
// colour map leave room for, or run-length packets that end before the last pixel. Reads no
// more than the headers and the packet heads. True for the other formats, whose decoders refuse
// data cut short, and for BMPs of a compression that the decoder refuses.
inline bool ImageHoldsItsPixels(const stbi_uc* bytes, size_t size) {
  // A byte past the end reads as zero, as the decoder reads it.
  const auto byte = [&](size_t at) -> uint64_t { return at < size ? bytes[at] : 0; };
  const auto word = [&](size_t at) { return byte(at) | byte(at + 1) << 8; };
  const auto dword = [&](size_t at) { return word(at) | word(at + 2) << 16; };
  static const stbi_uc png[] = {0x89, 'P', 'N', 'G'};
  if (size >= 4 && std::memcmp(bytes, png, 4) == 0) return true;
  if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8) return true;
  if (size >= 2 && bytes[0] == 'B' && bytes[1] == 'M') {
    if (size < 30) return false;
    const bool core = dword(14) == 12;  // the oldest header: 16-bit sides, no compression
    // The decoder takes the compression as a signed number and reads any negative one, like 0
    // and 3, as rows of pixels as they are; it refuses the positive others.
    const int64_t compression = int32_t(uint32_t(dword(30)));
    if (!core && compression > 0 && compression != 3) return true;
    const uint64_t width = core ? word(18) : dword(18);
    const uint64_t rawHeight = core ? word(20) : dword(22);
    // A top-down image names its height negative.
    const uint64_t height =
        !core && rawHeight >= 0x80000000u ? 0x100000000u - rawHeight : rawHeight;
    const uint64_t bits = width * word(core ? 24 : 28);
    if (height == 0) return true;
    return dword(10) + (height - 1) * ((bits + 31) / 32 * 4) + (bits + 7) / 8 <= size;
  }
  constexpr size_t kHeader = 18;
  if (size < kHeader) return false;
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

// The decoder builds each Huffman table of a JPEG from the 16 code counts that precede it, without
// checking that they name at most the 256 codes a table holds, and writes past the table when
// they name more; reading the header alone (stbi_info_from_memory) builds them too. False when a
// table of the `size` bytes at `bytes` names more, walked as the decoder walks the markers (a
// byte past the end reads as zero, as it does there). True for anything else.
inline bool JpegTablesFit(const stbi_uc* bytes, size_t size) {
  // Only a JPEG begins with a marker (fill bytes may come before its first).
  if (size < 2 || bytes[0] != 0xFF) return true;
  const auto at = [&](size_t i) -> uint64_t { return i < size ? bytes[i] : 0; };
  for (size_t i = 0; i + 1 < size;) {
    const stbi_uc marker = bytes[i + 1];
    // No segment: scan data, fill bytes, a stuffed zero, a restart marker or the image's start.
    if (bytes[i] != 0xFF || marker == 0xFF || marker == 0x00 ||
        (marker >= 0xD0 && marker <= 0xD8)) {
      ++i;
      continue;
    }
    const uint64_t length = at(i + 2) << 8 | at(i + 3);
    if (marker == 0xC4) {
      for (uint64_t table = i + 4, end = i + 2 + length; table < end;) {
        uint64_t codes = 0;
        for (uint64_t k = 1; k <= 16; ++k) codes += at(table + k);
        if (codes > 256) return false;
        table += 17 + codes;
      }
    }
    i += 2 + length;
  }
  return true;
}

// The image's sides and channels from its header, as stbi_info_from_memory tells them, for bytes
// that the decoder can read without harm; false for others, as for what is no image.
inline bool ReadImageHeader(const stbi_uc* bytes, size_t size, int* width, int* height,
                            int* channels) {
  return size <= 0x7FFFFFFFu && JpegTablesFit(bytes, size) &&
         stbi_info_from_memory(bytes, int(size), width, height, channels);
}
