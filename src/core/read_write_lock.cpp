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
[[maybe_unused]] ReadWriteLock& g_process_lock = GetReadWriteLock();

}  // namespace

ReadWriteLock& GetReadWriteLock() {
  static ReadWriteLock* lock = new ReadWriteLock;
  return *lock;
}

bool ReadWriteLock::TryAcquire(u32 thread_id, bool exclusive) {
  Qel::SingleLock guard(guard_);
  return TryAcquireLocked(thread_id, exclusive);
}

bool ReadWriteLock::TryAcquireLocked(u32 thread_id, bool exclusive) {
  bool granted;
  if (holder_count_ == 0) {
    granted = exclusive || exclusive_waiters_ == 0;
  } else {
    u32 mine = 0;
    for (auto it = holders_.Begin(); !it.IsEnd(); it.Next()) mine += *it == thread_id;
    if (mine == 0) {
      granted = !exclusive && !exclusive_ && exclusive_waiters_ == 0;
    } else if (!exclusive) {
      granted = true;
    } else {
      granted = exclusive_ && mine == holder_count_;
    }
  }
  if (!granted) return false;
  ++holder_count_;
  if (exclusive) exclusive_ = true;
  holders_.PushBack(thread_id);
  changed_event_.Reset();
  return true;
}

bool ReadWriteLock::Acquire(bool exclusive) { return Acquire(Qel::Thread::CurrentId(), exclusive); }

bool ReadWriteLock::Acquire(u32 thread_id, bool exclusive) {
  {
    Qel::SingleLock guard(guard_);
    if (TryAcquireLocked(thread_id, exclusive)) return true;
    // A holder's own entries cannot go away while it waits here, so a shared holder that asks
    // for the lock exclusively would wait for ever.
    if (exclusive && !exclusive_ && !holders_.Find(thread_id).IsEnd()) {
      guard.Unlock();
      LogPrintf("ReadWriteLock: thread %u holds the lock shared and may not take it exclusively",
                thread_id);
      return false;
    }
  }

  const bool on_main = IsMainThread();
  u32 noted_ms = Qel::Time::Ms();
  bool screen_shown = false;
  if (exclusive) ChangeExclusiveWaiters(1);

  for (i32 n = -100; !TryAcquire(thread_id, exclusive); ++n) {
    Qel::Sleep(u32(std::clamp(n / 10, 0, 20)));
    if (!on_main) continue;
    const u32 now = Qel::Time::Ms();
    if (now - noted_ms > kWaitScreenIntervalMs) {
      noted_ms = now;
      if (screen_shown) {
        BlockingScreen::Get().Refresh();
      } else {
        BlockingScreen::Get().Show();
        screen_shown = true;
      }
      CollectResourceGarbage();
    }
    GetDispatcher().RunNextCall(0);
  }

  if (screen_shown) {
    BlockingScreen& screen = BlockingScreen::Get();
    if (screen.HasDisplay()) screen.Hide();
  }
  if (exclusive) ChangeExclusiveWaiters(-1);
  return true;
}

void ReadWriteLock::ChangeExclusiveWaiters(i32 delta) {
  Qel::SingleLock guard(guard_);
  exclusive_waiters_ = u32(i32(exclusive_waiters_) + delta);
}

bool ReadWriteLock::Release() { return Release(Qel::Thread::CurrentId()); }

bool ReadWriteLock::Release(u32 thread_id) {
  Qel::SingleLock guard(guard_);
  auto entry = holders_.Find(thread_id);
  if (entry.IsEnd()) return false;
  holders_.Erase(entry);
  --holder_count_;
  const bool now_free = holder_count_ == 0;
  if (now_free) exclusive_ = false;
  changed_event_.Set();
  return now_free;
}

u32 ReadWriteLock::GetHolderCount() {
  Qel::SingleLock guard(guard_);
  return holder_count_;
}

bool ReadWriteLock::IsExclusive() {
  Qel::SingleLock guard(guard_);
  return exclusive_;
}

u32 ReadWriteLock::GetExclusiveWaiters() {
  Qel::SingleLock guard(guard_);
  return exclusive_waiters_;
}

u32 ReadWriteLock::CountHolds(u32 thread_id) {
  Qel::SingleLock guard(guard_);
  u32 mine = 0;
  for (auto it = holders_.Begin(); !it.IsEnd(); it.Next()) mine += *it == thread_id;
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
