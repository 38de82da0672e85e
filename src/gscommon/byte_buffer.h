// A growable byte buffer with a read/write position, used to build and to read library images.
// Words are stored little-endian. A buffer that once fails to grow sets kOutOfStorage and skips
// every later write, so a writer may check the flag once at the end.
#pragma once

#include <cstring>

#include "qel/types.h"

namespace Utils {

class ByteBuffer {
 public:
  // Flag bits.
  static constexpr u32 kOutOfStorage = 0x1;  // a growth failed; later writes are skipped
  static constexpr u32 kBadPosition = 0x2;   // a seek or read went past the written size

  // Allocates `growthStep` bytes of storage; the capacity grows by at least that step beyond each
  // need.
  explicit ByteBuffer(u32 growthStep = 1024);
  ~ByteBuffer();
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  // A moved-from buffer has no storage: its writes only set kOutOfStorage.
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;

  // Makes room for `n` bytes (reallocating when n is at least the capacity, to n plus the larger
  // of the growth step and the old capacity) and raises the size to n. Without storage, or when the
  // allocation fails, sets kOutOfStorage and keeps the old storage and size. Returns false when
  // kOutOfStorage is set afterwards.
  bool Grow(u32 n);

  // Writes at the position and advances it; skipped entirely when kOutOfStorage is (or becomes)
  // set. Return false when the bytes were not written.
  bool Write(const void* data, u32 length) {
    // Most writes fit the storage: they need no growth and no call.
    if (!(flags_ & kOutOfStorage) && u64(position_) + length < capacity_) {
      if (length != 0) std::memcpy(data_ + position_, data, length);
      position_ += length;
      if (position_ > size_) size_ = position_;
      return true;
    }
    return WriteGrowing(data, length);
  }
  bool WriteU8(u8 value) { return Write(&value, 1); }
  bool WriteU16(u16 value) {
    const u8 bytes[2] = {u8(value), u8(value >> 8)};
    return Write(bytes, 2);
  }
  bool WriteU32(u32 value) {
    const u8 bytes[4] = {u8(value), u8(value >> 8), u8(value >> 16), u8(value >> 24)};
    return Write(bytes, 4);
  }
  bool WriteI32(i32 value) { return WriteU32(static_cast<u32>(value)); }
  bool WriteF32(f32 value);

  // Reads at the position and advances it. Fewer bytes left than asked sets kBadPosition and
  // leaves the position and the destination unchanged.
  bool Read(void* data, u32 length);
  bool ReadU8(u8* value);
  bool ReadU16(u16* value);
  bool ReadU32(u32* value);
  bool ReadI32(i32* value);
  bool ReadF32(f32* value);

  // Moves the position; a position beyond the size sets kBadPosition and keeps the old one.
  bool SetPosition(u32 position);

  u32 Flags() const { return flags_; }
  bool OutOfStorage() const { return (flags_ & kOutOfStorage) != 0; }
  u32 GrowthStep() const { return growthStep_; }
  u32 Position() const { return position_; }
  u32 Size() const { return size_; }
  u32 Capacity() const { return capacity_; }
  // The 4-aligned storage (null without storage); Size() bytes of it are valid.
  u8* Data() { return data_; }
  const u8* Data() const { return data_; }

 private:
  void Release();
  bool WriteGrowing(const void* data, u32 length);

  u32 flags_ = 0;
  u32 growthStep_ = 0;
  u32 position_ = 0;
  u32 size_ = 0;
  u32 capacity_ = 0;
  u8* data_ = nullptr;
  void* raw_ = nullptr;
};

}  // namespace Utils
