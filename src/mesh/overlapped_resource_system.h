// The system that serves OverlappedResource requests on one worker thread. Nothing in this program
// creates one: callers find it through GetGlobal() and must cope with null, doing their work
// synchronously (Queue with a null system makes a request that Complete serves on the caller's
// thread).
//
// Locks, always taken in this order: queueLock (the heap), then stateLock (activeRequests and the
// worker's 2 -> 3 change). The worker holds runLock while it serves, so an owner that finds its
// request being served waits by taking runLock. At most 8 requests are completed on owner threads
// at once (keyed slots); more wait for a free slot without holding any lock. Destroy every handle
// before the system; requests still held then are detached and complete on their owners' threads.
#pragma once

#include <atomic>
#include <memory>
#include <set>
#include <vector>

#include "mesh/overlapped_resource.h"
#include "qel/critical_section.h"
#include "qel/semaphore.h"
#include "qel/thread.h"
#include "qel/types.h"

class OverlappedResourceSystem {
 public:
  static constexpr u32 kQueueCapacity = 5000;
  static constexpr u32 kSlotCount = 8;

  // Starts the worker and becomes the global system.
  OverlappedResourceSystem();
  virtual ~OverlappedResourceSystem();
  OverlappedResourceSystem(const OverlappedResourceSystem&) = delete;
  // A request leaves the system when it is destroyed.
  void Unbind(OverlappedResource& request);
  OverlappedResourceSystem& operator=(const OverlappedResourceSystem&) = delete;

  static OverlappedResourceSystem* GetGlobal();

  // Makes a callback request owned by the handle (replacing one it had, which is completed and
  // destroyed first) and queues it. False when it was not queued: no system, a full queue, or a
  // system shutting down; the request then waits for its owner to complete it.
  static bool Queue(OverlappedResourceSystem* system, Overlapped& handle, const char* name,
                    uintptr_t userData, OverlappedResourceCallback::Function serveFn,
                    OverlappedResourceCallback::Function finishFn);
  // Completes a request on the calling thread: takes it out of the queue, or waits for the worker
  // to finish serving it, or serves it here; then finishes it. True when it ends in state 4.
  static bool Complete(OverlappedResource* request);

  u32 GetQueuedCount() const;
  // Counts the worker may still take; equals the queued count whenever the queue is at rest.
  i32 GetWorkCount() const { return workAvailable_.GetCount(); }
  u32 GetActiveCount() const;
  u32 GetSlotsInUse() const;

 private:
  struct Slot {
    OverlappedResource* key = nullptr;
    u32 users = 0;
    Qel::CriticalSection section;
  };
  class SlotHold;

  bool Enqueue(OverlappedResource& request);
  void Withdraw(OverlappedResource& request);
  i32 RunWorker(Qel::Thread& thread);
  void Dequeue(OverlappedResource*& current);
  Slot& TakeSlot(OverlappedResource* key);
  void ReleaseSlot(Slot& slot);

  void SiftUp(size_t index);
  void SiftDown(size_t index);

  mutable Qel::CriticalSection stateLock_;
  // Every live request queued on this system, so that a system that ends first can detach them.
  std::set<OverlappedResource*> activeRequests_;
  Slot slots_[kSlotCount];
  mutable Qel::CriticalSection slotTableLock_;
  Qel::Semaphore freeSlots_{i32(kSlotCount), i32(kSlotCount)};

  // The worker.
  std::vector<OverlappedResource*> heap_;
  Qel::Mutex runLock_;
  mutable Qel::Mutex queueLock_;
  Qel::Semaphore workAvailable_{0, i32(kQueueCapacity) + 1};
  bool stopping_ = false;  // under queueLock
  std::unique_ptr<Qel::Thread> thread_;
};
