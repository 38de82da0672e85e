// Fixed-size records carved from a chain of equal blocks, so that many small records cost one
// allocation per block. Records live until the chain is destroyed.
#pragma once

#include "qel/types.h"

class KQMemoryChain {
 public:
  // Each block holds blockSize bytes; records are elementSize bytes (at least one per block).
  KQMemoryChain(u32 blockSize, u32 elementSize);
  virtual ~KQMemoryChain();
  KQMemoryChain(const KQMemoryChain&) = delete;
  KQMemoryChain& operator=(const KQMemoryChain&) = delete;

  // A record of elementSize bytes, aligned as malloc aligns when elementSize is a multiple of
  // that alignment. Throws std::bad_alloc when no block can be had.
  void* Carve();
  u32 GetBlockCount() const { return blockCount_; }

 private:
  struct Block {
    Block* next;
    Block* previous;
    u8* cursor;
    u8* data;
    u8* end;
  };

  u32 blockSize_;
  u32 elementSize_;
  Block* first_ = nullptr;
  Block* current_ = nullptr;
  u32 blockCount_ = 0;
};
