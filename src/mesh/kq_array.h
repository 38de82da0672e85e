// The growable arrays of the spatial code: data, count, capacity and a growth step. Growing
// zero-fills the new elements; shrinking only lowers the count. For plain data only.
#pragma once

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "platform/invariant.h"
#include "qel/types.h"

template <typename T>
class KQArray {
  static_assert(std::is_trivially_copyable_v<T>, "KQArray holds plain data");

 public:
  explicit KQArray(i32 growth = 0) : growth_(growth) {}
  ~KQArray() { std::free(data_); }
  KQArray(const KQArray&) = delete;
  KQArray& operator=(const KQArray&) = delete;

  // A growth >= 0 replaces the stored one; -1 keeps it. Past the capacity the step is the
  // growth, or for growth 0 an eighth of the count clamped to 4..1024; the new capacity is the
  // larger of capacity + step and n. Throws std::bad_alloc when the block cannot grow.
  void Resize(i32 n, i32 growth = -1) {
    if (growth >= 0) growth_ = growth;
    if (n < 0) throw std::length_error("KQArray size");
    if (n > capacity_) {
      i32 step = growth_;
      if (step == 0) step = count_ / 8 < 4 ? 4 : (count_ / 8 > 1024 ? 1024 : count_ / 8);
      const i64 wanted = i64(capacity_) + step;
      const i64 capacity = wanted > n ? wanted : n;
      if (capacity > i64(0x7FFFFFFF) || u64(capacity) > ~size_t(0) / sizeof(T)) {
        throw std::length_error("KQArray size");
      }
      T* block = static_cast<T*>(std::malloc(size_t(capacity) * sizeof(T)));
      if (!block) throw std::bad_alloc();
      if (count_ > 0) std::memcpy(block, data_, size_t(count_) * sizeof(T));
      std::free(data_);
      data_ = block;
      capacity_ = i32(capacity);
    }
    if (n > count_)
      std::memset(static_cast<void*>(data_ + count_), 0, size_t(n - count_) * sizeof(T));
    count_ = n;
  }
  void Add(const T& value) {
    Resize(count_ + 1);
    data_[count_ - 1] = value;
  }
  void Clear() { count_ = 0; }

  T& operator[](i32 i) {
    KESTRO_ASSERT(i >= 0 && i < count_);
    return data_[i];
  }
  const T& operator[](i32 i) const {
    KESTRO_ASSERT(i >= 0 && i < count_);
    return data_[i];
  }
  T* Data() { return data_; }
  const T* Data() const { return data_; }
  i32 Count() const { return count_; }
  i32 Capacity() const { return capacity_; }
  i32 Growth() const { return growth_; }

 private:
  T* data_ = nullptr;
  i32 count_ = 0;
  i32 capacity_ = 0;
  i32 growth_;
};
