// Engine objects shared by several holders: each holder takes a reference and gives it back; the
// last one gone deletes the object.
#pragma once

#include <atomic>

#include "qel/types.h"

namespace Qel {

class ReferenceCount {
 public:
  ReferenceCount() = default;
  ReferenceCount(const ReferenceCount&) = delete;
  ReferenceCount& operator=(const ReferenceCount&) = delete;

  void AddReference() { references_.fetch_add(1); }
  // Deletes the object when this was the last reference; a stray release of an object nobody
  // holds is ignored rather than deleting twice.
  void ReleaseReference() {
    u32 count = references_.load();
    while (count > 0 && !references_.compare_exchange_weak(count, count - 1)) {
    }
    if (count == 1) delete this;
  }
  u32 GetReferenceCount() const { return references_.load(); }

 protected:
  virtual ~ReferenceCount() = default;

 private:
  std::atomic<u32> references_{1};
};

// Releases a held reference and clears the holder.
template <typename T>
void ReleaseAndClear(T*& held) {
  if (held) held->ReleaseReference();
  held = nullptr;
}

}  // namespace Qel
