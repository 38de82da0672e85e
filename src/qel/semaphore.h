// Counting semaphores. Every semaphore and every MultiLock of the process waits on one shared
// condition variable, so that a MultiLock can take several semaphores and locks at once.
#pragma once

#include "qel/types.h"
#include "qel/wevent.h"

namespace Qel {

class Semaphore {
 public:
  explicit Semaphore(i32 initialCount = 0, i32 maximumCount = 0x7FFFFFFF);
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Takes one count, waiting up to timeoutMs for one; false on time-out. 0 only tests.
  bool Acquire(u32 timeoutMs = kInfinite);
  bool TryAcquire() { return Acquire(0); }
  // Adds counts; refused (false, no change) when the total would pass the maximum.
  bool Release(i32 count = 1);
  i32 GetCount() const;

 private:
  friend class MultiLock;

  i32 count_;
  const i32 maximum_;
};

}  // namespace Qel
