// Shared counted arrays of engine objects (geometry chunks, materials): one block that a
// definition and its instances hold together until one of them makes its own copy. The block
// holds one reference on each element and gives them back when its last holder lets go.
#pragma once

#include <memory>
#include <vector>

#include "qel/types.h"

template <typename T>
class RefPtrArray {
 public:
  RefPtrArray() = default;
  // A new block of n empty entries.
  static RefPtrArray Make(u32 n) {
    RefPtrArray array;
    array.block_ = std::make_shared<Block>();
    array.block_->items.resize(n, nullptr);
    return array;
  }

  bool IsNull() const { return !block_; }
  u32 Count() const { return block_ ? u32(block_->items.size()) : 0; }
  T* Get(u32 i) const { return i < Count() ? block_->items[i] : nullptr; }
  // The items in order; null for an empty array.
  T* const* Data() const { return Count() ? block_->items.data() : nullptr; }
  long GetHolderCount() const { return block_.use_count(); }
  bool SharesBlockWith(const RefPtrArray& other) const { return block_ == other.block_; }

  // Takes over the caller's reference; the previous element is released.
  void Set(u32 i, T* item) {
    if (i >= Count()) {
      if (item) item->ReleaseReference();
      return;
    }
    T*& slot = block_->items[i];
    if (slot) slot->ReleaseReference();
    slot = item;
  }
  // Takes over the caller's reference.
  void Append(T* item) {
    if (!block_) block_ = std::make_shared<Block>();
    block_->items.push_back(item);
  }
  void Resize(u32 n) {
    if (!block_) block_ = std::make_shared<Block>();
    while (Count() > n) RemoveLast();
    block_->items.resize(n, nullptr);
  }
  void RemoveLast() {
    if (Count() == 0) return;
    if (T* last = block_->items.back()) last->ReleaseReference();
    block_->items.pop_back();
  }
  // A block of its own with the same elements, each referenced once more.
  RefPtrArray Duplicate() const {
    RefPtrArray copy = Make(0);
    for (u32 i = 0; i < Count(); ++i) {
      T* item = Get(i);
      if (item) item->AddReference();
      copy.block_->items.push_back(item);
    }
    return copy;
  }

 private:
  struct Block {
    Block() = default;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    ~Block() {
      for (T* item : items) {
        if (item) item->ReleaseReference();
      }
    }
    std::vector<T*> items;
  };
  std::shared_ptr<Block> block_;
};
