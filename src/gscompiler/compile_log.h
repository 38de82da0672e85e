// The messages of one compile, kept in order of arrival until the caller drains them.
#pragma once

#include <memory>

#include "gscommon/frame_memory.h"
#include "qel/types.h"

// A FIFO ring of pointers that grows, keeping its order, when full.
class CompilerQueue {
 public:
  static constexpr u32 kInitialCapacity = 128;

  CompilerQueue();
  CompilerQueue(const CompilerQueue&) = delete;
  CompilerQueue& operator=(const CompilerQueue&) = delete;

  // False only when the ring was full and could not grow.
  bool Push(const char* item);
  // The oldest item, or null when empty.
  const char* Pop();
  void Clear();

  u32 Count() const { return count_; }
  u32 Capacity() const { return capacity_; }

 private:
  // Doubles the capacity, moving the items to the front of the new ring in order.
  bool Grow();

  std::unique_ptr<const char*[]> items_;
  u32 capacity_ = 0;
  u32 head_ = 0;  // the oldest item
  u32 count_ = 0;
};

class GSCompileLog {
 public:
  GSCompileLog() = default;
  GSCompileLog(const GSCompileLog&) = delete;
  GSCompileLog& operator=(const GSCompileLog&) = delete;

  // Copies the text and appends it; a null text is ignored.
  void Add(const char* text);
  // The oldest message not yet taken, or null. Texts stay valid until Clear or destruction.
  const char* Take();
  // Drops every message and frees their texts.
  void Clear();

  u32 Count() const { return queue_.Count(); }

 private:
  Utils::FrameMemory texts_;
  CompilerQueue queue_;
};
