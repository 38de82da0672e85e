#include "qel/semaphore.h"

#include <chrono>

#include "qel/wait_hub.h"

namespace Qel {

namespace WaitHub {

std::mutex& Mutex() {
  static std::mutex mutex;
  return mutex;
}

std::condition_variable& Condition() {
  static std::condition_variable condition;
  return condition;
}

}  // namespace WaitHub

Semaphore::Semaphore(i32 initialCount, i32 maximumCount)
    : count_(initialCount < 0 ? 0 : initialCount), maximum_(maximumCount < 1 ? 1 : maximumCount) {
  if (count_ > maximum_) count_ = maximum_;
}

bool Semaphore::Acquire(u32 timeoutMs) {
  std::unique_lock<std::mutex> hold(WaitHub::Mutex());
  auto available = [this] { return count_ > 0; };
  if (timeoutMs == kInfinite) {
    WaitHub::Condition().wait(hold, available);
  } else if (!WaitHub::Condition().wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                            available)) {
    return false;
  }
  --count_;
  return true;
}

bool Semaphore::Release(i32 count) {
  {
    std::lock_guard<std::mutex> hold(WaitHub::Mutex());
    if (count < 1 || count > maximum_ - count_) return false;
    count_ += count;
  }
  WaitHub::Condition().notify_all();
  return true;
}

i32 Semaphore::GetCount() const {
  std::lock_guard<std::mutex> hold(WaitHub::Mutex());
  return count_;
}

}  // namespace Qel
