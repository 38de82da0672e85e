#include "gscommon/block_memory.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace Utils {

// In the bitmap a set bit means free; slot s is bit (31 - s % 32) of word s / 32.
struct BlockMemory::Block {
  void* raw = nullptr;
  u8* data = nullptr;
  u8* end = nullptr;
  u32* bitmap = nullptr;
  u32 used = 0;
  // Words at and above this index are full, so the search for the last word with a free slot
  // starts below it rather than at the end of every bitmap.
  u32 freeWordsEnd = 0;
};

namespace {

constexpr u32 SlotBit(u32 slot) { return 0x80000000u >> (slot % 32); }

uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

}  // namespace

BlockMemory::~BlockMemory() { FreeAll(); }

bool BlockMemory::Init(u32 elementSize, u32 slotsPerBlock, u32 spareLimit) {
  FreeAll();
  u64 stride = (u64(elementSize) + 3) & ~u64(3);
  u64 slots = (u64(slotsPerBlock) + 31) & ~u64(31);
  if (stride == 0 || slots == 0 || stride * slots > 0xFFFFFFFFu) return false;
  blocks_ = static_cast<Block**>(std::malloc(sizeof(Block*)));
  if (blocks_ == nullptr) return false;
  blockCapacity_ = 1;
  spareLimit_ = spareLimit;
  slotsPerBlock_ = u32(slots);
  wordsPerBlock_ = u32(slots / 32);
  stride_ = u32(stride);
  alignment_ = 4;
  return true;
}

BlockMemory::Block* BlockMemory::NewBlock() {
  Block* block = new (std::nothrow) Block;
  if (block == nullptr) return nullptr;
  u64 bytes = u64(stride_) * slotsPerBlock_;
  block->raw = std::malloc(bytes + alignment_ - 1);
  block->bitmap = new (std::nothrow) u32[wordsPerBlock_];
  if (block->raw == nullptr || block->bitmap == nullptr) {
    DeleteBlock(block);
    return nullptr;
  }
  uintptr_t at = (Address(block->raw) + alignment_ - 1) & ~uintptr_t(alignment_ - 1);
  block->data = reinterpret_cast<u8*>(at);
  block->end = block->data + bytes;
  std::memset(block->bitmap, 0xFF, sizeof(u32) * wordsPerBlock_);
  block->freeWordsEnd = wordsPerBlock_;
  return block;
}

void BlockMemory::DeleteBlock(Block* block) {
  std::free(block->raw);
  delete[] block->bitmap;
  delete block;
}

bool BlockMemory::InsertBlock(Block* block) {
  if (blockCount_ == blockCapacity_) {
    u32 capacity = blockCapacity_ + 4;
    void* grown = std::realloc(blocks_, sizeof(Block*) * capacity);
    if (grown == nullptr) return false;
    blocks_ = static_cast<Block**>(grown);
    blockCapacity_ = capacity;
  }
  u32 at = 0;
  while (at < blockCount_ && Address(blocks_[at]->data) < Address(block->data)) ++at;
  std::memmove(blocks_ + at + 1, blocks_ + at, sizeof(Block*) * (blockCount_ - at));
  blocks_[at] = block;
  ++blockCount_;
  return true;
}

void BlockMemory::ChooseCurrentBlock() {
  // The fullest block that still has room; the later one wins a tie.
  Block* best = nullptr;
  for (u32 i = 0; i < blockCount_; ++i) {
    Block* block = blocks_[i];
    if (block->used < slotsPerBlock_ && (best == nullptr || block->used >= best->used)) {
      best = block;
    }
  }
  currentBlock_ = best;
}

BlockMemory::Block* BlockMemory::FindBlock(const u8* address) const {
  uintptr_t a = Address(address);
  u32 low = 0;
  u32 high = blockCount_;
  while (low < high) {
    u32 middle = low + (high - low) / 2;
    Block* block = blocks_[middle];
    if (a < Address(block->data)) {
      high = middle;
    } else if (a >= Address(block->end)) {
      low = middle + 1;
    } else {
      return block;
    }
  }
  return nullptr;
}

void* BlockMemory::Alloc() {
  if (slotsPerBlock_ == 0) return nullptr;
  if (currentBlock_ == nullptr) {
    Block* block = NewBlock();
    if (block == nullptr) return nullptr;
    if (!InsertBlock(block)) {
      DeleteBlock(block);
      return nullptr;
    }
    currentBlock_ = block;
  }
  // The current block always has a free slot: take the lowest one of the last word that has one.
  Block* block = currentBlock_;
  u32 word = block->freeWordsEnd;
  while (word > 0 && block->bitmap[word - 1] == 0) --word;
  block->freeWordsEnd = word;
  if (word == 0) return nullptr;
  --word;
  u32 slot = word * 32 + u32(std::countl_zero(block->bitmap[word]));
  block->bitmap[word] &= ~SlotBit(slot);
  ++block->used;
  ++usedCount_;
  if (block->used == slotsPerBlock_) ChooseCurrentBlock();
  return block->data + u64(slot) * stride_;
}

bool BlockMemory::Free(void* element) {
  if (usedCount_ % 16 == 0) ChooseCurrentBlock();
  if (element == nullptr) return false;
  const u8* address = static_cast<const u8*>(element);
  Block* block = FindBlock(address);
  if (block == nullptr) return false;
  uintptr_t offset = Address(address) - Address(block->data);
  // A pointer into the middle of an element would free its neighbour's slot.
  if (offset % stride_ != 0) return false;
  u32 slot = u32(offset / stride_);
  if (slot >= slotsPerBlock_) return false;
  u32& bits = block->bitmap[slot / 32];
  if (bits & SlotBit(slot)) return false;
  bits |= SlotBit(slot);
  if (slot / 32 >= block->freeWordsEnd) block->freeWordsEnd = slot / 32 + 1;
  --block->used;
  --usedCount_;
  if (block->used == 0 &&
      i64(spareLimit_) < i64(blockCount_ - 1) * slotsPerBlock_ - i64(usedCount_)) {
    u32 at = 0;
    while (blocks_[at] != block) ++at;
    std::memmove(blocks_ + at, blocks_ + at + 1, sizeof(Block*) * (blockCount_ - at - 1));
    --blockCount_;
    DeleteBlock(block);
    ChooseCurrentBlock();
  }
  return true;
}

void BlockMemory::Reset() {
  if (blockCount_ == 0) return;
  for (u32 i = 1; i < blockCount_; ++i) DeleteBlock(blocks_[i]);
  blockCount_ = 1;
  Block* first = blocks_[0];
  std::memset(first->bitmap, 0xFF, sizeof(u32) * wordsPerBlock_);
  first->freeWordsEnd = wordsPerBlock_;
  first->used = 0;
  currentBlock_ = first;
  usedCount_ = 0;
}

void BlockMemory::FreeAll() {
  for (u32 i = 0; i < blockCount_; ++i) DeleteBlock(blocks_[i]);
  std::free(blocks_);
  blocks_ = nullptr;
  blockCount_ = 0;
  blockCapacity_ = 0;
  currentBlock_ = nullptr;
  spareLimit_ = 0;
  slotsPerBlock_ = 0;
  wordsPerBlock_ = 0;
  stride_ = 0;
  alignment_ = 0;
  usedCount_ = 0;
}

}  // namespace Utils
