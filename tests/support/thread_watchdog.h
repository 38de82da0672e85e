// Bounded waits for the concurrency tests: a limit only keeps a broken build from hanging the
// suite, it is never what a test asserts on.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <utility>

namespace watchdog {

// Far above any wait a working build has: under CI's side builds six validations queued behind
// one command host took over 20 s.
inline constexpr auto kLimit = std::chrono::seconds(60);

// Polls until `pred` holds; false when the limit passed first.
template <typename Pred>
bool Eventually(Pred pred) {
  const auto limit = std::chrono::steady_clock::now() + kLimit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A thread running `body` that reports when it has returned. Joining a thread that never
// returns stops the whole test program with a message instead of hanging it.
class Task {
 public:
  explicit Task(std::function<void()> body)
      : thread_([this, body = std::move(body)] {
          body();
          done_.store(true);
        }) {}
  ~Task() { Join(); }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  bool Done() const { return done_.load(); }
  void Join() {
    if (!thread_.joinable()) return;
    if (!Eventually([this] { return Done(); })) {
      std::fputs("watchdog: a test thread never returned\n", stderr);
      std::abort();
    }
    thread_.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace watchdog
