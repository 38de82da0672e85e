// Engine threads: created suspended, started on request, asked (not forced) to end.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "qel/types.h"
#include "qel/wevent.h"

namespace Qel {

// Runs either an overridden Run() or the body given at construction on a thread of its own.
// Nothing runs until Start(). A thread object starts at most once.
//
// Destroying the object asks the thread to end and joins it; a thread must not destroy its own
// object (the process is stopped if it does). A subclass whose Run() touches its
// own members must join in its own destructor, since those members are gone by the time this
// destructor runs. An exception that leaves Run() ends the process, as an unhandled one does on
// any thread.
class Thread {
 public:
  using Body = std::function<i32(Thread&)>;

  Thread();
  explicit Thread(Body body);
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the thread. False when it was started before or the system refused a new thread.
  bool Start();
  // Sets the end request that Run() is expected to poll through IsEndRequested().
  void RequestEnd() { endRequested_.store(true); }
  bool IsEndRequested() const { return endRequested_.load(); }
  // Waits for the thread to finish. True when it has finished or was never started; false on
  // time-out, or when called from the thread itself (which could never finish waiting).
  bool Join(u32 timeoutMs = kInfinite);
  // True from a successful Start() until Run() has returned.
  bool IsRunning() const { return running_.load(); }
  // The id the thread has as Thread::CurrentId(); 0 before Start().
  u32 GetId() const { return id_.load(); }
  // The value Run() returned; 0 until it has.
  i32 GetExitCode() const { return exitCode_.load(); }
  // Recorded only: every thread runs at the system's normal priority.
  void SetPriority(i32 priority) { priority_.store(priority); }
  i32 GetPriority() const { return priority_.load(); }

  // A per-thread id, never 0, never shared with another thread of this process.
  static u32 CurrentId();

 protected:
  // Runs the body given at construction; returns 0 when there is none.
  virtual i32 Run();

 private:
  void Main(u32 id);

  Body body_;
  std::mutex mutex_;
  std::condition_variable finishedCond_;
  std::thread thread_;
  bool started_ = false;
  bool finished_ = false;
  std::atomic<bool> running_{false};
  std::atomic<bool> endRequested_{false};
  std::atomic<u32> id_{0};
  std::atomic<i32> exitCode_{0};
  std::atomic<i32> priority_{0};
};

// Suspends the calling thread for `ms` milliseconds; 0 yields the rest of its time slice.
void Sleep(u32 ms);

}  // namespace Qel
