#include "gscommon/byte_buffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/byte_order.h"

namespace Utils {

namespace {

// Storage of `capacity` bytes starting at a 4-aligned address inside `*raw`.
u8* AllocateAligned(u32 capacity, void** raw) {
  *raw = std::malloc(u64(capacity) + 3);
  if (*raw == nullptr) return nullptr;
  uintptr_t at = (reinterpret_cast<uintptr_t>(*raw) + 3) & ~uintptr_t(3);
  return reinterpret_cast<u8*>(at);
}

// Moves `*data` (`size` bytes used, inside `*raw`) to storage of `capacity` bytes; false, with
// both left as they were or at least consistent, when memory runs out.
bool Reallocate(u8** data, void** raw, u32 size, u32 capacity) {
  // In place where the allocator can: a large buffer then grows by remapping its pages instead
  // of copying them into fresh ones, which made a large image cost its size several times over.
  if (*data == *raw) {
    void* moved = std::realloc(*raw, u64(capacity) + 3);
    if (moved == nullptr) return false;
    *raw = moved;
    *data = static_cast<u8*>(moved);
    if ((reinterpret_cast<uintptr_t>(moved) & 3) == 0) return true;
    // Storage that lost its alignment moves once more, below.
  }
  void* fresh = nullptr;
  u8* grown = AllocateAligned(capacity, &fresh);
  if (grown == nullptr) return false;
  std::memcpy(grown, *data, size);
  std::free(*raw);
  *raw = fresh;
  *data = grown;
  return true;
}

}  // namespace

ByteBuffer::ByteBuffer(u32 growthStep) : growthStep_(growthStep) {
  data_ = AllocateAligned(growthStep, &raw_);
  capacity_ = data_ != nullptr ? growthStep : 0;
}

ByteBuffer::~ByteBuffer() { Release(); }

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : flags_(other.flags_),
      growthStep_(other.growthStep_),
      position_(other.position_),
      size_(other.size_),
      capacity_(other.capacity_),
      data_(other.data_),
      raw_(other.raw_) {
  other.data_ = nullptr;
  other.raw_ = nullptr;
  other.position_ = other.size_ = other.capacity_ = 0;
}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    flags_ = other.flags_;
    growthStep_ = other.growthStep_;
    position_ = other.position_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    data_ = std::exchange(other.data_, nullptr);
    raw_ = std::exchange(other.raw_, nullptr);
    other.position_ = other.size_ = other.capacity_ = 0;
  }
  return *this;
}

void ByteBuffer::Release() {
  std::free(raw_);
  raw_ = nullptr;
  data_ = nullptr;
  capacity_ = 0;
}

bool ByteBuffer::Grow(u32 n) {
  if (data_ == nullptr) {
    flags_ |= kOutOfStorage;
    return false;
  }
  if (n >= capacity_) {
    // At least doubling: a buffer that grows by a fixed step alone copies itself once per step,
    // which makes building a large image quadratic.
    u64 wanted = u64(n) + (growthStep_ > capacity_ ? growthStep_ : capacity_);
    if (wanted > 0xFFFFFFFFu || !Reallocate(&data_, &raw_, size_, u32(wanted))) {
      // The old storage and size stay, so Data() and Size() remain consistent.
      flags_ |= kOutOfStorage;
      return false;
    }
    capacity_ = u32(wanted);
  }
  if (n > size_) size_ = n;
  return (flags_ & kOutOfStorage) == 0;
}

bool ByteBuffer::WriteGrowing(const void* data, u32 length) {
  if (flags_ & kOutOfStorage) return false;
  u64 end = u64(position_) + length;
  if (end > 0xFFFFFFFFu) {
    flags_ |= kOutOfStorage;
    return false;
  }
  if (!Grow(u32(end))) return false;
  if (length != 0) std::memcpy(data_ + position_, data, length);
  position_ = u32(end);
  return true;
}

bool ByteBuffer::WriteF32(f32 value) {
  u32 bits;
  std::memcpy(&bits, &value, 4);
  return WriteU32(bits);
}

bool ByteBuffer::Read(void* data, u32 length) {
  if (length > size_ - position_) {
    flags_ |= kBadPosition;
    return false;
  }
  if (length != 0) std::memcpy(data, data_ + position_, length);
  position_ += length;
  return true;
}

bool ByteBuffer::ReadU8(u8* value) { return Read(value, 1); }

bool ByteBuffer::ReadU16(u16* value) {
  u8 b[2];
  if (!Read(b, 2)) return false;
  *value = ByteOrder::LoadLE16(b);
  return true;
}

bool ByteBuffer::ReadU32(u32* value) {
  u8 b[4];
  if (!Read(b, 4)) return false;
  *value = ByteOrder::LoadLE32(b);
  return true;
}

bool ByteBuffer::ReadI32(i32* value) {
  u32 bits;
  if (!ReadU32(&bits)) return false;
  *value = static_cast<i32>(bits);
  return true;
}

bool ByteBuffer::ReadF32(f32* value) {
  u32 bits;
  if (!ReadU32(&bits)) return false;
  std::memcpy(value, &bits, 4);
  return true;
}

bool ByteBuffer::SetPosition(u32 position) {
  if (position > size_) {
    flags_ |= kBadPosition;
    return false;
  }
  position_ = position;
  return true;
}

}  // namespace Utils
