// Background preparation of resources: requests (OverlappedResource) that one worker thread
// serves oldest first, owned by handles (Overlapped) on the thread that asked, which may also
// complete them itself when it cannot wait. See overlapped_resource_system.h for the system.
//
// States: 0 idle or failed, 1 queued, 2 being served by the worker, 3 served, 4 complete (served
// and finished), 5 taken out of the queue by its owner.
#pragma once

#include <atomic>
#include <cstdint>

#include "qel/string.h"
#include "qel/types.h"

class Overlapped;
class OverlappedResourceSystem;

class OverlappedResource {
 public:
  enum State : i32 {
    kIdle = 0,
    kQueued = 1,
    kServing = 2,
    kServed = 3,
    kComplete = 4,
    kWithdrawn = 5,
  };

  explicit OverlappedResource(const char* name = nullptr);
  virtual ~OverlappedResource();
  OverlappedResource(const OverlappedResource&) = delete;
  OverlappedResource& operator=(const OverlappedResource&) = delete;

  // The slow work, on the worker or on the owner's thread.
  virtual bool Serve() = 0;
  // Hands the result over, always on the owner's thread.
  virtual bool Finish() = 0;

  i32 GetState() const { return state_.load(); }
  const Qel::String& GetName() const { return name_; }
  f64 GetQueuedAt() const { return queuedAt_; }
  bool IsAbandoned() const { return abandon_.load(); }
  // Serve was called (by anyone); a request in state 0 that was never tried is still to do.
  bool WasAttempted() const { return attempted_.load(); }

 private:
  friend class Overlapped;
  friend class OverlappedResourceSystem;

  Overlapped* handle_ = nullptr;
  std::atomic<OverlappedResourceSystem*> system_{nullptr};
  Qel::String name_;
  f32 wait_ = 0.0f;  // seconds waited, recomputed under the queue lock at each dequeue
  std::atomic<i32> state_{kIdle};
  f64 queuedAt_;
  std::atomic<bool> abandon_{false};
  std::atomic<bool> attempted_{false};
};

// A request that calls two plain functions with one user-data word; a null function counts as
// success. The word is pointer-sized, so that it can carry the address of its owner.
class OverlappedResourceCallback final : public OverlappedResource {
 public:
  using Function = bool (*)(uintptr_t userData);

  OverlappedResourceCallback(const char* name, uintptr_t userData, Function serveFn,
                             Function finishFn)
      : OverlappedResource(name), userData_(userData), serveFn_(serveFn), finishFn_(finishFn) {}

  bool Serve() override { return !serveFn_ || serveFn_(userData_); }
  bool Finish() override { return !finishFn_ || finishFn_(userData_); }

 private:
  uintptr_t userData_;
  Function serveFn_;
  Function finishFn_;
};

// The owner's handle: it owns its request.
class Overlapped {
 public:
  Overlapped() = default;
  // Gives the request up (a request never served ends without Serve or Finish), completes it and
  // destroys it.
  virtual ~Overlapped();
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;

  // True once the request is complete or has failed (then it is destroyed), or when there is
  // none. A request still to be served (its queue was full) is not done until completed.
  bool Poll();
  // Completes the request on this thread; true when it ends complete.
  bool Complete();

  OverlappedResource* GetRequest() const { return request_; }

 private:
  friend class OverlappedResourceSystem;

  void DestroyRequest();

  OverlappedResource* request_ = nullptr;
};
