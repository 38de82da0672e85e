#include "gsruntime/script_arena.h"

#include <sys/mman.h>

#include <cstring>

namespace GSRuntime {

namespace {

constexpr u64 kCommitStep = u64(1) << 20;

u32 Granules(u32 bytes) { return (bytes + ScriptArena::kGranule - 1) / ScriptArena::kGranule; }

}  // namespace

ScriptArena::ScriptArena(u64 reserveBytes) {
  // A handle counts granules in 32 bits; more could not be named.
  const u64 limit = u64(0xFFFFFFFF) * kGranule;
  reserved_ = reserveBytes < limit ? reserveBytes : limit;
  void* region =
      mmap(nullptr, reserved_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (region == MAP_FAILED) {
    reserved_ = 0;
  } else {
    base_ = static_cast<u8*>(region);
  }
}

ScriptArena::~ScriptArena() {
  if (base_ != nullptr) munmap(base_, reserved_);
}

bool ScriptArena::Commit(u64 end) {
  if (end <= committed_) return true;
  if (end > reserved_) return false;
  u64 target = (end + kCommitStep - 1) / kCommitStep * kCommitStep;
  if (target > reserved_) target = reserved_;
  if (mprotect(base_ + committed_, target - committed_, PROT_READ | PROT_WRITE) != 0) return false;
  committed_ = target;
  return true;
}

GSHandle ScriptArena::Allocate(u32 bytes) {
  if (bytes == 0 || base_ == nullptr) return 0;
  const u32 granules = Granules(bytes);
  if (granules <= kSmallClasses && freeLists_[granules - 1] != 0) {
    const GSHandle handle = freeLists_[granules - 1];
    u8* block = base_ + u64(handle) * kGranule;
    std::memcpy(&freeLists_[granules - 1], block, sizeof(GSHandle));
    std::memset(block, 0, u64(granules) * kGranule);
    used_ += u64(granules) * kGranule;
    return handle;
  }
  const u64 size = u64(granules) * kGranule;
  if (size > reserved_ - top_ || !Commit(top_ + size)) return 0;
  const GSHandle handle = static_cast<GSHandle>(top_ / kGranule);
  top_ += size;
  used_ += size;
  return handle;  // fresh pages are zero
}

void ScriptArena::Free(GSHandle handle, u32 bytes) {
  if (handle == 0 || bytes == 0) return;
  const u32 granules = Granules(bytes);
  used_ -= u64(granules) * kGranule;
  u8* block = base_ + u64(handle) * kGranule;
  if (granules <= kSmallClasses) {
    std::memcpy(block, &freeLists_[granules - 1], sizeof(GSHandle));
    freeLists_[granules - 1] = handle;
    return;
  }
  // Large blocks are rare (long arrays and strings) and are not reused.
}

void* ScriptArena::Resolve(GSHandle handle) const {
  if (handle == 0 || u64(handle) * kGranule >= top_) return nullptr;
  return base_ + u64(handle) * kGranule;
}

void ScriptArena::Clear() {
  if (base_ != nullptr && committed_ > 0) {
    // Dropping the pages returns them zeroed on the next touch.
    madvise(base_, committed_, MADV_DONTNEED);
  }
  top_ = kGranule;
  used_ = 0;
  for (GSHandle& head : freeLists_) head = 0;
}

}  // namespace GSRuntime
