// Objects made while a world is built are bound to their scripts later, in order, by their
// manager: each client runs three stages once, and waits in its manager's queue until then.
#pragma once

#include <vector>

#include "qel/types.h"

class DelayedInitManager;

class DelayedInitClient {
 public:
  enum : u8 {
    kStage1Done = 0x01,
    kStage2Done = 0x02,
    kStage3Done = 0x04,
    kQueued = 0x08,
    kAllStages = kStage1Done | kStage2Done | kStage3Done,
  };

  DelayedInitClient() = default;
  virtual ~DelayedInitClient() = default;
  DelayedInitClient(const DelayedInitClient&) = delete;
  DelayedInitClient& operator=(const DelayedInitClient&) = delete;

  virtual void InitStage1() { initFlags |= kStage1Done; }
  virtual void InitStage2() { initFlags |= kStage2Done; }
  virtual void InitStage3() { initFlags |= kStage3Done; }

  // Runs the stages not run yet, in order, then leaves the queue.
  void RunPendingStages();

  u8 initFlags = 0;

 private:
  friend class DelayedInitManager;
  DelayedInitManager* manager_ = nullptr;
};

class DelayedInitManager {
 public:
  DelayedInitManager() = default;
  // The clients still queued stay as they are, only unqueued.
  virtual ~DelayedInitManager();
  DelayedInitManager(const DelayedInitManager&) = delete;
  DelayedInitManager& operator=(const DelayedInitManager&) = delete;

  // Queues the client once, and never one whose three stages are done.
  void Enqueue(DelayedInitClient* client);
  void Dequeue(DelayedInitClient* client);
  // Runs the pending stages of every queued client, in queue order.
  void RunQueue();
  size_t QueuedCount() const { return queue_.size(); }

 private:
  std::vector<DelayedInitClient*> queue_;
};
