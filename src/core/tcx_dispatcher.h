// Handing calls to the thread class that may run them: the main thread or the dispatcher's own
// worker threads, waiting for the result or not.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "core/chunked_list.h"
#include "core/thread_call.h"
#include "qel/critical_section.h"
#include "qel/string.h"
#include "qel/thread.h"
#include "qel/types.h"
#include "qel/wevent.h"

class ReadWriteLock;

// How a waiting caller learns what became of its job. The job points at it until it is marked;
// marking is the last thing done to it, so the caller may return at once.
class TCXDoneRecord {
 public:
  enum State : u8 { kPending, kDone, kCancelled };

  void Mark(State state);
  State Wait();
  State Get() const { return state_.load(); }

 private:
  std::atomic<State> state_{kPending};
  Qel::WEvent marked_{true, false};
};

// One queued call.
struct TCXJob {
  TCXCallback call;
  intptr_t argument = 0;
  // One hold of it is dropped when the job is cancelled.
  ReadWriteLock* releaseLock = nullptr;
  u32 flags = 0;
  // Null for jobs nobody waits for.
  TCXDoneRecord* done = nullptr;
};

class TCXDispatcher {
 public:
  // A job may run on a thread when (flags AND (thread class OR runner flags)) is 0. The main
  // thread's class is kWorkerOnly, every other thread's kMainThreadOnly.
  static constexpr u32 kMainThreadOnly = 0x01;
  static constexpr u32 kExclusionB = 0x02;
  static constexpr u32 kExclusionC = 0x04;
  static constexpr u32 kAsync = 0x08;
  static constexpr u32 kWorkerOnly = 0x10;

  explicit TCXDispatcher(const char* name);
  ~TCXDispatcher();
  TCXDispatcher(const TCXDispatcher&) = delete;
  TCXDispatcher& operator=(const TCXDispatcher&) = delete;

  // Runs the call at once when the calling thread may run it and kAsync is clear; otherwise
  // queues it and, without kAsync, waits until it has run. False when the job was cancelled
  // before it ran, or refused because the dispatcher has stopped.
  bool Dispatch(intptr_t argument, u32 flags, const TCXCallback& call,
                ReadWriteLock* releaseLock = nullptr);
  // Runs at most one queued job that the calling thread may run. Returns the number of jobs
  // queued when it began minus one when it ran one, else 0 (always 0 once stopped).
  u32 RunNextCall(u32 runnerFlags);
  bool HasPendingCalls();
  bool IsRunning(intptr_t argument);
  // Removes the queued jobs with this argument, releasing their waiters. With `wait`, then waits
  // until no job with it runs on another thread.
  void CancelCalls(intptr_t argument, bool wait);
  // Stops running jobs, releases every waiting caller and waits for the workers to end.
  void Shutdown();
  // What process exit does: drops every queued job and shuts down.
  void Close();
  bool IsStopping() const { return stop_.load(); }

  void WakeWorker();
  u32 GetWorkerCount();
  const Qel::String& GetName() const { return name_; }

  // The class of the calling thread.
  static u32 CurrentThreadClass();

 private:
  struct Running {
    const TCXJob* job;
    u32 threadId;
  };

  void StartWorker();
  i32 WorkerMain();
  void ReapWorkers();
  // Under the dispatcher lock: removes queued jobs matching `drop`, marking their waiters
  // cancelled, and collects the release locks to drop once unlocked.
  template <class Pred>
  void DropQueuedLocked(Pred drop, std::vector<ReadWriteLock*>* holds);
  bool HasWorkerJobLocked();
  bool HasRunningElsewhere(intptr_t argument);
  void SetIdleCount(i32 delta);

  Qel::CriticalSection lock_;
  ChunkedList<TCXJob, 13> queue_;
  std::vector<Running> running_;
  Qel::CriticalSection workerLock_;
  std::vector<std::unique_ptr<Qel::Thread>> workers_;
  // Workers that have not decided to leave; guarded by the worker lock.
  u32 activeWorkers_ = 0;
  f32 lastWorkerChange_ = 0.0f;
  Qel::WEvent completionEvent_{true, false};
  Qel::WEvent workEvent_{false, false};
  i32 workerPriority_ = 0;
  std::atomic<bool> stop_{false};
  Qel::CriticalSection idleLock_;
  u32 idleWorkers_ = 0;
  Qel::String name_;
};

// Runs `count` pending main-thread calls or fewer and advances the application clock; then
// collects interned-string garbage. Main thread only.
void PumpMainThread();
// Waits up to `timeoutMs` for the main thread to have work; true when it has.
bool WaitForMainThreadWork(u32 timeoutMs);

// A fixed series of calls run one after another, each on the thread class its flags allow,
// without the starting thread waiting for them.
class KestroWorkerCallChain {
 public:
  KestroWorkerCallChain();
  // Cancels what is still queued and waits for a step that is running.
  ~KestroWorkerCallChain();
  KestroWorkerCallChain(const KestroWorkerCallChain&) = delete;
  KestroWorkerCallChain& operator=(const KestroWorkerCallChain&) = delete;

  void AddCall(u32 flags, intptr_t chain, const TCXCallback& call);
  // Runs the steps on the process dispatcher.
  void Start();
  void RunNext();
  void RunFront(intptr_t unused);
  // Services the dispatcher's queue until the last step has run. False when the dispatcher
  // stopped first, so the remaining steps will never run.
  bool WaitUntilDone();
  bool IsRunning() const { return running_.load(); }
  bool IsDone() { return doneEvent_.Wait(0); }

 private:
  std::atomic<bool> running_{false};
  Qel::CriticalSection lock_;
  bool closing_ = false;
  std::deque<TCXJob> steps_;
  Qel::WEvent doneEvent_{true, true};
  std::atomic<TCXDispatcher*> dispatcher_{nullptr};
};
