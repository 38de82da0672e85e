#include "qel/multi_lock.h"

#include <algorithm>
#include <chrono>

#include "platform/invariant.h"
#include "qel/wait_hub.h"

namespace Qel {

namespace {

// Unlocking a lock does not wake the shared condition variable, so a MultiLock that found a
// lock taken looks again after this slice at the latest.
constexpr auto kLockRetry = std::chrono::milliseconds(1);

}  // namespace

MultiLock::MultiLock(std::initializer_list<Semaphore*> semaphores,
                     std::initializer_list<RecursiveLock*> locks)
    : semaphores_(semaphores), locks_(locks), held_(locks.size(), false) {}

MultiLock::~MultiLock() {
  for (size_t i = 0; i < locks_.size(); ++i) {
    if (held_[i]) locks_[i]->Unlock();
  }
}

bool MultiLock::Lock(u32 timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> hold(WaitHub::Mutex());
  for (;;) {
    const bool countsReady = std::all_of(semaphores_.begin(), semaphores_.end(),
                                         [](const Semaphore* s) { return s->count_ > 0; });
    bool locksTaken = false;
    if (countsReady) {
      size_t taken = 0;
      while (taken < locks_.size() && locks_[taken]->TryLock()) ++taken;
      locksTaken = taken == locks_.size();
      if (!locksTaken) {
        while (taken > 0) locks_[--taken]->Unlock();
      }
    }
    if (locksTaken) {
      for (Semaphore* s : semaphores_) --s->count_;
      std::fill(held_.begin(), held_.end(), true);
      return true;
    }
    auto wakeAt = countsReady ? Clock::now() + kLockRetry : Clock::time_point::max();
    if (timeoutMs != kInfinite) {
      if (Clock::now() >= deadline) return false;
      wakeAt = std::min(wakeAt, deadline);
    }
    if (wakeAt == Clock::time_point::max()) {
      WaitHub::Condition().wait(hold);
    } else {
      WaitHub::Condition().wait_until(hold, wakeAt);
    }
  }
}

void MultiLock::Unlock(RecursiveLock& lock) {
  for (size_t i = 0; i < locks_.size(); ++i) {
    if (locks_[i] == &lock && held_[i]) {
      held_[i] = false;
      lock.Unlock();
      return;
    }
  }
  KESTRO_ASSERT(!"unlocking a lock this MultiLock does not hold");
}

bool MultiLock::IsHeld(const RecursiveLock& lock) const {
  for (size_t i = 0; i < locks_.size(); ++i) {
    if (locks_[i] == &lock) return held_[i];
  }
  return false;
}

}  // namespace Qel
