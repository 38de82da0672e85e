#include "qel/critical_section.h"

#include "qel/thread.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace Qel {

RecursiveLock::~RecursiveLock() {
#if defined(__SANITIZE_THREAD__)
  // A std::mutex ends without telling ThreadSanitizer, which then takes a lock made later at the
  // same address (another object in a reused stack frame) for this one, and reports the lock
  // orders of two unrelated objects as a cycle.
  __tsan_mutex_destroy(&mutex_, 0);
#endif
}

void RecursiveLock::Lock() {
  const u32 me = Thread::CurrentId();
  if (owner_.load(std::memory_order_relaxed) == me) {
    ++depth_;
    return;
  }
  mutex_.lock();
  owner_.store(me, std::memory_order_relaxed);
  depth_ = 1;
}

bool RecursiveLock::TryLock() {
  const u32 me = Thread::CurrentId();
  if (owner_.load(std::memory_order_relaxed) == me) {
    ++depth_;
    return true;
  }
  if (!mutex_.try_lock()) return false;
  owner_.store(me, std::memory_order_relaxed);
  depth_ = 1;
  return true;
}

bool RecursiveLock::Unlock() {
  if (owner_.load(std::memory_order_relaxed) != Thread::CurrentId()) return false;
  if (--depth_ == 0) {
    owner_.store(0, std::memory_order_relaxed);
    mutex_.unlock();
  }
  return true;
}

bool RecursiveLock::IsLockedByCurrentThread() const {
  return owner_.load(std::memory_order_relaxed) == Thread::CurrentId();
}

SingleLock::SingleLock(RecursiveLock& lock, bool lockNow) : lock_(lock) {
  if (lockNow) Lock();
}

SingleLock::~SingleLock() { Unlock(); }

void SingleLock::Lock() {
  if (held_) return;
  lock_.Lock();
  held_ = true;
}

bool SingleLock::TryLock() {
  if (!held_) held_ = lock_.TryLock();
  return held_;
}

void SingleLock::Unlock() {
  if (!held_) return;
  lock_.Unlock();
  held_ = false;
}

i32 ProtectedLong::CompareExchange(i32 exchange, i32 comparand) {
  i32 found = comparand;
  value_.compare_exchange_strong(found, exchange);
  return found;
}

}  // namespace Qel
