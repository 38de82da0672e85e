// A mutex that can tell whether the calling thread holds it, so that code which must run under
// it can say so and the test build checks it. Costs one relaxed store at each lock and unlock.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace PymDaemonSrv {

class OwnedMutex {
 public:
#if defined(__SANITIZE_THREAD__)
  // A std::mutex ends without telling ThreadSanitizer, which would take a lock made later at the
  // same address (a reused stack frame) for this one and join two objects' lock orders.
  ~OwnedMutex() { __tsan_mutex_destroy(&mutex_, 0); }
#endif
  // The lower-case names are the ones std::unique_lock and std::lock_guard call.
  void lock() {  // NOLINT(readability-identifier-naming): the standard lock interface
    mutex_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }
  bool try_lock() {  // NOLINT(readability-identifier-naming): the standard lock interface
    if (!mutex_.try_lock()) return false;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
  }
  void unlock() {  // NOLINT(readability-identifier-naming): the standard lock interface
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
  }
  // Only the holder writes its own id, so another thread never reads that id by mistake.
  bool IsHeldByThisThread() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

 private:
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
};

}  // namespace PymDaemonSrv
