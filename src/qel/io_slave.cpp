#include "qel/io_slave.h"

#include <algorithm>
#include <cstring>

#include "qel/file.h"

namespace Qel {

IOSlaveMemory::IOSlaveMemory(const void* data, u32 size)
    : borrowed_(true), data_(static_cast<const u8*>(data)), size_(data ? size : 0) {}

u32 IOSlaveMemory::Read(void* dst, u32 len) {
  const u32 n = std::min(len, Size() - readPos_);
  if (n == 0 || dst == nullptr) return 0;
  std::memcpy(dst, Data() + readPos_, n);
  readPos_ += n;
  return n;
}

u32 IOSlaveMemory::Write(const void* src, u32 len) {
  if (borrowed_ || (src == nullptr && len != 0)) return 0;
  // Sizes are u32 everywhere; a sink that would pass 4 GiB takes what fits.
  const u32 n = std::min<u64>(len, u64(0xFFFFFFFFu) - owned_.size());
  const u8* p = static_cast<const u8*>(src);
  owned_.insert(owned_.end(), p, p + n);
  return n;
}

u32 IOSlaveFile::Read(void* dst, u32 len) { return file_.Read(dst, len); }

u32 IOSlaveFile::Write(const void* src, u32 len) { return file_.Write(src, len); }

}  // namespace Qel
