// The post office of one script context: registers nodes under process-unique ids and optional
// unique names, gives message type names their ids, keeps who subscribed to which major type,
// delivers messages at once or after a delay, and keeps the nodes waiting for an update.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "gscommon/double_link_list.h"
#include "qel/types.h"

namespace GSRuntime {
class GSMessage;
class GSNode;
}  // namespace GSRuntime

class GSRouter {
 public:
  // Ids below this are the router's fixed kinds; names get ids from here up.
  static constexpr u16 kFirstNamedType = 100;
  static constexpr u16 kAnyType = 1;
  // Bounds of the two queues; a post beyond them is dropped.
  static constexpr size_t kPostedLimit = 4096;
  static constexpr size_t kDelayedLimit = 4096;

  GSRouter(u16 stackDumpMajor = 0, u16 stackDumpMinor = 0);
  ~GSRouter();
  GSRouter(const GSRouter&) = delete;
  GSRouter& operator=(const GSRouter&) = delete;

  bool AddNode(GSRuntime::GSNode* node);
  bool RemoveNode(GSRuntime::GSNode* node);
  GSRuntime::GSNode* FindNode(u32 id) const;
  GSRuntime::GSNode* FindNodeByName(const std::string& name) const;

  // Id 1 for a null or empty name; 0 once every id is given.
  u16 InternTypeName(const char* name);
  std::string TypeNameOfId(u16 id) const;

  bool Subscribe(GSRuntime::GSNode* node, u16 majorId);
  bool Unsubscribe(GSRuntime::GSNode* node, u16 majorId);

  void SendMessage(GSRuntime::GSMessage* message);
  // Queues a copy: at the back of the posted queue, or by delivery time in the delay queue.
  void PostMessage(const GSRuntime::GSMessage* message);
  void ClearQueuedMessages(GSRuntime::GSNode* node, const char* major, const char* minor);

  void Info() const;
  void DumpAllThreadStacks() const;
  void TraceMessage(const GSRuntime::GSMessage* message) const;
  void FormatMessage(const GSRuntime::GSMessage* message, std::string* out) const;
  static void SetTrace(bool on);

  void AddToUpdateSet(GSRuntime::GSNode* node);
  // Starts accepting posts.
  void Start() { running_ = true; }
  // Advances the clock by `seconds`, delivers the posted messages queued before the call and the
  // delayed ones now due, then updates the nodes that asked for it (destroying those whose
  // deletion is pending).
  void Tick(f32 seconds);

  void Done();

  // An isolated router is passed over by lookups from other contexts (not by sniff forwarding).
  void SetIsolated(bool isolated) { isolated_ = isolated; }
  bool Isolated() const { return isolated_; }
  u32 Time() const { return time_; }
  size_t NodeCount() const { return nodes_.Count(); }
  size_t DelayedCount() const { return delayed_.size() - 1; }

 private:
  struct Subscription {
    u32 count;
    GSRuntime::GSNode* node;
  };
  // Per major id, the subscriptions keyed by node id, so that a broadcast reaches subscribers in
  // registration order.
  using SubscriptionTree = std::map<u32, Subscription>;
  struct Delayed {
    GSRuntime::GSMessage* message;
    u64 sequence;  // posting order, so that messages due at one time keep it
  };

  void Deliver(GSRuntime::GSNode* node, GSRuntime::GSMessage* message);
  void PushDelayed(GSRuntime::GSMessage* message);
  void RemoveDelayed(size_t slot);
  static u32 DueTime(const GSRuntime::GSMessage* message);
  static bool Earlier(const Delayed& a, const Delayed& b);
  void RemoveAllNodes();

  u16 stackDumpMajor_;
  u16 stackDumpMinor_;
  std::unordered_map<std::string, u32> nodeNames_;
  std::unordered_map<std::string, u16> typeIds_;
  std::map<u16, std::string> typeNames_;
  std::unordered_map<u32, GSRuntime::GSNode*> nodeIds_;
  std::unordered_map<u32, SubscriptionTree> subscriptions_;
  Utils::DoubleLinkList nodes_;
  std::deque<GSRuntime::GSMessage*> posted_;
  // A 1-based binary min-heap by delivery time, then posting order; slot 0 stays empty.
  std::vector<Delayed> delayed_{Delayed{nullptr, 0}};
  u64 nextSequence_ = 0;
  std::map<u32, GSRuntime::GSNode*> updateSet_;  // by node id
  u16 nextTypeId_ = kFirstNamedType;
  u32 time_ = 0;
  bool running_ = false;
  bool isolated_ = false;
};
