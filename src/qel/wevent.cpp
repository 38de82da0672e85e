#include "qel/wevent.h"

#include <chrono>

namespace Qel {

WEvent::WEvent(bool manualReset, bool initiallySet)
    : manualReset_(manualReset), signalled_(initiallySet) {}

WEvent::~WEvent() = default;

void WEvent::Unlink(Waiter* w) {
  (w->prev ? w->prev->next : head_) = w->next;
  (w->next ? w->next->prev : tail_) = w->prev;
  w->prev = w->next = nullptr;
  --waiting_;
}

bool WEvent::ReleaseFirstLocked() {
  if (head_ == nullptr) return false;
  Waiter* w = head_;
  Unlink(w);
  w->released = true;
  return true;
}

void WEvent::ReleaseAllLocked() {
  while (ReleaseFirstLocked()) {
  }
}

// Notifying under the lock lets a released waiter destroy the event as soon as it returns.
void WEvent::Set() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (manualReset_) {
    signalled_ = true;
    ReleaseAllLocked();
  } else if (!ReleaseFirstLocked()) {
    signalled_ = true;
  }
  cond_.notify_all();
}

void WEvent::Reset() {
  std::lock_guard<std::mutex> guard(mutex_);
  signalled_ = false;
}

void WEvent::Pulse() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (manualReset_) {
    ReleaseAllLocked();
  } else {
    ReleaseFirstLocked();
  }
  signalled_ = false;
  cond_.notify_all();
}

bool WEvent::Wait(u32 timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (signalled_) {
    if (!manualReset_) signalled_ = false;
    return true;
  }
  if (timeoutMs == 0) return false;

  Waiter self;
  self.prev = tail_;
  (tail_ ? tail_->next : head_) = &self;
  tail_ = &self;
  ++waiting_;

  const auto released = [&self] { return self.released; };
  if (timeoutMs == kInfinite) {
    cond_.wait(lock, released);
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  if (cond_.wait_until(lock, deadline, released)) return true;
  Unlink(&self);
  return false;
}

u32 WEvent::GetWaiterCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return waiting_;
}

}  // namespace Qel
