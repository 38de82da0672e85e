#include "gscompiler/compile_log.h"

#include <new>

CompilerQueue::CompilerQueue()
    : items_(new (std::nothrow) const char*[kInitialCapacity]),
      capacity_(items_ ? kInitialCapacity : 0) {}

bool CompilerQueue::Push(const char* item) {
  if (count_ == capacity_ && !Grow()) return false;
  items_[(head_ + count_) % capacity_] = item;
  ++count_;
  return true;
}

const char* CompilerQueue::Pop() {
  if (count_ == 0) return nullptr;
  const char* item = items_[head_];
  head_ = (head_ + 1) % capacity_;
  --count_;
  return item;
}

void CompilerQueue::Clear() {
  head_ = 0;
  count_ = 0;
}

bool CompilerQueue::Grow() {
  const u64 wanted = capacity_ == 0 ? u64(kInitialCapacity) : u64(capacity_) * 2;
  if (wanted > 0x40000000u) return false;
  std::unique_ptr<const char*[]> grown(new (std::nothrow) const char*[wanted]);
  if (!grown) return false;
  for (u32 i = 0; i < count_; ++i) grown[i] = items_[(head_ + i) % capacity_];
  items_ = std::move(grown);
  capacity_ = u32(wanted);
  head_ = 0;
  return true;
}

void GSCompileLog::Add(const char* text) {
  if (!text) return;
  const char* copy = texts_.StrDup(text);
  if (copy) queue_.Push(copy);
}

const char* GSCompileLog::Take() { return queue_.Pop(); }

void GSCompileLog::Clear() {
  queue_.Clear();
  texts_.Reset();
}
