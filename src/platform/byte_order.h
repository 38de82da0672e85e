// Little-endian loads and stores: every file format and wire frame of the system is
// little-endian, whatever the host's order. Byte-wise so unaligned addresses are fine; the
// compiler folds each into one move on a little-endian host.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

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

// Width-generic forms for code templated on an unsigned integer type.
template <typename T>
T LoadLE(const void* at) {
  static_assert(std::is_unsigned_v<T> && sizeof(T) <= 8);
  if constexpr (sizeof(T) == 1) return *static_cast<const std::uint8_t*>(at);
  if constexpr (sizeof(T) == 2) return LoadLE16(at);
  if constexpr (sizeof(T) == 4) return LoadLE32(at);
  if constexpr (sizeof(T) == 8) return LoadLE64(at);
}

template <typename T>
void StoreLE(void* at, T value) {
  static_assert(std::is_unsigned_v<T> && sizeof(T) <= 8);
  if constexpr (sizeof(T) == 1) *static_cast<std::uint8_t*>(at) = value;
  if constexpr (sizeof(T) == 2) StoreLE16(at, value);
  if constexpr (sizeof(T) == 4) StoreLE32(at, value);
  if constexpr (sizeof(T) == 8) StoreLE64(at, value);
}

// Appends the little-endian bytes of `value` to a byte container (std::string,
// std::vector<std::uint8_t>), as writers of hand-made frames and files do.
template <typename T, typename Bytes>
void AppendLE(Bytes& out, T value) {
  const auto at = out.size();
  out.resize(at + sizeof(T));
  StoreLE<T>(out.data() + at, value);
}

template <typename Bytes>
void AppendLE16(Bytes& out, std::uint16_t value) {
  AppendLE(out, value);
}

template <typename Bytes>
void AppendLE32(Bytes& out, std::uint32_t value) {
  AppendLE(out, value);
}

template <typename Bytes>
void AppendLE64(Bytes& out, std::uint64_t value) {
  AppendLE(out, value);
}

}  // namespace ByteOrder
