// A growable memory buffer with a read/write position, the backing store of memory streams.
#pragma once

#include <vector>

#include "qel/types.h"

namespace Qel {

class DynamicBuffer {
 public:
  DynamicBuffer() = default;
  explicit DynamicBuffer(u32 reserve) { bytes_.reserve(reserve); }

  // Writes at the position, growing the data as needed; returns the count written. Throws
  // std::bad_alloc or std::length_error when the buffer cannot grow (beyond 4 GiB).
  u32 Write(const void* data, u32 n);
  // Reads at the position; returns the count read (short at the end of the data).
  u32 Read(void* dst, u32 n);

  u32 GetPosition() const { return position_; }
  // Clamped to the allocated length.
  void SetPosition(u32 position);
  u32 GetDataSize() const { return static_cast<u32>(bytes_.size()); }
  u32 GetAllocatedLength() const { return static_cast<u32>(bytes_.capacity()); }
  // Extends the allocation by n bytes without changing the data.
  void AddLength(u32 n);
  // Empties the data and resets the position; the allocation stays.
  void Clean();
  // Sets the data size (new bytes are zero); the position is clamped to it.
  void Resize(u32 size);

  const u8* GetData() const { return bytes_.data(); }
  u8* GetData() { return bytes_.data(); }

 private:
  std::vector<u8> bytes_;
  u32 position_ = 0;
};

}  // namespace Qel
