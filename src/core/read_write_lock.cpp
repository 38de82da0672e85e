#include "core/read_write_lock.h"

#include <algorithm>

#include "core/app_globals.h"
#include "core/blocking_screen.h"
#include "core/core_statics.h"
#include "core/log_printf.h"
#include "core/main_thread_wait.h"
#include "core/tcx_dispatcher.h"
#include "qel/thread.h"
#include "qel/time.h"

namespace {

constexpr u32 kWaitScreenIntervalMs = 15000;

// Built during static initialisation and never destroyed: any thread may use it until the end.
[[maybe_unused]] ReadWriteLock& g_processLock = GetReadWriteLock();

}  // namespace

ReadWriteLock& GetReadWriteLock() {
  static ReadWriteLock* lock = new ReadWriteLock;
  return *lock;
}

bool ReadWriteLock::TryAcquire(u32 threadId, bool exclusive) {
  Qel::SingleLock guard(guard_);
  return TryAcquireLocked(threadId, exclusive);
}

bool ReadWriteLock::TryAcquireLocked(u32 threadId, bool exclusive) {
  bool granted;
  if (holderCount_ == 0) {
    granted = exclusive || exclusiveWaiters_ == 0;
  } else {
    u32 mine = 0;
    for (auto it = holders_.Begin(); !it.IsEnd(); it.Next()) mine += *it == threadId;
    if (mine == 0) {
      granted = !exclusive && !exclusive_ && exclusiveWaiters_ == 0;
    } else if (!exclusive) {
      granted = true;
    } else {
      granted = exclusive_ && mine == holderCount_;
    }
  }
  if (!granted) return false;
  ++holderCount_;
  if (exclusive) exclusive_ = true;
  holders_.PushBack(threadId);
  changedEvent_.Reset();
  return true;
}

bool ReadWriteLock::Acquire(bool exclusive) { return Acquire(Qel::Thread::CurrentId(), exclusive); }

bool ReadWriteLock::Acquire(u32 threadId, bool exclusive) {
  {
    Qel::SingleLock guard(guard_);
    if (TryAcquireLocked(threadId, exclusive)) return true;
    // A holder's own entries cannot go away while it waits here, so a shared holder that asks
    // for the lock exclusively would wait for ever.
    if (exclusive && !exclusive_ && !holders_.Find(threadId).IsEnd()) {
      guard.Unlock();
      LogPrintf("ReadWriteLock: thread %u holds the lock shared and may not take it exclusively",
                threadId);
      return false;
    }
  }

  const bool onMain = IsMainThread();
  const u32 beganMs = Qel::Time::Ms();
  u32 notedMs = beganMs;
  bool screenShown = false;
  bool granted = true;
  if (exclusive) ChangeExclusiveWaiters(1);

  for (i32 n = -100; !TryAcquire(threadId, exclusive); ++n) {
    // Measured by the clock, not by the pauses: the main-thread calls run between them count too.
    if (Qel::Time::Ms() - beganMs >= waitLimitMs_) {
      LogPrintf("ReadWriteLock: thread %u gave up after %u ms waiting for the lock %s; %u holds "
                "were not let go",
                threadId, waitLimitMs_, exclusive ? "exclusively" : "shared", GetHolderCount());
      granted = false;
      break;
    }
    Qel::Sleep(u32(std::clamp(n / 10, 0, 20)));
    if (!onMain) continue;
    const u32 now = Qel::Time::Ms();
    if (now - notedMs > kWaitScreenIntervalMs) {
      notedMs = now;
      if (screenShown) {
        BlockingScreen::Get().Refresh();
      } else {
        BlockingScreen::Get().Show();
        screenShown = true;
      }
      CollectResourceGarbage();
    }
    GetDispatcher().RunNextCall(0);
  }

  if (screenShown) {
    BlockingScreen& screen = BlockingScreen::Get();
    if (screen.HasDisplay()) screen.Hide();
  }
  if (exclusive) ChangeExclusiveWaiters(-1);
  return granted;
}

void ReadWriteLock::ChangeExclusiveWaiters(i32 delta) {
  Qel::SingleLock guard(guard_);
  exclusiveWaiters_ = u32(i32(exclusiveWaiters_) + delta);
}

bool ReadWriteLock::Release() { return Release(Qel::Thread::CurrentId()); }

bool ReadWriteLock::Release(u32 threadId) {
  Qel::SingleLock guard(guard_);
  auto entry = holders_.Find(threadId);
  if (entry.IsEnd()) return false;
  holders_.Erase(entry);
  --holderCount_;
  const bool nowFree = holderCount_ == 0;
  if (nowFree) exclusive_ = false;
  changedEvent_.Set();
  return nowFree;
}

u32 ReadWriteLock::GetHolderCount() {
  Qel::SingleLock guard(guard_);
  return holderCount_;
}

bool ReadWriteLock::IsExclusive() {
  Qel::SingleLock guard(guard_);
  return exclusive_;
}

u32 ReadWriteLock::GetExclusiveWaiters() {
  Qel::SingleLock guard(guard_);
  return exclusiveWaiters_;
}

u32 ReadWriteLock::CountHolds(u32 threadId) {
  Qel::SingleLock guard(guard_);
  u32 mine = 0;
  for (auto it = holders_.Begin(); !it.IsEnd(); it.Next()) mine += *it == threadId;
  return mine;
}

void CountedMutex::Lock() {
  mutex_.Lock();
  count_.fetch_add(1);
}

void CountedMutex::Unlock() {
  // Only the holder may unlock; a stray call must not corrupt the count.
  if (!mutex_.IsLockedByCurrentThread()) return;
  count_.fetch_sub(1);
  mutex_.Unlock();
}
