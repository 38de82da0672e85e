// Re-entrant locks, a scoped guard over them and an atomic counter.
#pragma once

#include <atomic>
#include <mutex>

#include "qel/types.h"

namespace Qel {

// A re-entrant lock: the owning thread may lock it again and must unlock it as many times.
// Unlocking a lock that the calling thread does not hold is refused (returns false) rather than
// corrupting the lock. Destroying a lock that is still held is a caller error.
class RecursiveLock {
 public:
  RecursiveLock() = default;
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void Lock();
  bool TryLock();
  // False (and no change) when the calling thread does not hold the lock.
  bool Unlock();
  bool IsLockedByCurrentThread() const;

 private:
  std::mutex mutex_;
  // Written only by the holder; any other thread can only ever read a value that is not its own.
  std::atomic<u32> owner_{0};
  u32 depth_ = 0;
};

// Guards data shared between threads of this process.
class CriticalSection final : public RecursiveLock {};

// The engine's mutex; within one process it behaves as a critical section.
class Mutex final : public RecursiveLock {};

// Holds a lock for a scope. Locks in the constructor unless told not to; may unlock early and
// lock again. The destructor releases every hold it still has.
class SingleLock {
 public:
  explicit SingleLock(RecursiveLock& lock, bool lockNow = true);
  ~SingleLock();
  SingleLock(const SingleLock&) = delete;
  SingleLock& operator=(const SingleLock&) = delete;

  void Lock();
  bool TryLock();
  void Unlock();
  bool IsLocked() const { return held_; }

 private:
  RecursiveLock& lock_;
  bool held_ = false;
};

// A 32-bit value changed atomically. Increment and Decrement return the new value;
// CompareExchange stores `exchange` when the value equals `comparand` and returns the value it
// found, like the Windows interlocked operations.
class ProtectedLong {
 public:
  explicit ProtectedLong(i32 value = 0) : value_(value) {}
  ProtectedLong(const ProtectedLong&) = delete;
  ProtectedLong& operator=(const ProtectedLong&) = delete;

  i32 Increment() { return Add(1); }
  i32 Decrement() { return Add(-1); }
  // Adds with two's-complement wrap-around and returns the new value. Inline: reference counts
  // call it for every node made or released.
  i32 Add(i32 delta) {
    // Unsigned arithmetic keeps the wrap at the limits defined.
    return i32(u32(value_.fetch_add(delta)) + u32(delta));
  }
  i32 Get() const { return value_.load(); }
  void Set(i32 value) { value_.store(value); }
  // Stores `value` and returns the previous value.
  i32 Exchange(i32 value) { return value_.exchange(value); }
  i32 CompareExchange(i32 exchange, i32 comparand);

 private:
  std::atomic<i32> value_;
};

}  // namespace Qel
