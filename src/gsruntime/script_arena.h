// The one region that holds every script object, array and string. Scripts see only 32-bit
// handles into it (0 is null), so a script word never carries a host pointer. The region is
// reserved once at its full size and committed as it fills, so a pointer from Resolve stays
// valid while its block is allocated.
#pragma once

#include "qel/types.h"

namespace GSRuntime {

using GSHandle = u32;
// A script reference: the index of one 4-byte word of the arena (byte offset / 4); 0 is null.
// A block's first word is its handle times kWordsPerGranule.
using ScriptRef = u32;

class ScriptArena {
 public:
  static constexpr u32 kGranule = 8;  // bytes per handle step
  static constexpr u64 kDefaultReserve = u64(1) << 30;

  explicit ScriptArena(u64 reserveBytes = kDefaultReserve);
  ~ScriptArena();
  ScriptArena(const ScriptArena&) = delete;
  ScriptArena& operator=(const ScriptArena&) = delete;

  // A zeroed block of at least `bytes` bytes; 0 when the region is exhausted or bytes is 0.
  GSHandle Allocate(u32 bytes);
  // Gives back a block of Allocate's size; a null handle is ignored.
  void Free(GSHandle handle, u32 bytes);
  // The block's first byte; null for handle 0 or a handle outside the committed part.
  void* Resolve(GSHandle handle) const;

  static constexpr u32 kWordsPerGranule = kGranule / 4;
  static ScriptRef FirstWord(GSHandle handle) { return handle * kWordsPerGranule; }
  // The word a script reference names; null for 0 or a word outside the allocated part.
  u32* Word(ScriptRef reference) const {
    if (reference == 0 || u64(reference) * 4 >= top_) return nullptr;
    return reinterpret_cast<u32*>(base_) + reference;
  }

  u64 CommittedBytes() const { return committed_; }
  u64 UsedBytes() const { return used_; }
  // Frees every block; the reservation stays.
  void Clear();

 private:
  static constexpr u32 kSmallClasses = 64;  // free lists for blocks up to 512 bytes

  bool Commit(u64 end);

  u8* base_ = nullptr;
  u64 reserved_ = 0;
  u64 committed_ = 0;
  u64 top_ = kGranule;  // offset 0 stays unused so that handle 0 is null
  u64 used_ = 0;
  GSHandle freeLists_[kSmallClasses] = {};
};

}  // namespace GSRuntime
