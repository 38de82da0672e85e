// Bounds-checked reads of little-endian words from a byte range, for the readers of library
// images and function records. A read that does not fit fails, marks the reader and moves
// nothing.
#pragma once

#include "platform/byte_order.h"
#include "qel/types.h"

namespace GSByteCode {

class WordReader {
 public:
  WordReader(const u8* data, u32 size) : data_(data), size_(size) {}
  bool U32(u32* value) {
    if (size_ - position_ < 4) return Fail();
    *value = ByteOrder::LoadLE32(data_ + position_);
    position_ += 4;
    return true;
  }
  bool I32(i32* value) {
    u32 v;
    if (!U32(&v)) return false;
    *value = static_cast<i32>(v);
    return true;
  }
  bool Skip(u64 bytes) {
    if (bytes > size_ - position_) return Fail();
    position_ += static_cast<u32>(bytes);
    return true;
  }
  bool Seek(u32 position) {
    if (position > size_) return Fail();
    position_ = position;
    return true;
  }
  u32 Position() const { return position_; }
  u32 Left() const { return size_ - position_; }
  const u8* Here() const { return data_ + position_; }
  bool Failed() const { return failed_; }

 private:
  bool Fail() {
    failed_ = true;
    return false;
  }
  const u8* data_;
  u32 size_;
  u32 position_ = 0;
  bool failed_ = false;
};

}  // namespace GSByteCode
