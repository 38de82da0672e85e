#include "mesh/overlapped_resource_system.h"

#include <algorithm>

#include "platform/invariant.h"
#include "qel/multi_lock.h"
#include "qel/time.h"

namespace {

std::atomic<OverlappedResourceSystem*> g_globalSystem{nullptr};

// Serialises completions of requests that belong to no system.
Qel::CriticalSection& DetachedLock() {
  static Qel::CriticalSection lock;
  return lock;
}

// Serve and Finish on the owner's thread, from state 3, 5 or an untried 0; the slot is held.
bool CompleteHeld(OverlappedResource& r, std::atomic<i32>& state, std::atomic<bool>& attempted) {
  i32 now = state.load();
  if (now == OverlappedResource::kComplete) return true;
  if (now != OverlappedResource::kServed) {
    if (r.IsAbandoned() || (now == OverlappedResource::kIdle && attempted.load())) {
      state.store(OverlappedResource::kIdle);
      return false;
    }
    attempted.store(true);
    if (!r.Serve()) {
      state.store(OverlappedResource::kIdle);
      return false;
    }
    state.store(OverlappedResource::kServed);
  }
  now = r.Finish() ? OverlappedResource::kComplete : OverlappedResource::kIdle;
  state.store(now);
  return now == OverlappedResource::kComplete;
}

}  // namespace

// Holds the keyed slot of a request (or the detached lock) for a scope.
class OverlappedResourceSystem::SlotHold {
 public:
  SlotHold(OverlappedResourceSystem* system, OverlappedResource* key)
      : system_(system), slot_(system ? &system->TakeSlot(key) : nullptr) {
    if (!system_) DetachedLock().Lock();
  }
  ~SlotHold() {
    if (system_) {
      system_->ReleaseSlot(*slot_);
    } else {
      DetachedLock().Unlock();
    }
  }
  SlotHold(const SlotHold&) = delete;
  SlotHold& operator=(const SlotHold&) = delete;

 private:
  OverlappedResourceSystem* system_;
  Slot* slot_;
};

OverlappedResourceSystem::OverlappedResourceSystem() {
  heap_.reserve(kQueueCapacity);
  thread_ = std::make_unique<Qel::Thread>([this](Qel::Thread& t) { return RunWorker(t); });
  thread_->Start();
  g_globalSystem.store(this);
}

OverlappedResourceSystem::~OverlappedResourceSystem() {
  thread_->RequestEnd();
  // Cleared only now: once the system is no longer global, its worker takes no new request.
  OverlappedResourceSystem* self = this;
  g_globalSystem.compare_exchange_strong(self, nullptr);
  {
    Qel::SingleLock queue(queueLock_);
    stopping_ = true;
    workAvailable_.Release();  // wakes the worker at once
  }
  thread_->Join();
  // A worker that never ran leaves its queue behind; either way nothing stays queued.
  {
    Qel::SingleLock queue(queueLock_);
    for (OverlappedResource* r : heap_) r->state_.store(OverlappedResource::kWithdrawn);
    heap_.clear();
  }
  Qel::SingleLock state(stateLock_);
  for (OverlappedResource* r : activeRequests_) r->system_.store(nullptr);
  activeRequests_.clear();
}

OverlappedResourceSystem* OverlappedResourceSystem::GetGlobal() { return g_globalSystem.load(); }

bool OverlappedResourceSystem::Queue(OverlappedResourceSystem* system, Overlapped& handle,
                                     const char* name, uintptr_t userData,
                                     OverlappedResourceCallback::Function serveFn,
                                     OverlappedResourceCallback::Function finishFn) {
  if (handle.request_) {
    handle.request_->abandon_.store(true);
    Complete(handle.request_);
    handle.DestroyRequest();
  }
  auto* request = new OverlappedResourceCallback(name, userData, serveFn, finishFn);
  request->handle_ = &handle;
  request->system_.store(system);
  handle.request_ = request;
  if (!system) return false;
  {
    Qel::SingleLock state(system->stateLock_);
    system->activeRequests_.insert(request);
  }
  return system->Enqueue(*request);
}

bool OverlappedResourceSystem::Enqueue(OverlappedResource& request) {
  Qel::SingleLock queue(queueLock_);
  if (stopping_ || heap_.size() >= kQueueCapacity ||
      request.state_.load() == OverlappedResource::kQueued) {
    return false;
  }
  request.state_.store(OverlappedResource::kQueued);
  heap_.push_back(&request);
  SiftUp(heap_.size() - 1);
  // Only a real enqueue is signalled, and under the queue lock, so that the count the worker
  // takes always matches a request in the heap.
  workAvailable_.Release();
  return true;
}

void OverlappedResourceSystem::Withdraw(OverlappedResource& request) {
  Qel::SingleLock queue(queueLock_);
  const i32 state = request.state_.load();
  if (state == OverlappedResource::kQueued) {
    const auto at = std::find(heap_.begin(), heap_.end(), &request);
    KESTRO_ASSERT(at != heap_.end());
    if (at != heap_.end()) {
      const size_t index = size_t(at - heap_.begin());
      heap_[index] = heap_.back();
      heap_.pop_back();
      if (index < heap_.size()) {
        SiftUp(index);
        SiftDown(index);
      }
      const bool taken = workAvailable_.TryAcquire();
      KESTRO_ASSERT(taken);
      (void)taken;
    }
    request.state_.store(OverlappedResource::kWithdrawn);
  } else if (state == OverlappedResource::kServing) {
    // The worker holds runLock until it has served the request.
    queue.Unlock();
    Qel::SingleLock run(runLock_);
  }
}

bool OverlappedResourceSystem::Complete(OverlappedResource* request) {
  if (!request) return false;
  OverlappedResourceSystem* system = request->system_.load();
  if (system) system->Withdraw(*request);
  if (request->state_.load() == OverlappedResource::kComplete) return true;
  SlotHold hold(system, request);
  return CompleteHeld(*request, request->state_, request->attempted_);
}

void OverlappedResourceSystem::Unbind(OverlappedResource& request) {
  Qel::SingleLock state(stateLock_);
  activeRequests_.erase(&request);
}

i32 OverlappedResourceSystem::RunWorker(Qel::Thread& thread) {
  while (!thread.IsEndRequested()) {
    // A short pause per pass keeps the worker from starving the threads that queue.
    Qel::Sleep(1);
    Qel::MultiLock all({&workAvailable_}, {&queueLock_, &runLock_});
    if (!all.Lock(1000)) continue;
    // A wake-up without work (shutting down), or the end asked for while waiting.
    if (heap_.empty() || thread.IsEndRequested()) continue;
    OverlappedResource* current = nullptr;
    Dequeue(current);
    all.Unlock(queueLock_);
    current->attempted_.store(true);
    const bool served = current->Serve();
    {
      Qel::SingleLock state(stateLock_);
      current->state_.store(served ? OverlappedResource::kServed : OverlappedResource::kIdle);
    }
  }
  // Requests still queued go back to their owners, who serve them on their own threads.
  Qel::SingleLock queue(queueLock_);
  for (OverlappedResource* r : heap_) r->state_.store(OverlappedResource::kWithdrawn);
  heap_.clear();
  while (workAvailable_.TryAcquire()) {
  }
  return 0;
}

void OverlappedResourceSystem::Dequeue(OverlappedResource*& current) {
  const f64 now = Qel::Time::GetSeconds();
  for (OverlappedResource* r : heap_) r->wait_ = f32(now - r->queuedAt_);
  for (size_t i = 1; i < heap_.size(); ++i) SiftUp(i);
  current = heap_.front();
  current->state_.store(OverlappedResource::kServing);
  heap_.front() = heap_.back();
  heap_.pop_back();
  if (!heap_.empty()) SiftDown(0);
}

void OverlappedResourceSystem::SiftUp(size_t index) {
  while (index > 0) {
    const size_t parent = (index - 1) / 2;
    if (!(heap_[parent]->wait_ < heap_[index]->wait_)) break;
    std::swap(heap_[parent], heap_[index]);
    index = parent;
  }
}

void OverlappedResourceSystem::SiftDown(size_t index) {
  for (;;) {
    const size_t left = 2 * index + 1;
    if (left >= heap_.size()) return;
    size_t child = left;
    if (left + 1 < heap_.size() && heap_[left + 1]->wait_ >= heap_[left]->wait_) child = left + 1;
    if (!(heap_[child]->wait_ >= heap_[index]->wait_)) return;
    std::swap(heap_[child], heap_[index]);
    index = child;
  }
}

OverlappedResourceSystem::Slot& OverlappedResourceSystem::TakeSlot(OverlappedResource* key) {
  auto findKey = [&]() -> Slot* {
    for (Slot& slot : slots_) {
      if (slot.users > 0 && slot.key == key) return &slot;
    }
    return nullptr;
  };
  slotTableLock_.Lock();
  Slot* slot = findKey();
  if (!slot) {
    // Wait for a free slot without the table lock, which every release needs, then look again.
    slotTableLock_.Unlock();
    freeSlots_.Acquire();
    slotTableLock_.Lock();
    slot = findKey();
    if (slot) {
      freeSlots_.Release();
    } else {
      for (Slot& free : slots_) {
        if (free.users == 0) {
          slot = &free;
          break;
        }
      }
      KESTRO_ASSERT(slot);
      slot->key = key;
    }
  }
  ++slot->users;
  slotTableLock_.Unlock();
  slot->section.Lock();
  return *slot;
}

void OverlappedResourceSystem::ReleaseSlot(Slot& slot) {
  slot.section.Unlock();
  Qel::SingleLock table(slotTableLock_);
  if (--slot.users == 0) {
    slot.key = nullptr;
    freeSlots_.Release();
  }
}

u32 OverlappedResourceSystem::GetQueuedCount() const {
  Qel::SingleLock queue(queueLock_);
  return u32(heap_.size());
}

u32 OverlappedResourceSystem::GetActiveCount() const {
  Qel::SingleLock state(stateLock_);
  return u32(activeRequests_.size());
}

u32 OverlappedResourceSystem::GetSlotsInUse() const {
  Qel::SingleLock table(slotTableLock_);
  u32 used = 0;
  for (const Slot& slot : slots_) used += slot.users > 0 ? 1 : 0;
  return used;
}
