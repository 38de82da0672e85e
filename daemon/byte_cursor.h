// Bounds-checked little-endian reading over a byte range: every read either takes the whole
// value or fails and leaves the cursor failed, so a hostile count can never read past the end.
#pragma once

#include <cstring>
#include <string>

#include "core/kuid.h"
#include "platform/byte_order.h"
#include "qel/types.h"

namespace PymDaemonSrv {

class ByteCursor {
 public:
  ByteCursor(const u8* data, size_t size) : data_(data), size_(size) {}

  bool Ok() const { return ok_; }
  size_t Remaining() const { return ok_ ? size_ - position_ : 0; }

  bool ReadU8(u8& out) { return ReadRaw(&out, 1); }
  bool ReadU32(u32& out) {
    u8 b[4];
    if (!ReadRaw(b, 4)) return false;
    out = ByteOrder::LoadLE32(b);
    return true;
  }
  bool ReadI32(i32& out) {
    u32 v;
    if (!ReadU32(v)) return false;
    out = static_cast<i32>(v);
    return true;
  }
  bool ReadU64(u64& out) {
    u8 b[8];
    if (!ReadRaw(b, 8)) return false;
    out = ByteOrder::LoadLE64(b);
    return true;
  }
  // Content id, then the packed version and user word.
  bool ReadKUID(KUID& out) {
    u32 content;
    u32 word;
    if (!ReadU32(content) || !ReadU32(word)) return false;
    out = KUID::Unpack(word, content);
    return true;
  }
  // u32 byte count and the bytes; the text ends at the first NUL so that both the plain and the
  // NUL-terminated string forms read alike. Counts above maxLength fail.
  bool ReadText(std::string& out, u32 maxLength) {
    u32 n;
    if (!ReadU32(n)) return false;
    if (n > maxLength || n > Remaining()) return Fail();
    const char* start = reinterpret_cast<const char*>(data_ + position_);
    const void* nul = n != 0 ? std::memchr(start, 0, n) : nullptr;
    out.assign(start, nul ? static_cast<const char*>(nul) - start : n);
    position_ += n;
    return true;
  }

 private:
  bool ReadRaw(void* out, size_t n) {
    if (!ok_ || size_ - position_ < n) return Fail();
    if (n != 0) std::memcpy(out, data_ + position_, n);
    position_ += n;
    return true;
  }
  bool Fail() {
    ok_ = false;
    return false;
  }

  const u8* data_;
  size_t size_;
  size_t position_ = 0;
  bool ok_ = true;
};

}  // namespace PymDaemonSrv
