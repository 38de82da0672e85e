// A script object that receives messages and runs script threads: a native object bound to an
// instance of a class derived from "GameObject", registered with its context's router as a node.
#pragma once

#include <string>
#include <vector>

#include "gsruntime/gs_node.h"
#include "gsruntime/gs_object.h"
#include "gsruntime/gs_thread.h"

namespace GSRuntime {

class GSGameObject : public GSObject, public GSNode, public GSThreadOwner {
 public:
  static constexpr size_t kMaxThreads = 64;

  GSGameObject();
  // Deletes the threads, leaves the router, then unbinds.
  ~GSGameObject() override;

  // Deletes every thread first; binds only a class derived from "GameObject".
  bool BindScriptInstance(GSClass* cls, GSContext* bindContext) override;
  // A registered object only marks itself for deletion; its router ends it.
  void LastReferenceGone() override;

  bool HandleMessage(GSMessage* message) override;
  // Drains the queued messages, then runs every thread for the elapsed time; finished threads
  // go, and the object asks for another update while any remain.
  void Update(f32 elapsedSeconds) override;
  void DumpThreadStacks() const;

  // A message handler on the object with node id `objectId`: the function `functionIndex` of
  // class `classIndex` of its class chain (0 its own class, i its base i - 1); or a sniff record,
  // which forwards a copy of each matching message to that object.
  struct Handler {
    u32 objectId;
    u32 classIndex;
    u32 functionIndex;
    u16 major;
    u16 minor;  // 1: any minor
    bool isSniff;
  };
  // Adds the handler and subscribes to its major; false when an equal one is there.
  bool AddHandler(const Handler& handler);
  // Removes every handler (or sniff record) of that major, minor and object, one subscription
  // each.
  void RemoveHandlers(u16 major, u16 minor, u32 objectId, bool isSniff);
  size_t ThreadCount() const { return threads_.size(); }

  // GSThreadOwner
  bool CanReceive() const override { return router != nullptr && context != nullptr; }
  i32 NodeId() const override { return static_cast<i32>(id); }
  u16 MessageTypeId(const std::string& text) override;
  void Subscribe(u16 majorId) override { GSNode::Subscribe(majorId); }
  void Unsubscribe(u16 majorId) override { GSNode::Unsubscribe(majorId); }
  GSHandle BuildMessageObject(GSThreadMessage* message) override;
  std::string FormatMessage(const GSThreadMessage* message) const override;
  // Null when the object already runs kMaxThreads threads or has no bound instance.
  GSThread* StartThread() override;

 private:
  void DeleteThreads();

  std::vector<GSThread*> threads_;
  std::vector<Handler> handlers_;
};

// A new game object bound to an instance of `cls` in `context` and registered with the context's
// router when it has one; null when the class cannot be bound.
GSGameObject* NewGameObject(GSClass* cls, GSContext* context);

}  // namespace GSRuntime
