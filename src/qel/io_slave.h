// Byte sources and sinks that the codecs read from and write to.
#pragma once

#include <vector>

#include "qel/types.h"

namespace Qel {

class File;

class IOSlave {
 public:
  virtual ~IOSlave() = default;

  // Both return the number of bytes moved; fewer than asked means the end or a failure.
  virtual u32 Read(void* dst, u32 len) = 0;
  virtual u32 Write(const void* src, u32 len) = 0;
};

// Either a read-only source over a borrowed byte range (which must outlive it), or, when
// default-constructed, a growable sink that owns what is written and can be read back.
class IOSlaveMemory : public IOSlave {
 public:
  IOSlaveMemory() = default;
  IOSlaveMemory(const void* data, u32 size);

  u32 Read(void* dst, u32 len) override;
  // A borrowed source refuses writes (returns 0).
  u32 Write(const void* src, u32 len) override;

  const u8* Data() const { return borrowed_ ? data_ : owned_.data(); }
  u32 Size() const { return borrowed_ ? size_ : u32(owned_.size()); }
  u32 Position() const { return readPos_; }

 private:
  bool borrowed_ = false;
  const u8* data_ = nullptr;
  u32 size_ = 0;
  std::vector<u8> owned_;
  u32 readPos_ = 0;
};

// Reads and writes at the current position of a file that the caller opened and keeps open.
class IOSlaveFile : public IOSlave {
 public:
  explicit IOSlaveFile(File& file) : file_(file) {}

  u32 Read(void* dst, u32 len) override;
  u32 Write(const void* src, u32 len) override;

 private:
  File& file_;
};

}  // namespace Qel
