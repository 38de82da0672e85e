// A numbering of host objects, so that script words can name them: ids start at 1 (0 names
// nothing), and an id given back is handed out again. An empty table needs no code to make it,
// so that one can be a global that is there before any static constructor runs.
#pragma once

#include <vector>

#include "qel/types.h"

namespace GSRuntime {

template <typename T>
class IdTable {
 public:
  constexpr IdTable() = default;

  u32 Add(T* item) {
    if (items_.empty()) items_.push_back(nullptr);  // id 0
    if (!free_.empty()) {
      const u32 id = free_.back();
      free_.pop_back();
      items_[id] = item;
      return id;
    }
    items_.push_back(item);
    return u32(items_.size() - 1);
  }
  void Remove(u32 id) {
    if (id == 0 || id >= items_.size() || items_[id] == nullptr) return;
    items_[id] = nullptr;
    free_.push_back(id);
  }
  // Null for 0 or an id not in use.
  T* At(u32 id) const { return id < items_.size() ? items_[id] : nullptr; }

 private:
  std::vector<T*> items_;
  std::vector<u32> free_;
};

// A global left alone at exit: tables whose entries outlive the other statics (the machine ends
// its objects and classes after them).
template <typename T>
union Undestroyed {
  constexpr Undestroyed() : value() {}
  ~Undestroyed() {}
  T value;
};

}  // namespace GSRuntime
