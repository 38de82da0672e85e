// Little-endian loads and stores: every file format and wire frame of the system is
// little-endian, whatever the host's order. Byte-wise so unaligned addresses are fine; the
// compiler folds each into one move on a little-endian host.
#pragma once

#include <cstdint>
#include <cstring>

namespace ByteOrder {

inline std::uint16_t LoadLE16(const void* at) {
  const auto* p = static_cast<const std::uint8_t*>(at);
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t LoadLE32(const void* at) {
  const auto* p = static_cast<const std::uint8_t*>(at);
  return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
         (std::uint32_t(p[3]) << 24);
}

inline std::uint64_t LoadLE64(const void* at) {
  const auto* p = static_cast<const std::uint8_t*>(at);
  return std::uint64_t(LoadLE32(p)) | (std::uint64_t(LoadLE32(p + 4)) << 32);
}

inline float LoadLEF32(const void* at) {
  const std::uint32_t bits = LoadLE32(at);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

inline void StoreLE16(void* at, std::uint16_t value) {
  auto* p = static_cast<std::uint8_t*>(at);
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void StoreLE32(void* at, std::uint32_t value) {
  auto* p = static_cast<std::uint8_t*>(at);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline void StoreLE64(void* at, std::uint64_t value) {
  auto* p = static_cast<std::uint8_t*>(at);
  StoreLE32(p, static_cast<std::uint32_t>(value));
  StoreLE32(p + 4, static_cast<std::uint32_t>(value >> 32));
}

inline void StoreLEF32(void* at, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  StoreLE32(at, bits);
}

}  // namespace ByteOrder
