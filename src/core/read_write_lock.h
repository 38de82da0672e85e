// The process-wide re-entrant shared/exclusive lock, and a counted mutex.
#pragma once

#include <atomic>

#include "core/chunked_list.h"
#include "qel/critical_section.h"
#include "qel/types.h"
#include "qel/wevent.h"

// Any number of threads may hold the lock shared, or one thread exclusively; a holder may take it
// again in either mode as long as it already holds it exclusively, or shared again at any time.
// Waiting writers hold back threads that do not hold the lock yet, but never a re-entering holder.
// A thread that holds the lock only shared can never upgrade: such a request is refused.
class ReadWriteLock {
 public:
  // The longest wait for the lock. Its holders keep it for a table look-up or load, so a wait
  // this long means a holder that will not let go: the waiter gives up rather than hang the tool.
  static constexpr u32 kDefaultWaitLimitMs = 300000;

  explicit ReadWriteLock(u32 waitLimitMs = kDefaultWaitLimitMs) : waitLimitMs_(waitLimitMs) {}
  ReadWriteLock(const ReadWriteLock&) = delete;
  ReadWriteLock& operator=(const ReadWriteLock&) = delete;

  // Waits up to the wait limit. While the main thread waits here it keeps running queued
  // main-thread calls, and after each 15000 ms it shows the wait screen and purges unused
  // resources. False, logged, when the request can never succeed (a shared holder asking for the
  // lock exclusively) or the limit ran out.
  bool Acquire(u32 threadId, bool exclusive);
  bool Acquire(bool exclusive);
  // One attempt.
  bool TryAcquire(u32 threadId, bool exclusive);
  // Drops one hold of that thread; true when the lock became free. A thread that holds nothing
  // changes nothing and gets false.
  bool Release(u32 threadId);
  bool Release();

  u32 GetHolderCount();
  bool IsExclusive();
  u32 GetExclusiveWaiters();
  // Entries held by that thread.
  u32 CountHolds(u32 threadId);

 private:
  bool TryAcquireLocked(u32 threadId, bool exclusive);
  void ChangeExclusiveWaiters(i32 delta);

  const u32 waitLimitMs_;
  u32 holderCount_ = 0;
  bool exclusive_ = false;
  u32 exclusiveWaiters_ = 0;
  Qel::CriticalSection guard_;
  Qel::WEvent changedEvent_{true, true};
  ChunkedList<u32, 13> holders_;
};

// The process-wide instance.
ReadWriteLock& GetReadWriteLock();

// A mutex that counts how deep it is held.
class CountedMutex {
 public:
  void Lock();
  void Unlock();
  u32 GetLockCount() const { return count_.load(); }

 private:
  Qel::Mutex mutex_;
  std::atomic<u32> count_{0};
};
