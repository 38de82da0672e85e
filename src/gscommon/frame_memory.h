// A bump allocator over a chain of fixed-size blocks; nothing is freed before Reset or FreeAll.
#pragma once

#include "qel/types.h"

namespace Utils {

class FrameMemory {
 public:
  static constexpr u32 kDefaultBlockSize = 2048;

  // Allocates the first block at once.
  explicit FrameMemory(u32 blockSize = kDefaultBlockSize);
  virtual ~FrameMemory();
  FrameMemory(const FrameMemory&) = delete;
  FrameMemory& operator=(const FrameMemory&) = delete;

  // Takes size + alignment - 1 bytes from the current block (or a new one chained behind it) and
  // returns the position rounded up to `alignment`, a power of two. Null when that padded size
  // exceeds the block size, for a bad alignment, or when no block can be had.
  void* Alloc(u32 size, u32 alignment);

  // Copy of a NUL-terminated text. A text longer than a block gets an allocation of its own, so
  // only a null text or an exhausted heap gives null.
  char* StrDup(const char* text);

  // Frees every block but the first and rewinds that one; the pool stays usable.
  void Reset();
  // Frees every block and zeroes the counters. The block size is kept, and the next allocation
  // starts a fresh first block.
  void FreeAll();
  // FreeAll, then new blocks have `blockSize` bytes; the first one is allocated at once.
  void SetBlockSize(u32 blockSize);

  u32 BlockSize() const { return blockSize_; }
  // Sum of the padded sizes handed out since the last Reset or FreeAll.
  u32 BytesUsed() const { return bytesUsed_; }
  u32 AllocCount() const { return allocCount_; }

 private:
  struct Block;

  Block* NewBlock(u32 dataSize);
  bool EnsureFirstBlock();
  void* Take(Block* block, u32 padded, u32 alignment);

  Block* first_ = nullptr;
  Block* current_ = nullptr;
  u32 bytesUsed_ = 0;
  u32 allocCount_ = 0;
  u32 blockSize_ = 0;
};

}  // namespace Utils
