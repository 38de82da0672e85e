// Events in the manner of Windows event objects, for threads of one process.
#pragma once

#include <condition_variable>
#include <mutex>

#include "qel/types.h"

namespace Qel {

// A timeout that never expires.
inline constexpr u32 kInfinite = 0xFFFFFFFF;

// A manual-reset event stays set until Reset and releases every waiter; an auto-reset event
// releases one waiter and resets itself as it does so.
//
// Waiters queue in arrival order. A release is recorded on the waiter itself, so a waiter that
// was released always returns true even when the event is reset again before it runs: no
// wake-up is lost, and no waiter returns without being released or timing out. A released
// waiter may destroy the event at once; destroying it while threads still wait is a caller error.
class WEvent {
 public:
  explicit WEvent(bool manualReset, bool initiallySet = false);
  ~WEvent();
  WEvent(const WEvent&) = delete;
  WEvent& operator=(const WEvent&) = delete;

  // Manual: sets the event and releases every waiter. Auto: releases the longest waiter, or
  // leaves the event set for the next Wait when nobody waits.
  void Set();
  void Reset();
  // Releases the threads waiting at this moment (manual: all; auto: the longest waiter) and
  // leaves the event reset. A thread that starts waiting afterwards is not released by it.
  void Pulse();
  // True when released, false when `timeoutMs` passed first. A timeout of 0 only tests.
  bool Wait(u32 timeoutMs = kInfinite);

  bool IsManualReset() const { return manualReset_; }
  // Threads blocked in Wait that have not been released yet. For diagnostics and tests.
  u32 GetWaiterCount() const;

 private:
  struct Waiter {
    Waiter* prev = nullptr;
    Waiter* next = nullptr;
    bool released = false;
  };

  void Unlink(Waiter* w);
  bool ReleaseFirstLocked();
  void ReleaseAllLocked();

  const bool manualReset_;
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  bool signalled_;
  // Waiters not yet released, oldest first.
  Waiter* head_ = nullptr;
  Waiter* tail_ = nullptr;
  u32 waiting_ = 0;
};

}  // namespace Qel
