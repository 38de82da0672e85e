#include "core/tcx_dispatcher.h"

#include <algorithm>

#include "core/app_globals.h"
#include "core/core_statics.h"
#include "core/crash_guard.h"
#include "core/read_write_lock.h"
#include "qel/pstring.h"
#include "qel/time.h"

namespace {

constexpr u32 kWorkerIdleLimitMs = 30000;
constexpr f32 kWorkerStartSpacingSeconds = 5.0f;

// Set from the first wake-up message until the main thread next services its queue, so that one
// message is posted per service however many calls arrive.
std::atomic<bool> g_mainWoken{false};

void WakeMainThread() {
  if (!g_mainWoken.exchange(true)) PostMainThreadMessage(kMainThreadWakeMessage, 0, 0);
  MainThreadEvent().Set();
}

void DropHolds(const std::vector<ReadWriteLock*>& holds) {
  for (ReadWriteLock* lock : holds) lock->Release();
}

}  // namespace

void TCXDoneRecord::Mark(State state) {
  state_.store(state);
  marked_.Set();
}

TCXDoneRecord::State TCXDoneRecord::Wait() {
  marked_.Wait();
  return state_.load();
}

TCXDispatcher::TCXDispatcher(const char* name) : name_(name) {}

TCXDispatcher::~TCXDispatcher() { Close(); }

u32 TCXDispatcher::CurrentThreadClass() { return IsMainThread() ? kWorkerOnly : kMainThreadOnly; }

bool TCXDispatcher::Dispatch(intptr_t argument, u32 flags, const TCXCallback& call,
                             ReadWriteLock* releaseLock) {
  const bool async = (flags & kAsync) != 0;
  if (!async && (flags & CurrentThreadClass()) == 0) {
    CrashGuardedInvoke(call, argument);
    return true;
  }
  TCXDoneRecord done;
  {
    Qel::SingleLock guard(lock_);
    if (stop_.load()) {
      // Nothing runs once stopped; a waiter would wait for ever.
      guard.Unlock();
      if (releaseLock != nullptr) releaseLock->Release();
      return false;
    }
    queue_.PushBack(TCXJob{call, argument, releaseLock, flags, async ? nullptr : &done});
  }
  if ((flags & kMainThreadOnly) != 0) {
    WakeMainThread();
  } else {
    WakeWorker();
  }
  if (async) return true;
  return done.Wait() == TCXDoneRecord::kDone;
}

u32 TCXDispatcher::RunNextCall(u32 runnerFlags) {
  if (stop_.load()) return 0;
  const u32 threadClass = CurrentThreadClass();
  const u32 mask = runnerFlags | threadClass;
  const bool onMain = threadClass == kWorkerOnly;
  if (onMain) {
    // Cleared before the queue is read, so a call queued from now on wakes the thread again.
    g_mainWoken.store(false);
    MainThreadEvent().Reset();
  }

  TCXJob job;
  bool taken = false;
  bool passedOver = false;
  u32 queued;
  {
    Qel::SingleLock guard(lock_);
    queued = queue_.Count();
    if (queued == 0) workEvent_.Reset();
    for (auto it = queue_.Begin(); !it.IsEnd(); it.Next()) {
      if ((it->flags & mask) != 0) {
        passedOver = true;
        continue;
      }
      job = std::move(*it);
      queue_.Erase(it);
      running_.push_back(Running{&job, Qel::Thread::CurrentId()});
      taken = true;
      break;
    }
  }
  if (passedOver && onMain) WakeWorker();
  if (!taken) return 0;

  if (job.call.IsSet()) CrashGuardedInvoke(job.call, job.argument);
  if (job.done != nullptr) job.done->Mark(TCXDoneRecord::kDone);
  {
    Qel::SingleLock guard(lock_);
    auto it = std::find_if(running_.begin(), running_.end(),
                           [&job](const Running& r) { return r.job == &job; });
    if (it != running_.end()) running_.erase(it);
  }
  completionEvent_.Pulse();
  return queued - 1;
}

bool TCXDispatcher::HasPendingCalls() {
  Qel::SingleLock guard(lock_);
  return !queue_.IsEmpty();
}

bool TCXDispatcher::IsRunning(intptr_t argument) {
  Qel::SingleLock guard(lock_);
  return std::any_of(running_.begin(), running_.end(),
                     [argument](const Running& r) { return r.job->argument == argument; });
}

bool TCXDispatcher::HasRunningElsewhere(intptr_t argument) {
  const u32 me = Qel::Thread::CurrentId();
  Qel::SingleLock guard(lock_);
  return std::any_of(running_.begin(), running_.end(), [argument, me](const Running& r) {
    return r.job->argument == argument && r.threadId != me;
  });
}

template <class Pred>
void TCXDispatcher::DropQueuedLocked(Pred drop, std::vector<ReadWriteLock*>* holds) {
  for (auto it = queue_.Begin(); !it.IsEnd();) {
    if (!drop(*it)) {
      it.Next();
      continue;
    }
    if (it->releaseLock != nullptr) holds->push_back(it->releaseLock);
    if (it->done != nullptr) it->done->Mark(TCXDoneRecord::kCancelled);
    it = queue_.Erase(it);
  }
}

void TCXDispatcher::CancelCalls(intptr_t argument, bool wait) {
  std::vector<ReadWriteLock*> holds;
  {
    Qel::SingleLock guard(lock_);
    DropQueuedLocked([argument](const TCXJob& job) { return job.argument == argument; }, &holds);
  }
  DropHolds(holds);
  if (!wait) return;
  // A job of the calling thread itself cannot finish while it waits here. The bounded wait
  // covers a pulse that comes between the test and the wait.
  while (HasRunningElsewhere(argument)) completionEvent_.Wait(10);
}

void TCXDispatcher::Shutdown() {
  std::vector<ReadWriteLock*> holds;
  {
    Qel::SingleLock guard(lock_);
    stop_.store(true);
    DropQueuedLocked([](const TCXJob& job) { return job.done != nullptr; }, &holds);
  }
  DropHolds(holds);

  const u32 me = Qel::Thread::CurrentId();
  const auto othersRemain = [this, me] {
    return std::any_of(workers_.begin(), workers_.end(),
                       [me](const std::unique_ptr<Qel::Thread>& t) { return t->GetId() != me; });
  };
  Qel::SingleLock guard(workerLock_);
  ReapWorkers();
  while (othersRemain()) {
    guard.Unlock();
    workEvent_.Set();
    Qel::Sleep(10);
    guard.Lock();
    ReapWorkers();
  }
}

void TCXDispatcher::Close() {
  std::vector<ReadWriteLock*> holds;
  {
    Qel::SingleLock guard(lock_);
    DropQueuedLocked([](const TCXJob&) { return true; }, &holds);
  }
  DropHolds(holds);
  Shutdown();
}

void TCXDispatcher::WakeWorker() {
  {
    Qel::SingleLock guard(workerLock_);
    ReapWorkers();
    u32 idle;
    f32 lastChange;
    {
      Qel::SingleLock idleGuard(idleLock_);
      idle = idleWorkers_;
      lastChange = lastWorkerChange_;
    }
    if (!stop_.load() && idle == 0 &&
        (activeWorkers_ == 0 ||
         GetApplicationTimeF32() - lastChange > kWorkerStartSpacingSeconds)) {
      StartWorker();
    }
  }
  workEvent_.Set();
}

u32 TCXDispatcher::GetWorkerCount() {
  Qel::SingleLock guard(workerLock_);
  return u32(workers_.size());
}

void TCXDispatcher::StartWorker() {
  {
    Qel::SingleLock idleGuard(idleLock_);
    lastWorkerChange_ = GetApplicationTimeF32();
  }
  auto worker = std::make_unique<Qel::Thread>([this](Qel::Thread&) { return WorkerMain(); });
  worker->SetPriority(workerPriority_);
  Qel::SingleLock guard(workerLock_);
  // Counted before it runs, since a worker that leaves takes itself off under this lock.
  ++activeWorkers_;
  if (!worker->Start()) {
    --activeWorkers_;
    return;
  }
  workers_.push_back(std::move(worker));
}

void TCXDispatcher::SetIdleCount(i32 delta) {
  Qel::SingleLock idleGuard(idleLock_);
  idleWorkers_ = u32(i32(idleWorkers_) + delta);
  if (idleWorkers_ != 0) lastWorkerChange_ = GetApplicationTimeF32();
}

bool TCXDispatcher::HasWorkerJobLocked() {
  for (auto it = queue_.Begin(); !it.IsEnd(); it.Next()) {
    if ((it->flags & kMainThreadOnly) == 0) return true;
  }
  return false;
}

i32 TCXDispatcher::WorkerMain() {
  for (;;) {
    while (RunNextCall(0) != 0) {
    }
    SetIdleCount(1);
    if (!stop_.load() && workEvent_.Wait(kWorkerIdleLimitMs)) {
      SetIdleCount(-1);
      continue;
    }
    // Leaving is decided under the worker lock, where WakeWorker decides whether to start a
    // worker: a job queued before this point is seen here, one queued after it finds no active
    // worker and starts one.
    Qel::SingleLock guard(workerLock_);
    SetIdleCount(-1);
    if (!stop_.load()) {
      Qel::SingleLock queueGuard(lock_);
      if (HasWorkerJobLocked()) continue;
    }
    --activeWorkers_;
    return 0;
  }
}

void TCXDispatcher::ReapWorkers() {
  Qel::SingleLock guard(workerLock_);
  std::erase_if(workers_, [](const std::unique_ptr<Qel::Thread>& t) { return !t->IsRunning(); });
}

void PumpMainThread() {
  static const f64 start = Qel::Time::GetSeconds();
  SetApplicationTime(Qel::Time::GetSeconds() - start);
  TCXDispatcher& dispatcher = GetDispatcher();
  for (u32 n = dispatcher.RunNextCall(0); n != 0; --n) {
    if (dispatcher.RunNextCall(0) == 0) break;
  }
  Qel::PStringCache::CollectGarbage();
}

bool WaitForMainThreadWork(u32 timeoutMs) { return MainThreadEvent().Wait(timeoutMs); }

KestroWorkerCallChain::KestroWorkerCallChain() = default;

KestroWorkerCallChain::~KestroWorkerCallChain() {
  {
    Qel::SingleLock guard(lock_);
    closing_ = true;
  }
  if (TCXDispatcher* dispatcher = dispatcher_.load()) {
    dispatcher->CancelCalls(reinterpret_cast<intptr_t>(this), true);
  }
}

void KestroWorkerCallChain::AddCall(u32 flags, intptr_t chain, const TCXCallback& call) {
  Qel::SingleLock guard(lock_);
  steps_.push_back(TCXJob{call, chain, nullptr, flags | TCXDispatcher::kAsync, nullptr});
}

void KestroWorkerCallChain::Start() {
  {
    Qel::SingleLock guard(lock_);
    if (steps_.empty()) return;
  }
  doneEvent_.Reset();
  running_.store(true);
  dispatcher_.store(&GetDispatcher());
  RunNext();
}

void KestroWorkerCallChain::RunNext() {
  {
    // Held across the dispatch, so that the destructor either sees the step queued or stops
    // the chain before it is.
    Qel::SingleLock guard(lock_);
    TCXDispatcher* dispatcher = dispatcher_.load();
    if (!steps_.empty() && !closing_ && dispatcher != nullptr &&
        dispatcher->Dispatch(reinterpret_cast<intptr_t>(this), steps_.front().flags,
                             TCXCallback(this, &KestroWorkerCallChain::RunFront))) {
      return;
    }
  }
  running_.store(false);
  doneEvent_.Set();
}

void KestroWorkerCallChain::RunFront(intptr_t) {
  TCXCallback step;
  {
    Qel::SingleLock guard(lock_);
    if (steps_.empty()) return;
    step = steps_.front().call;
  }
  CrashGuardedInvoke(step, 0);
  {
    Qel::SingleLock guard(lock_);
    steps_.pop_front();
  }
  step.Reset();
  RunNext();
}

bool KestroWorkerCallChain::WaitUntilDone() {
  bool done = doneEvent_.Wait(0);
  while (!done) {
    TCXDispatcher* dispatcher = dispatcher_.load();
    if (dispatcher == nullptr || dispatcher->IsStopping()) return doneEvent_.Wait(0);
    const bool ran = dispatcher->RunNextCall(0) != 0;
    done = doneEvent_.Wait(ran ? 0 : 10);
  }
  return true;
}
