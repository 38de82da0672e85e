#include "mesh/kq_memory_chain.h"

#include <cstdlib>
#include <new>

KQMemoryChain::KQMemoryChain(u32 blockSize, u32 elementSize)
    : blockSize_(blockSize < elementSize ? elementSize : blockSize),
      elementSize_(elementSize ? elementSize : 1) {
  if (blockSize_ < elementSize_) blockSize_ = elementSize_;
}

KQMemoryChain::~KQMemoryChain() {
  for (Block* block = first_; block;) {
    Block* next = block->next;
    std::free(block->data);
    delete block;
    block = next;
  }
}

void* KQMemoryChain::Carve() {
  if (current_ && current_->cursor + elementSize_ <= current_->end) {
    void* record = current_->cursor;
    current_->cursor += elementSize_;
    return record;
  }
  if (current_ && current_->next) {
    current_ = current_->next;
    current_->cursor = current_->data;
    return Carve();
  }
  u8* data = static_cast<u8*>(std::malloc(blockSize_));
  Block* block =
      data ? new (std::nothrow) Block{nullptr, current_, data, data, data + blockSize_} : nullptr;
  if (!block) {
    std::free(data);
    throw std::bad_alloc();
  }
  if (current_) current_->next = block;
  if (!first_) first_ = block;
  current_ = block;
  ++blockCount_;
  return Carve();
}
