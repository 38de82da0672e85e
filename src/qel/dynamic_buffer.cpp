#include "qel/dynamic_buffer.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace Qel {

u32 DynamicBuffer::Write(const void* data, u32 n) {
  if (n == 0) return 0;
  const u64 end = u64(position_) + n;
  if (end > std::numeric_limits<u32>::max()) throw std::length_error("DynamicBuffer over 4 GiB");
  if (end > bytes_.size()) {
    if (end > bytes_.capacity()) bytes_.reserve(std::max<u64>(end, u64(bytes_.capacity()) * 2));
    bytes_.resize(end);
  }
  std::memcpy(bytes_.data() + position_, data, n);
  position_ = static_cast<u32>(end);
  return n;
}

u32 DynamicBuffer::Read(void* dst, u32 n) {
  if (position_ >= bytes_.size()) return 0;
  const u32 count = std::min<u32>(n, static_cast<u32>(bytes_.size()) - position_);
  if (count) std::memcpy(dst, bytes_.data() + position_, count);
  position_ += count;
  return count;
}

void DynamicBuffer::SetPosition(u32 position) {
  // The position may pass the data (a later write fills the gap with zeros) but never the
  // allocation, which a memory stream treats as its outer bound.
  const u32 limit = std::max<u32>(GetAllocatedLength(), GetDataSize());
  position_ = std::min(position, limit);
}

void DynamicBuffer::AddLength(u32 n) {
  const u64 want = u64(bytes_.capacity()) + n;
  if (want > std::numeric_limits<u32>::max()) throw std::length_error("DynamicBuffer over 4 GiB");
  bytes_.reserve(want);
}

void DynamicBuffer::Clean() {
  bytes_.clear();
  position_ = 0;
}

void DynamicBuffer::Resize(u32 size) {
  bytes_.resize(size);
  if (position_ > size) position_ = size;
}

}  // namespace Qel
