// A mutex whose lock may wait until a deadline. std::timed_mutex waits through
// pthread_mutex_clocklock, which the thread sanitizer of our compiler does not intercept, so each
// timed lock shows up there as "unlock of an unlocked mutex"; a flag under a plain mutex and a
// condition variable behaves the same and is seen whole.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace PymDaemonSrv {

class DeadlineMutex {
 public:
  // The lower-case names are the ones std::unique_lock and std::lock_guard call.
  void lock() {  // NOLINT(readability-identifier-naming): the standard lock interface
    std::unique_lock<std::mutex> guard(mutex_);
    freed_.wait(guard, [this] { return !held_; });
    held_ = true;
  }
  bool try_lock() {  // NOLINT(readability-identifier-naming): the standard lock interface
    std::lock_guard<std::mutex> guard(mutex_);
    if (held_) return false;
    held_ = true;
    return true;
  }
  template <class Clock, class Duration>
  bool try_lock_until(  // NOLINT(readability-identifier-naming): the standard lock interface
      const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (!freed_.wait_until(guard, deadline, [this] { return !held_; })) return false;
    held_ = true;
    return true;
  }
  void unlock() {  // NOLINT(readability-identifier-naming): the standard lock interface
    {
      std::lock_guard<std::mutex> guard(mutex_);
      held_ = false;
    }
    freed_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable freed_;
  bool held_ = false;
};

}  // namespace PymDaemonSrv
