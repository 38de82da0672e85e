// The index of the library's string pool: the number of each text. The pool keeps the texts; the
// index keeps only their hashes and numbers in one open-addressed array, so that a lookup touches
// the array and one text, where a node-based map chases a node per candidate across a heap that a
// large unit spreads over hundreds of megabytes.
#pragma once

#include <string_view>
#include <vector>

#include "qel/types.h"

namespace GSCompiler {

class StringNumberIndex {
 public:
  static constexpr u32 kNotFound = 0xFFFFFFFFu;

  // The number of the text among `texts` (the pool, by number), or kNotFound.
  u32 Find(std::string_view text, const std::vector<const char*>& texts) const;
  // Records that `text` has `number`; the text must not be present yet.
  void Insert(std::string_view text, u32 number);
  void Clear();

 private:
  struct Slot {
    u32 hash;
    u32 numberPlusOne;  // 0 for an empty slot
  };

  static u32 HashOf(std::string_view text);
  void Grow();

  std::vector<Slot> slots_;
  u32 count_ = 0;
};

}  // namespace GSCompiler
