// Image files made in memory for the texture tests: uncompressed TGA, top row first, with or
// without an alpha channel.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace test_images {

struct Rgba {
  uint8_t r, g, b, a;
};

// A gradient by default; `pixel` gives each pixel otherwise.
inline std::string Tga(uint32_t width, uint32_t height, bool alpha,
                       const std::function<Rgba(uint32_t, uint32_t)>& pixel = nullptr) {
  std::string out(18, '\0');
  out[2] = 2;  // uncompressed true colour
  out[12] = char(width & 0xFF);
  out[13] = char(width >> 8);
  out[14] = char(height & 0xFF);
  out[15] = char(height >> 8);
  out[16] = char(alpha ? 32 : 24);
  out[17] = char(0x20 | (alpha ? 8 : 0));  // top row first
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const Rgba p = pixel ? pixel(x, y)
                           : Rgba{uint8_t(x * 255 / (width > 1 ? width - 1 : 1)),
                                  uint8_t(y * 255 / (height > 1 ? height - 1 : 1)), 96, 255};
      out += char(p.b);
      out += char(p.g);
      out += char(p.r);
      if (alpha) out += char(p.a);
    }
  }
  return out;
}

// A TGA header that claims 8192 x 8191 pixels of 32 bits, and one byte of them: stored as they
// are (type 2) or in run-length packets (type 10).
inline std::string ClaimingTga(char type = 2) {
  std::string out(19, '\0');
  out[2] = type;
  return out.replace(13, 4, "\x20\xFF\x1F\x20");
}

// A whole compiled texture ".texture" of one opaque white pixel, uncompressed.
inline std::string CompiledTexture() {
  auto u32le = [](uint32_t v) {
    return std::string{char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF),
                       char(v >> 24)};
  };
  std::string body = "MMTF";
  body += "TINF" + u32le(28) + u32le(100) + u32le(1) + u32le(1) + u32le(1) + u32le(1) +
          u32le(1) + u32le(1);
  body += "TMIP" + u32le(24) + u32le(100) + u32le(0) + u32le(1) + u32le(1) + u32le(4) +
          std::string(4, '\xFF');
  return "QIRF" + u32le(uint32_t(body.size())) + body;
}

}  // namespace test_images
