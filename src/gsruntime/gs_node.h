// The unit a message router registers, numbers and delivers to: a queue of messages waiting for
// the node's next update and the flags the router reads.
#pragma once

#include <deque>
#include <string>

#include "gscommon/double_link_list.h"
#include "qel/types.h"

class GSRouter;

namespace GSRuntime {

class GSMessage;

class GSNode : public Utils::IDoubleLinkListNode {
 public:
  static constexpr u32 kSkipSubscriptions = 1u << 0;
  static constexpr u32 kGameObject = 1u << 1;
  static constexpr u32 kDeletionPending = 1u << 30;
  static constexpr u32 kUnregistered = 0xFFFFFFFF;
  // The major id of the message that marks a node for deletion.
  static constexpr u16 kDeleteMajor = 3;
  // Messages waiting for one update; a node that does not drain them loses the newest.
  static constexpr size_t kQueueLimit = 1024;

  GSNode() = default;
  // Leaves the router and releases the queued messages.
  ~GSNode() override;

  virtual std::string GetName() const { return {}; }
  // A deletion message marks the node for deletion; true when the message was taken.
  virtual bool HandleMessage(GSMessage* message);
  // Hands the queued messages to HandleMessage in order; with time elapsed, the node leaves the
  // router's update set.
  virtual void Update(f32 elapsedSeconds);

  // Asks the router for an update; a node without router whose deletion is pending is destroyed.
  void Schedule();
  // A counted message from this node; null when it is not registered or the major name is empty.
  GSMessage* CreateMessage(const char* major, const char* minor, u32 destination, u32 delayMs);
  bool Subscribe(u16 majorId);
  bool Unsubscribe(u16 majorId);
  // Queues a counted reference for the next update; false (not taken) when the queue is full.
  bool QueueMessage(GSMessage* message);
  // The oldest queued message, its reference passed to the caller; null when none.
  GSMessage* PopMessage();
  void ReleaseQueue();

  u32 id = kUnregistered;
  u32 flags = 0;
  GSRouter* router = nullptr;
  std::string name;  // registered name, empty when none
  bool scheduled = false;

 private:
  std::deque<GSMessage*> queue_;
};

}  // namespace GSRuntime
