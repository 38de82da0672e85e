#include "gsruntime/gs_node.h"

#include "gsruntime/gs_message.h"
#include "gsruntime/gs_router.h"

namespace GSRuntime {

GSNode::~GSNode() {
  if (router != nullptr) router->RemoveNode(this);
  ReleaseQueue();
}

bool GSNode::HandleMessage(GSMessage* message) {
  if (message->major != kDeleteMajor) return false;
  flags |= kDeletionPending;
  return true;
}

void GSNode::Update(f32 elapsedSeconds) {
  // Only what was queued before: a handler that queues more waits for the next update.
  for (size_t n = queue_.size(); n > 0 && !queue_.empty(); --n) {
    GSMessage* message = PopMessage();
    HandleMessage(message);
    message->Release();
  }
  if (elapsedSeconds > 0) scheduled = false;
}

void GSNode::Schedule() {
  if (router == nullptr && (flags & kDeletionPending) != 0) {
    delete this;
    return;
  }
  if (scheduled) return;
  scheduled = true;
  if (router != nullptr) router->AddToUpdateSet(this);
}

GSMessage* GSNode::CreateMessage(const char* major, const char* minor, u32 destination,
                                 u32 delayMs) {
  if (router == nullptr || id == kUnregistered || major == nullptr || *major == 0) return nullptr;
  return new GSMessage(router->InternTypeName(major), router->InternTypeName(minor), id,
                       destination, (delayMs & GSMessage::kDelayMask) | GSMessage::kMadeByNode);
}

bool GSNode::Subscribe(u16 majorId) {
  return router != nullptr && router->Subscribe(this, majorId);
}

bool GSNode::Unsubscribe(u16 majorId) {
  return router != nullptr && router->Unsubscribe(this, majorId);
}

bool GSNode::QueueMessage(GSMessage* message) {
  if (queue_.size() >= kQueueLimit) return false;
  message->AddReference();
  queue_.push_back(message);
  return true;
}

GSMessage* GSNode::PopMessage() {
  if (queue_.empty()) return nullptr;
  GSMessage* message = queue_.front();
  queue_.pop_front();
  return message;
}

void GSNode::ReleaseQueue() {
  for (GSMessage* message : queue_) message->Release();
  queue_.clear();
}

}  // namespace GSRuntime
