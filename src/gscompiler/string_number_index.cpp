#include "gscompiler/string_number_index.h"

#include <cstring>
#include <functional>

namespace GSCompiler {

namespace {

constexpr u32 kFirstCapacity = 1024;

}  // namespace

u32 StringNumberIndex::HashOf(std::string_view text) {
  return static_cast<u32>(std::hash<std::string_view>{}(text));
}

u32 StringNumberIndex::Find(std::string_view text, const std::vector<const char*>& texts) const {
  if (slots_.empty()) return kNotFound;
  const u32 hash = HashOf(text);
  const u32 mask = static_cast<u32>(slots_.size()) - 1;
  for (u32 at = hash & mask;; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (slot.numberPlusOne == 0) return kNotFound;
    if (slot.hash != hash) continue;
    const char* candidate = texts[slot.numberPlusOne - 1];
    if (std::strncmp(candidate, text.data(), text.size()) == 0 && candidate[text.size()] == 0) {
      return slot.numberPlusOne - 1;
    }
  }
}

void StringNumberIndex::Insert(std::string_view text, u32 number) {
  // At most half full, so that probe runs stay short and an empty slot always ends them.
  if (2 * (count_ + 1) > slots_.size()) Grow();
  const u32 hash = HashOf(text);
  const u32 mask = static_cast<u32>(slots_.size()) - 1;
  u32 at = hash & mask;
  while (slots_[at].numberPlusOne != 0) at = (at + 1) & mask;
  slots_[at] = {hash, number + 1};
  ++count_;
}

void StringNumberIndex::Grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? kFirstCapacity : old.size() * 2, Slot{0, 0});
  const u32 mask = static_cast<u32>(slots_.size()) - 1;
  for (const Slot& slot : old) {
    if (slot.numberPlusOne == 0) continue;
    u32 at = slot.hash & mask;
    while (slots_[at].numberPlusOne != 0) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

void StringNumberIndex::Clear() {
  slots_.clear();
  count_ = 0;
}

}  // namespace GSCompiler
