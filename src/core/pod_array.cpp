#include "core/pod_array.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

PodArray8::~PodArray8() { std::free(bytes_); }

PodArray8::PodArray8(PodArray8&& o) noexcept
    : count_(std::exchange(o.count_, 0)),
      capacity_(std::exchange(o.capacity_, 0)),
      bytes_(std::exchange(o.bytes_, nullptr)) {}

PodArray8& PodArray8::operator=(PodArray8&& o) noexcept {
  if (this != &o) {
    std::free(bytes_);
    count_ = std::exchange(o.count_, 0);
    capacity_ = std::exchange(o.capacity_, 0);
    bytes_ = std::exchange(o.bytes_, nullptr);
  }
  return *this;
}

void PodArray8::PushBack(u8 byte) {
  if (count_ == capacity_) {
    u64 wanted = (u64(count_) + 1 + 127) / 128 * 128;
    if (wanted > 0xFFFFFFFFu) throw std::bad_alloc();
    u8* grown = static_cast<u8*>(std::malloc(size_t(wanted)));
    if (!grown) throw std::bad_alloc();
    if (count_) std::memcpy(grown, bytes_, count_);
    std::free(bytes_);
    bytes_ = grown;
    capacity_ = u32(wanted);
  }
  bytes_[count_++] = byte;
}
