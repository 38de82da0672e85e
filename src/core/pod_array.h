// A growable byte array {count, capacity, bytes}; capacity grows in steps of 128.
#pragma once

#include "qel/types.h"

class PodArray8 {
 public:
  PodArray8() = default;
  ~PodArray8();
  PodArray8(const PodArray8&) = delete;
  PodArray8& operator=(const PodArray8&) = delete;
  PodArray8(PodArray8&& o) noexcept;
  PodArray8& operator=(PodArray8&& o) noexcept;

  // Throws std::bad_alloc when the block cannot grow.
  void PushBack(u8 byte);

  u8* Data() { return bytes_; }
  const u8* Data() const { return bytes_; }
  u32 Count() const { return count_; }
  u32 Capacity() const { return capacity_; }
  // Empties the array and keeps its block.
  void Clear() { count_ = 0; }

 private:
  u32 count_ = 0;
  u32 capacity_ = 0;
  u8* bytes_ = nullptr;
};
