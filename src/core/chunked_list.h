// An ordered container for small records: a ring of heap blocks, each holding up to N entries.
// Entries never move between blocks, so a pointer to an entry stays valid until that entry (or an
// entry before it in the same block) is erased. Only the first `count` slots of a block hold
// constructed objects.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "core/kuid.h"
#include "platform/invariant.h"
#include "qel/types.h"

template <class T, u32 N>
class ChunkedList {
  static_assert(N > 0, "a block must hold at least one entry");

 public:
  struct Block {
    Block* next = nullptr;
    Block* prev = nullptr;
    u32 count = 0;
    alignas(T) unsigned char storage[sizeof(T) * N];

    Block() {
      // KUID blocks read as null KUIDs throughout, as the stored lists expect.
      if constexpr (std::is_same_v<T, KUID>) {
        for (u32 i = 0; i < N; ++i) new (Slot(i)) KUID();
      }
    }
    T* At(u32 i) {
      KESTRO_ASSERT(i < N);
      return std::launder(reinterpret_cast<T*>(storage + sizeof(T) * i));
    }
    void* Slot(u32 i) { return storage + sizeof(T) * i; }
  };

  template <class E>
  class IteratorT {
   public:
    IteratorT() = default;
    // Mutable iterators convert to const ones.
    template <class F, class = std::enable_if_t<std::is_same_v<const F, E>>>
    IteratorT(const IteratorT<F>& o)  // NOLINT(runtime/explicit)
        : entry_(o.entry_), head_(o.head_), block_(o.block_) {}

    bool IsEnd() const { return entry_ == nullptr; }
    E* Get() const { return entry_; }
    E& operator*() const { return *entry_; }
    E* operator->() const { return entry_; }
    bool operator==(const IteratorT& o) const { return entry_ == o.entry_; }
    bool operator!=(const IteratorT& o) const { return entry_ != o.entry_; }

    // To the next entry, across blocks; the end iterator after the last.
    void Next() {
      if (!entry_) return;
      u32 i = Index() + 1;
      if (i < block_->count) {
        entry_ = block_->At(i);
        return;
      }
      MoveToBlockStart(block_->next);
    }
    IteratorT& operator++() {
      Next();
      return *this;
    }

    // n entries forward, or back for negative n; the end iterator when that leaves the list.
    void Advance(i32 n) {
      if (!entry_) return;
      i64 steps = n;
      u32 i = Index();
      if (steps >= 0) {
        while (i64(i) + steps >= i64(block_->count)) {
          steps -= i64(block_->count) - i64(i);
          i = 0;
          block_ = block_->next;
          if (block_ == head_) return SetEnd();
        }
        entry_ = block_->At(u32(i + steps));
        return;
      }
      steps = -steps;
      while (steps > i64(i)) {
        steps -= i64(i) + 1;
        if (block_ == head_) return SetEnd();
        block_ = block_->prev;
        i = block_->count - 1;
      }
      entry_ = block_->At(u32(i - steps));
    }

   private:
    friend class ChunkedList;
    template <class>
    friend class IteratorT;

    IteratorT(E* entry, Block* head, Block* block) : entry_(entry), head_(head), block_(block) {}

    u32 Index() const {
      return u32(reinterpret_cast<const unsigned char*>(entry_) - block_->storage) / sizeof(T);
    }
    void MoveToBlockStart(Block* b) {
      if (b == head_) return SetEnd();
      block_ = b;
      entry_ = b->At(0);
    }
    void SetEnd() {
      entry_ = nullptr;
      block_ = nullptr;
    }

    E* entry_ = nullptr;
    Block* head_ = nullptr;
    Block* block_ = nullptr;
  };

  using Iterator = IteratorT<T>;
  using ConstIterator = IteratorT<const T>;

  ChunkedList() = default;
  ~ChunkedList() { FreeBlocks(); }
  ChunkedList(const ChunkedList&) = delete;
  ChunkedList& operator=(const ChunkedList&) = delete;
  ChunkedList(ChunkedList&& o) noexcept : head_(std::exchange(o.head_, nullptr)) {}
  ChunkedList& operator=(ChunkedList&& o) noexcept {
    if (this != &o) {
      FreeBlocks();
      head_ = std::exchange(o.head_, nullptr);
    }
    return *this;
  }

  bool IsEmpty() const { return head_ == nullptr; }

  u32 Count() const {
    if (!head_) return 0;
    u32 total = 0;
    const Block* b = head_;
    do {
      total += b->count;
      b = b->next;
    } while (b != head_);
    return total;
  }

  u32 BlockCount() const {
    if (!head_) return 0;
    u32 blocks = 0;
    const Block* b = head_;
    do {
      ++blocks;
      b = b->next;
    } while (b != head_);
    return blocks;
  }

  Iterator Begin() { return head_ ? Iterator(head_->At(0), head_, head_) : Iterator(); }
  ConstIterator Begin() const {
    return head_ ? ConstIterator(head_->At(0), head_, head_) : ConstIterator();
  }
  Iterator End() { return Iterator(); }
  ConstIterator End() const { return ConstIterator(); }
  Iterator begin() { return Begin(); }
  Iterator end() { return End(); }
  ConstIterator begin() const { return Begin(); }
  ConstIterator end() const { return End(); }

  Iterator IteratorAt(i32 index) {
    Iterator it = Begin();
    it.Advance(index);
    return it;
  }
  ConstIterator IteratorAt(i32 index) const {
    ConstIterator it = Begin();
    it.Advance(index);
    return it;
  }

  // Appends a copy (a counted handle inside the record takes its own reference).
  T& PushBack(const T& value) { return Emplace(value); }
  T& PushBack(T&& value) { return Emplace(std::move(value)); }

  template <class... Args>
  T& Emplace(Args&&... args) {
    Block* last = head_ ? head_->prev : nullptr;
    if (last && last->count < N) {
      T* slot = new (last->Slot(last->count)) T(std::forward<Args>(args)...);
      ++last->count;
      return *slot;
    }
    // The block joins the ring only once its entry exists, so a throwing constructor leaves
    // the list as it was.
    std::unique_ptr<Block> fresh(new Block());
    T* slot = new (fresh->Slot(0)) T(std::forward<Args>(args)...);
    fresh->count = 1;
    LinkLast(fresh.release());
    return *slot;
  }

  Iterator Find(const T& value) {
    for (Iterator it = Begin(); !it.IsEnd(); it.Next()) {
      if (*it == value) return it;
    }
    return Iterator();
  }
  ConstIterator Find(const T& value) const {
    for (ConstIterator it = Begin(); !it.IsEnd(); it.Next()) {
      if (*it == value) return it;
    }
    return ConstIterator();
  }

  // Appends unless an equal entry is present. The null KUID is never added to a KUID list.
  void AddUnique(const T& value) {
    if constexpr (std::is_same_v<T, KUID>) {
      if (value.IsNull()) return;
    }
    if (Find(value).IsEnd()) PushBack(value);
  }

  // Removes the entry keeping the order of the rest; returns the entry that followed it.
  Iterator Erase(Iterator it) {
    if (it.IsEnd()) return it;
    Block* b = it.block_;
    u32 i = it.Index();
    for (u32 j = i; j + 1 < b->count; ++j) *b->At(j) = std::move(*b->At(j + 1));
    return DropLast(b, i);
  }

  // Removes the entry by moving the block's last entry into its place; returns the iterator at
  // that place, or at the next entry when the erased one was the block's last.
  Iterator EraseUnordered(Iterator it) {
    if (it.IsEnd()) return it;
    Block* b = it.block_;
    u32 i = it.Index();
    if (i + 1 < b->count) *b->At(i) = std::move(*b->At(b->count - 1));
    return DropLast(b, i);
  }

  // Destroys every entry and frees every block.
  void FreeBlocks() {
    if (!head_) return;
    Block* b = head_;
    head_->prev->next = nullptr;
    while (b) {
      Block* next = b->next;
      DestroyEntries(b);
      delete b;
      b = next;
    }
    head_ = nullptr;
  }
  void Clear() { FreeBlocks(); }

  // Appends copies of every entry of `other`, in order (appending a list to itself doubles it).
  void AppendAll(const ChunkedList& other) {
    u32 n = other.Count();
    ConstIterator it = other.Begin();
    for (u32 k = 0; k < n; ++k, it.Next()) PushBack(*it);
  }

 private:
  static void DestroyEntries(Block* b) {
    if constexpr (!std::is_trivially_destructible_v<T>) {
      for (u32 i = 0; i < b->count; ++i) b->At(i)->~T();
    }
    b->count = 0;
  }

  void LinkLast(Block* b) {
    if (!head_) {
      b->next = b->prev = b;
      head_ = b;
      return;
    }
    Block* last = head_->prev;
    b->prev = last;
    b->next = head_;
    last->next = b;
    head_->prev = b;
  }

  // Destroys the block's last entry after an erase at index i compacted the block, frees the
  // block when it became empty, and returns the iterator at what now follows position i.
  Iterator DropLast(Block* b, u32 i) {
    --b->count;
    if constexpr (!std::is_trivially_destructible_v<T>) b->At(b->count)->~T();
    if (b->count > 0) {
      if (i < b->count) return Iterator(b->At(i), head_, b);
      return b->next == head_ ? Iterator() : Iterator(b->next->At(0), head_, b->next);
    }
    Block* next = b->next;
    if (next == b) {
      delete b;
      head_ = nullptr;
      return Iterator();
    }
    b->prev->next = next;
    next->prev = b->prev;
    if (b == head_) {
      head_ = next;
    } else if (next == head_) {
      next = nullptr;
    }
    delete b;
    return next ? Iterator(next->At(0), head_, next) : Iterator();
  }

  Block* head_ = nullptr;
};
