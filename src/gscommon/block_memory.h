// A pool of fixed-size elements in blocks, each with a free bitmap. Elements never move.
#pragma once

#include "qel/types.h"

namespace Utils {

class BlockMemory {
 public:
  BlockMemory() = default;
  virtual ~BlockMemory();
  BlockMemory(const BlockMemory&) = delete;
  BlockMemory& operator=(const BlockMemory&) = delete;

  // Sets the element size (rounded up to 4), the slots per block (rounded up to 32) and how many
  // free slots empty blocks may keep before one is released. Frees whatever the pool held.
  // False, leaving the pool empty and unusable, for a zero size or count or an oversized block.
  bool Init(u32 elementSize, u32 slotsPerBlock, u32 spareLimit);

  // An uninitialised element, or null when the pool is not initialised or memory runs out.
  void* Alloc();

  // Returns the element to its block. A pointer that is not an element of this pool (null,
  // foreign, or inside an element) and an element that is already free are refused with false,
  // and the pool is left as it was.
  bool Free(void* element);

  // Frees every block but the first, which gets all slots free and becomes current.
  void Reset();
  // Frees every block and the block array, and zeroes every field; Init is needed again.
  void FreeAll();

  u32 UsedCount() const { return usedCount_; }
  u32 BlockCount() const { return blockCount_; }
  u32 SlotsPerBlock() const { return slotsPerBlock_; }
  u32 Stride() const { return stride_; }

 private:
  struct Block;

  Block* NewBlock();
  bool InsertBlock(Block* block);
  void DeleteBlock(Block* block);
  void ChooseCurrentBlock();
  Block* FindBlock(const u8* address) const;

  Block** blocks_ = nullptr;  // ascending by data address
  u32 blockCount_ = 0;
  u32 blockCapacity_ = 0;
  Block* currentBlock_ = nullptr;
  u32 spareLimit_ = 0;
  u32 slotsPerBlock_ = 0;
  u32 wordsPerBlock_ = 0;
  u32 stride_ = 0;
  u32 alignment_ = 0;
  u32 usedCount_ = 0;
};

}  // namespace Utils
