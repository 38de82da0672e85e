#include "validation/node_arena.h"

#include <algorithm>
#include <new>

#include "platform/asan_poison.h"

namespace TETLib {

namespace {

// The first block holds a small configuration's tree; later blocks double up to this size.
constexpr size_t kFirstBlockSize = 8 * 1024;
constexpr size_t kLargestBlockSize = 256 * 1024;
constexpr size_t kAlignment = alignof(std::max_align_t);

thread_local NodeArena* t_current = nullptr;
thread_local const NodeArena* t_releasing = nullptr;

// Before each object: where its memory came from, padded so the object stays aligned.
struct alignas(kAlignment) NodeHeader {
  NodeArena* arena;
  size_t size;
};

size_t Rounded(size_t size) { return (size + kAlignment - 1) & ~(kAlignment - 1); }

}  // namespace

// A block's own record, at its start; the memory handed out follows it.
struct alignas(kAlignment) NodeArena::Block {
  Block* next;
  size_t size;  // with this record
};

namespace {

// One first-size block kept per thread between arenas: a tool or benchmark that loads one tree
// after another then takes no block from the heap for a small tree.
struct SpareBlock {
  void* block = nullptr;
  ~SpareBlock() { ::operator delete(block); }
};
thread_local SpareBlock t_spare;

}  // namespace

NodeArena::~NodeArena() {
  while (blocks_ != nullptr) {
    Block* block = blocks_;
    blocks_ = block->next;
    Platform::UnpoisonMemory(block, block->size);
    if (block->size == kFirstBlockSize && t_spare.block == nullptr) {
      t_spare.block = block;
    } else {
      ::operator delete(block);
    }
  }
}

void* NodeArena::Allocate(size_t size) {
  size = Rounded(size);
  if (size > left_) {
    size_t blockSize = blocks_ == nullptr ? kFirstBlockSize
                                          : std::min(blocks_->size * 2, kLargestBlockSize);
    blockSize = std::max(blockSize, sizeof(Block) + size);
    Block* block = nullptr;
    if (blockSize == kFirstBlockSize && t_spare.block != nullptr) {
      block = static_cast<Block*>(t_spare.block);
      t_spare.block = nullptr;
    } else {
      // operator new aligns to max_align_t, and so every object after the record.
      block = static_cast<Block*>(::operator new(blockSize));
    }
    block->next = blocks_;
    block->size = blockSize;
    blocks_ = block;
    next_ = reinterpret_cast<std::byte*>(block + 1);
    left_ = blockSize - sizeof(Block);
    Platform::PoisonMemory(next_, left_);
  }
  void* memory = next_;
  next_ += size;
  left_ -= size;
  Platform::UnpoisonMemory(memory, size);
  return memory;
}

NodeArena::Scope::Scope(NodeArena& arena) : previous_(t_current) { t_current = &arena; }

NodeArena::Scope::~Scope() { t_current = previous_; }

NodeArena* NodeArena::Current() { return t_current; }

bool NodeArena::Owns(const void* object) const {
  const auto* at = static_cast<const std::byte*>(object);
  for (const Block* block = blocks_; block != nullptr; block = block->next) {
    const auto* start = reinterpret_cast<const std::byte*>(block + 1);
    const auto* end = reinterpret_cast<const std::byte*>(block) + block->size;
    if (at >= start && at < end) return true;
  }
  return false;
}

NodeArena::Release::Release(const NodeArena& arena) : previous_(t_releasing) {
  t_releasing = &arena;
}

NodeArena::Release::~Release() { t_releasing = previous_; }

bool NodeArena::IsReleasing(const void* object) {
  return t_releasing != nullptr && t_releasing->Owns(object);
}

void* AllocateNode(size_t size) {
  const size_t total = sizeof(NodeHeader) + size;
  NodeArena* arena = t_current;
  void* memory = arena != nullptr ? arena->Allocate(total) : ::operator new(total);
  auto* header = static_cast<NodeHeader*>(memory);
  header->arena = arena;
  header->size = total;
  return header + 1;
}

void FreeNode(void* memory) noexcept {
  if (memory == nullptr) return;
  NodeHeader* header = static_cast<NodeHeader*>(memory) - 1;
  if (header->arena == nullptr) {
    ::operator delete(header);
    return;
  }
  // Stays the arena's until the arena goes; poisoned so that nothing reads it meanwhile.
  Platform::PoisonMemory(header, header->size);
}

}  // namespace TETLib
