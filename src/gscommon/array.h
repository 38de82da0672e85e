// A growable array of plain elements that grows in steps of N elements. It keeps no count: its
// owners track how many elements they use.
#pragma once

#include <algorithm>
#include <new>
#include <type_traits>

#include "platform/invariant.h"
#include "qel/types.h"

namespace Utils {

template <typename T, u32 N>
class Array {
  static_assert(N > 0, "the growth step must be at least one element");
  static_assert(std::is_trivially_copyable_v<T>, "elements are copied as plain data");

 public:
  // Starts with room for N elements, zeroed; Capacity() is 0 when that allocation failed.
  Array() { GrowToHold(0); }
  virtual ~Array() { delete[] storage_; }
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;

  // Makes `index` a valid index: when it is at least the capacity, the capacity becomes
  // (index / N + 1) * N, the old elements are copied and the new ones zeroed. False, keeping
  // the old storage, when the allocation fails or the size would overflow.
  bool GrowToHold(u32 index) {
    if (index < capacity_) return true;
    u64 wanted = (u64(index) / N + 1) * N;
    if (wanted > 0xFFFFFFFFu / sizeof(T)) return false;
    T* grown = new (std::nothrow) T[wanted]();
    if (grown == nullptr) return false;
    if (storage_ != nullptr) std::copy(storage_, storage_ + capacity_, grown);
    delete[] storage_;
    storage_ = grown;
    capacity_ = static_cast<u32>(wanted);
    return true;
  }

  // Grows to hold `index` and stores the value there.
  bool Set(u32 index, const T& value) {
    if (!GrowToHold(index)) return false;
    storage_[index] = value;
    return true;
  }

  // Null for an index at or beyond the capacity.
  T* At(u32 index) { return index < capacity_ ? storage_ + index : nullptr; }
  const T* At(u32 index) const { return index < capacity_ ? storage_ + index : nullptr; }
  // For indices the owner knows to be valid; an unknown index goes through At or Set.
  T& operator[](u32 index) {
    KESTRO_ASSERT(index < capacity_);
    return storage_[index];
  }
  const T& operator[](u32 index) const {
    KESTRO_ASSERT(index < capacity_);
    return storage_[index];
  }

  u32 Capacity() const { return capacity_; }
  T* Data() { return storage_; }
  const T* Data() const { return storage_; }

 private:
  u32 capacity_ = 0;
  T* storage_ = nullptr;
};

}  // namespace Utils
