#include "gsruntime/gs_router.h"

#include <limits>

#include "gsruntime/gs_game_object.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_message.h"
#include "gsruntime/gs_node.h"

using GSRuntime::GSGameObject;
using GSRuntime::GSMessage;
using GSRuntime::GSNode;

namespace {

// Shared by every router and never reused, so that an id names one node for the whole run.
u32 g_nextNodeId = 1;
bool g_routerTrace = false;

GSGameObject* AsGameObject(GSNode* node) {
  return node != nullptr && (node->flags & GSNode::kGameObject) != 0
             ? static_cast<GSGameObject*>(node)
             : nullptr;
}

}  // namespace

GSRouter::GSRouter(u16 stackDumpMajor, u16 stackDumpMinor)
    : stackDumpMajor_(stackDumpMajor), stackDumpMinor_(stackDumpMinor) {}

GSRouter::~GSRouter() { Done(); }

void GSRouter::SetTrace(bool on) { g_routerTrace = on; }

bool GSRouter::AddNode(GSNode* node) {
  if (node == nullptr || node->id != GSNode::kUnregistered || node->router != nullptr) {
    return false;
  }
  const u32 id = g_nextNodeId++;
  std::string name = node->GetName();
  if (!name.empty() && nodeNames_.emplace(name, id).second) node->name = std::move(name);
  if (!nodeIds_.emplace(id, node).second) {
    if (!node->name.empty()) nodeNames_.erase(node->name);
    node->name.clear();
    return false;
  }
  nodes_.PushBack(node);
  node->id = id;
  node->router = this;
  if (node->scheduled) updateSet_.emplace(id, node);
  return true;
}

bool GSRouter::RemoveNode(GSNode* node) {
  if (node == nullptr || node->router != this) return false;
  for (auto& [major, tree] : subscriptions_) tree.erase(node->id);
  if (!node->name.empty()) {
    auto found = nodeNames_.find(node->name);
    if (found != nodeNames_.end() && found->second == node->id) nodeNames_.erase(found);
    node->name.clear();
  }
  nodeIds_.erase(node->id);
  updateSet_.erase(node->id);
  nodes_.Remove(node);
  node->id = GSNode::kUnregistered;
  node->router = nullptr;
  return true;
}

GSNode* GSRouter::FindNode(u32 id) const {
  auto found = nodeIds_.find(id);
  return found != nodeIds_.end() ? found->second : nullptr;
}

GSNode* GSRouter::FindNodeByName(const std::string& name) const {
  auto found = nodeNames_.find(name);
  return found != nodeNames_.end() ? FindNode(found->second) : nullptr;
}

u16 GSRouter::InternTypeName(const char* name) {
  if (name == nullptr || *name == 0) return kAnyType;
  auto found = typeIds_.find(name);
  if (found != typeIds_.end()) return found->second;
  // A wrapped counter would hand out the fixed kinds and alias names already given.
  if (nextTypeId_ == std::numeric_limits<u16>::max()) return 0;
  const u16 id = ++nextTypeId_;
  typeIds_.emplace(name, id);
  typeNames_.emplace(id, name);
  return id;
}

std::string GSRouter::TypeNameOfId(u16 id) const {
  auto found = typeNames_.find(id);
  return found != typeNames_.end() ? found->second : std::string();
}

bool GSRouter::Subscribe(GSNode* node, u16 majorId) {
  if (node == nullptr || node->router != this) return false;
  SubscriptionTree& tree = subscriptions_[majorId];
  auto [entry, made] = tree.emplace(node->id, Subscription{1, node});
  if (!made) ++entry->second.count;
  return true;
}

bool GSRouter::Unsubscribe(GSNode* node, u16 majorId) {
  if (node == nullptr || node->router != this) return false;
  auto tree = subscriptions_.find(majorId);
  if (tree == subscriptions_.end()) return false;
  auto entry = tree->second.find(node->id);
  if (entry == tree->second.end()) return false;
  if (--entry->second.count == 0) tree->second.erase(entry);
  return true;
}

void GSRouter::Deliver(GSNode* node, GSMessage* message) { node->HandleMessage(message); }

void GSRouter::SendMessage(GSMessage* message) {
  if (message == nullptr) return;
  if (g_routerTrace) TraceMessage(message);
  if (message->major == stackDumpMajor_ && message->minor == stackDumpMinor_ &&
      (stackDumpMajor_ != 0 || stackDumpMinor_ != 0)) {
    if (message->destination == 0) {
      DumpAllThreadStacks();
    } else if (GSGameObject* object = AsGameObject(FindNode(message->destination))) {
      object->DumpThreadStacks();
    }
    return;
  }
  const bool named = message->major >= kFirstNamedType;
  auto tree = subscriptions_.find(message->major);
  if (named && tree == subscriptions_.end()) return;
  if (message->destination == 0) {
    // Receivers are collected first: a delivery may register, remove or unsubscribe nodes.
    std::vector<u32> receivers;
    if (!named) {
      for (auto* link = nodes_.First(); link != nullptr; link = nodes_.Next(link)) {
        receivers.push_back(static_cast<GSNode*>(link)->id);
      }
    } else {
      for (const auto& [id, subscription] : tree->second) {
        if ((subscription.node->flags & GSNode::kSkipSubscriptions) == 0) receivers.push_back(id);
      }
    }
    for (u32 id : receivers) {
      if (GSNode* node = FindNode(id)) Deliver(node, message);
    }
    return;
  }
  GSNode* node = FindNode(message->destination);
  if (node == nullptr) return;
  if (named &&
      (tree->second.count(node->id) == 0 || (node->flags & GSNode::kSkipSubscriptions) != 0)) {
    return;
  }
  Deliver(node, message);
}

u32 GSRouter::DueTime(const GSMessage* message) { return message->timing & GSMessage::kDelayMask; }

void GSRouter::PostMessage(const GSMessage* message) {
  if (!running_ || message == nullptr) return;
  if (message->Delay() == 0) {
    if (posted_.size() >= kPostedLimit) return;
    posted_.push_back(message->Clone());
    return;
  }
  if (DelayedCount() >= kDelayedLimit) return;
  GSMessage* copy = message->Clone();
  copy->timing = (copy->timing & ~GSMessage::kDelayMask) |
                 ((time_ + message->Delay()) & GSMessage::kDelayMask);
  PushDelayed(copy);
}

bool GSRouter::Earlier(const Delayed& a, const Delayed& b) {
  const u32 dueA = DueTime(a.message);
  const u32 dueB = DueTime(b.message);
  return dueA != dueB ? dueA < dueB : a.sequence < b.sequence;
}

void GSRouter::PushDelayed(GSMessage* message) {
  const Delayed entry{message, nextSequence_++};
  delayed_.push_back(entry);
  size_t slot = delayed_.size() - 1;
  while (slot > 1 && Earlier(entry, delayed_[slot / 2])) {
    delayed_[slot] = delayed_[slot / 2];
    slot /= 2;
  }
  delayed_[slot] = entry;
}

void GSRouter::RemoveDelayed(size_t slot) {
  const size_t count = DelayedCount() - 1;
  const Delayed last = delayed_.back();
  delayed_.pop_back();
  if (slot > count) return;
  while (slot <= count / 2) {
    size_t child = slot * 2;
    if (child + 1 <= count && Earlier(delayed_[child + 1], delayed_[child])) ++child;
    if (Earlier(last, delayed_[child])) break;
    delayed_[slot] = delayed_[child];
    slot = child;
  }
  delayed_[slot] = last;
}

void GSRouter::ClearQueuedMessages(GSNode* node, const char* major, const char* minor) {
  if (node == nullptr || major == nullptr) return;
  const u16 majorId = InternTypeName(major);
  const u16 minorId = InternTypeName(minor);
  i32 cleared = 0;
  for (size_t slot = 1; slot < delayed_.size();) {
    GSMessage* message = delayed_[slot].message;
    if (message->destination == node->id && message->major == majorId &&
        (minorId == kAnyType || message->minor == minorId)) {
      RemoveDelayed(slot);
      message->Release();
      ++cleared;
      slot = 1;  // the heap moved entries; look again from the top
    } else {
      ++slot;
    }
  }
  if (cleared > 0) {
    GSMachine::Log("%d queued router messages cleared for %04d '%s', message %s, %s", cleared,
                   node->id, node->GetName().c_str(), major, minor != nullptr ? minor : "");
  }
}

void GSRouter::FormatMessage(const GSMessage* message, std::string* out) const {
  const GSNode* source = FindNode(message->source);
  const GSNode* destination = FindNode(message->destination);
  char line[1024];
  std::snprintf(line, sizeof line, "router message from %04d '%s' to %04d '%s', message %s, %s\n",
                message->source, source != nullptr ? source->GetName().c_str() : "",
                message->destination, destination != nullptr ? destination->GetName().c_str() : "",
                TypeNameOfId(message->major).c_str(), TypeNameOfId(message->minor).c_str());
  *out += line;
}

void GSRouter::TraceMessage(const GSMessage* message) const {
  const std::string major = TypeNameOfId(message->major);
  const std::string minor = TypeNameOfId(message->minor);
  if (minor == "Tick" || (major == "Train" && minor == "ThrottleChanged")) return;
  std::string line;
  FormatMessage(message, &line);
  line.pop_back();
  GSMachine::Log("%s", line.c_str());
}

void GSRouter::Info() const {
  GSMachine::Log("ROUTER INFO\n===========");
  GSMachine::Log("%d Node(s)", static_cast<i32>(nodes_.Count()));
  GSMachine::Log("%d Message(s) in the delay queue", static_cast<i32>(DelayedCount()));
  GSMachine::Log("%d Major types", static_cast<i32>(nextTypeId_));
  GSMachine::Log("%d Posted messages", static_cast<i32>(posted_.size()));
  GSMachine::Log("%d Subscription AVL trees", static_cast<i32>(subscriptions_.size()));
}

void GSRouter::DumpAllThreadStacks() const {
  GSMachine::Log("*** DUMPING ALL THREAD STACKS ***");
  for (auto* link = nodes_.First(); link != nullptr; link = nodes_.Next(link)) {
    if (GSGameObject* object = AsGameObject(static_cast<GSNode*>(link))) {
      object->DumpThreadStacks();
    }
  }
}

void GSRouter::AddToUpdateSet(GSNode* node) {
  if (node != nullptr && node->router == this) updateSet_.emplace(node->id, node);
}

void GSRouter::Tick(f32 seconds) {
  // A step that does not fit the clock (or is no number) does not move it.
  const f32 ms = seconds * 1000.0f;
  if (ms > 0 && ms < f32(GSMessage::kDelayMask)) time_ += static_cast<u32>(ms);
  // Only the messages queued before this tick: a delivery that posts again waits for the next.
  for (size_t n = posted_.size(); n > 0 && !posted_.empty(); --n) {
    GSMessage* message = posted_.front();
    posted_.pop_front();
    SendMessage(message);
    message->Release();
  }
  for (size_t n = DelayedCount(); n > 0 && DelayedCount() > 0; --n) {
    GSMessage* message = delayed_[1].message;
    if (DueTime(message) > (time_ & GSMessage::kDelayMask)) break;
    RemoveDelayed(1);
    SendMessage(message);
    message->Release();
  }
  std::vector<u32> due;
  for (const auto& [id, node] : updateSet_) due.push_back(id);
  for (u32 id : due) {
    auto entry = updateSet_.find(id);
    if (entry == updateSet_.end()) continue;
    GSNode* node = entry->second;
    if ((node->flags & GSNode::kDeletionPending) != 0) {
      RemoveNode(node);
      delete node;
      continue;
    }
    node->Update(seconds);
    if (!node->scheduled) updateSet_.erase(id);
  }
}

void GSRouter::RemoveAllNodes() {
  nodeIds_.clear();
  nodeNames_.clear();
  updateSet_.clear();
  while (auto* link = nodes_.First()) {
    auto* node = static_cast<GSNode*>(link);
    nodes_.Remove(node);
    node->id = GSNode::kUnregistered;
    node->router = nullptr;
    node->name.clear();
    node->ReleaseQueue();
    if ((node->flags & GSNode::kDeletionPending) != 0) delete node;
  }
}

void GSRouter::Done() {
  if (nodes_.Count() > 0) {
    GSMachine::Log("GSRouter::Done(), %d outstanding node(s)", static_cast<i32>(nodes_.Count()));
  }
  subscriptions_.clear();
  typeIds_.clear();
  typeNames_.clear();
  nextTypeId_ = kFirstNamedType;
  RemoveAllNodes();
  for (GSMessage* message : posted_) message->Release();
  posted_.clear();
  for (size_t slot = 1; slot < delayed_.size(); ++slot) delayed_[slot].message->Release();
  delayed_.assign(1, Delayed{nullptr, 0});
  running_ = false;
  stackDumpMajor_ = 0;
  stackDumpMinor_ = 0;
}
