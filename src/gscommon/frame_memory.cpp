#include "gscommon/frame_memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace Utils {

// The header precedes its data in one allocation. A block made for one oversized text is full
// from the start and never becomes current.
struct FrameMemory::Block {
  u8* data;
  u32 used;
  u32 size;
  Block* next;
};

FrameMemory::FrameMemory(u32 blockSize) : blockSize_(blockSize) { EnsureFirstBlock(); }

FrameMemory::~FrameMemory() { FreeAll(); }

FrameMemory::Block* FrameMemory::NewBlock(u32 dataSize) {
  void* raw = std::malloc(sizeof(Block) + u64(dataSize));
  if (raw == nullptr) return nullptr;
  Block* block = static_cast<Block*>(raw);
  block->data = static_cast<u8*>(raw) + sizeof(Block);
  block->used = 0;
  block->size = dataSize;
  block->next = nullptr;
  return block;
}

bool FrameMemory::EnsureFirstBlock() {
  if (current_ != nullptr) return true;
  if (blockSize_ == 0) return false;
  first_ = current_ = NewBlock(blockSize_);
  return current_ != nullptr;
}

void* FrameMemory::Take(Block* block, u32 padded, u32 alignment) {
  uintptr_t at = reinterpret_cast<uintptr_t>(block->data + block->used);
  at = (at + alignment - 1) & ~uintptr_t(alignment - 1);
  block->used += padded;
  bytesUsed_ += padded;
  ++allocCount_;
  return reinterpret_cast<void*>(at);
}

void* FrameMemory::Alloc(u32 size, u32 alignment) {
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) return nullptr;
  u64 padded = u64(size) + alignment - 1;
  if (padded > blockSize_ || !EnsureFirstBlock()) return nullptr;
  u32 n = u32(padded);
  if (current_->size - current_->used < n) {
    Block* block = NewBlock(blockSize_);
    if (block == nullptr) return nullptr;
    block->next = current_->next;
    current_->next = block;
    current_ = block;
  }
  return Take(current_, n, alignment);
}

char* FrameMemory::StrDup(const char* text) {
  if (text == nullptr) return nullptr;
  u64 length = std::strlen(text) + 1;
  if (length > 0xFFFFFFFFu) return nullptr;
  // Most texts are short names that fit the current block: the bump of Alloc without its checks.
  if (current_ != nullptr && length <= current_->size - current_->used) {
    char* copy = reinterpret_cast<char*>(Take(current_, u32(length), 1));
    std::memcpy(copy, text, length);
    return copy;
  }
  void* copy;
  if (length <= blockSize_) {
    copy = Alloc(u32(length), 1);
  } else {
    // Too long for a block: a block of its own, chained behind the current one.
    if (!EnsureFirstBlock()) return nullptr;
    Block* block = NewBlock(u32(length));
    if (block == nullptr) return nullptr;
    block->next = current_->next;
    current_->next = block;
    copy = Take(block, u32(length), 1);
  }
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text, length);
  return static_cast<char*>(copy);
}

void FrameMemory::Reset() {
  if (first_ == nullptr) return;
  Block* block = first_->next;
  while (block != nullptr) {
    Block* next = block->next;
    std::free(block);
    block = next;
  }
  first_->next = nullptr;
  first_->used = 0;
  current_ = first_;
  bytesUsed_ = 0;
  allocCount_ = 0;
}

void FrameMemory::FreeAll() {
  Block* block = first_;
  while (block != nullptr) {
    Block* next = block->next;
    std::free(block);
    block = next;
  }
  first_ = current_ = nullptr;
  bytesUsed_ = 0;
  allocCount_ = 0;
}

void FrameMemory::SetBlockSize(u32 blockSize) {
  FreeAll();
  blockSize_ = blockSize;
  EnsureFirstBlock();
}

}  // namespace Utils
