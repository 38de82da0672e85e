#include "gsruntime/gs_game_object.h"

#include <algorithm>

#include "gsruntime/gs_context.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_message.h"
#include "gsruntime/gs_router.h"
#include "gsruntime/gs_script_instance.h"
#include "gsruntime/message_payload.h"
#include "gsruntime/object_bridge.h"
#include "gsruntime/script_call.h"

namespace GSRuntime {

namespace {

// A counted script string of a type name; 0 for the empty name.
GSHandle TypeNameString(const GSRouter& router, u16 id) {
  const std::string text = router.TypeNameOfId(id);
  return ObjectBridge::NewString(text.data(), static_cast<u32>(text.size()));
}

// The script object of a registered game object, viewed as "GameObject" and counted; 0 when the
// id names none.
GSHandle GameObjectReference(const GSRouter& router, u32 id) {
  GSNode* node = id != 0 ? router.FindNode(id) : nullptr;
  if (node == nullptr || (node->flags & GSNode::kGameObject) == 0) return 0;
  const GSHandle view =
      ObjectBridge::CastTo(static_cast<GSGameObject*>(node)->scriptInstance, GetGameObjectClass());
  ObjectBridge::AddIfSet(view);
  return view;
}

// The payload's script object in `context`, viewed as "GSObject" (the type of the field that
// holds it) and counted; 0 when there is no payload.
GSHandle PayloadReference(GSContext* context, const Soup& payload) {
  const GSHandle object = WrapPayload(context, payload);
  const GSHandle view = ObjectBridge::CastTo(object, GetGSObjectClass());
  if (view == 0) ObjectBridge::ReleaseIfSet(object);
  return view;
}

void StoreField(GSHandle view, const std::vector<u32>& slots, size_t position, GSHandle value) {
  u32* field = position < slots.size()
                   ? ObjectBridge::FieldOfKind(view, slots[position], GSClass::kReferenceField)
                   : nullptr;
  if (field == nullptr) {
    ObjectBridge::ReleaseIfSet(value);
    return;
  }
  ObjectBridge::StoreReferenceField(view, field, value);
}

}  // namespace

GSGameObject::GSGameObject() : GSObject(kObjectGame) {
  flags |= kGameObject;
  Schedule();
}

GSGameObject::~GSGameObject() {
  // The threads first: ending one withdraws its subscriptions from the router.
  DeleteThreads();
  handlers_.clear();
  if (router != nullptr) router->RemoveNode(this);
  ReleaseQueue();
}

void GSGameObject::DeleteThreads() {
  std::vector<GSThread*> threads;
  threads.swap(threads_);
  for (GSThread* thread : threads) GSThread::Destroy(thread);
}

bool GSGameObject::BindScriptInstance(GSClass* cls, GSContext* bindContext) {
  DeleteThreads();
  for (const Handler& handler : handlers_) GSNode::Unsubscribe(handler.major);
  handlers_.clear();
  if (cls == nullptr) return GSObject::BindScriptInstance(nullptr, bindContext);
  if (!cls->IsA("GameObject")) return false;
  return GSObject::BindScriptInstance(cls, bindContext);
}

void GSGameObject::LastReferenceGone() {
  if (router == nullptr) {
    delete this;
    return;
  }
  flags |= kDeletionPending;
  Schedule();
  router->AddToUpdateSet(this);
}

u16 GSGameObject::MessageTypeId(const std::string& text) {
  return router != nullptr ? router->InternTypeName(text.c_str()) : 0;
}

std::string GSGameObject::FormatMessage(const GSThreadMessage* message) const {
  std::string text;
  if (router != nullptr) router->FormatMessage(static_cast<const GSMessage*>(message), &text);
  return text;
}

GSHandle GSGameObject::BuildMessageObject(GSThreadMessage* threadMessage) {
  GSClass* cls = GetMessageClass();
  if (cls == nullptr || router == nullptr || context == nullptr) return 0;
  const auto* message = static_cast<const GSMessage*>(threadMessage);
  GSContext* const previous = CurrentContext();
  SetCurrentContext(context);
  auto* object = new GSObject(kObjectNative);
  GSHandle view = 0;
  if (object->BindScriptInstance(cls, context)) {
    // The binding's count becomes the caller's.
    view = object->scriptInstance;
    const std::vector<u32> slots = cls->FieldSlots();
    StoreField(view, slots, 0, TypeNameString(*router, message->major));
    StoreField(view, slots, 1, TypeNameString(*router, message->minor));
    StoreField(view, slots, 2, GameObjectReference(*router, message->source));
    StoreField(view, slots, 3, GameObjectReference(*router, message->destination));
    StoreField(view, slots, 4, PayloadReference(context, message->payload));
  } else {
    delete object;
  }
  SetCurrentContext(previous);
  return view;
}

GSThread* GSGameObject::StartThread() {
  if (threads_.size() >= kMaxThreads || scriptInstance == 0) return nullptr;
  auto* thread = new GSThread(this, 0);
  threads_.push_back(thread);
  GSNode::Schedule();
  return thread;
}

bool GSGameObject::HandleMessage(GSMessage* message) {
  if (router == nullptr) return false;
  bool handled = false;
  for (GSThread* thread : std::vector<GSThread*>(threads_)) {
    if (std::find(threads_.begin(), threads_.end(), thread) == threads_.end()) continue;
    if (thread->DeliverMessage(message, true)) handled = true;
  }
  if (handled) GSNode::Schedule();
  // A snapshot: handlers may add or remove handlers while they run.
  std::vector<Handler> matching;
  for (const Handler& handler : handlers_) {
    if (handler.major == message->major &&
        (handler.minor == GSRouter::kAnyType || handler.minor == message->minor)) {
      matching.push_back(handler);
    }
  }
  for (const Handler& handler : matching) {
    if (handler.isSniff) continue;
    GSNode* node = router != nullptr ? router->FindNode(handler.objectId) : nullptr;
    if (node == nullptr || (node->flags & kGameObject) == 0) continue;
    auto* target = static_cast<GSGameObject*>(node);
    GSClass* own = target->GetGSClass();
    GSClass* holder = own == nullptr            ? nullptr
                      : handler.classIndex == 0 ? own
                      : handler.classIndex <= own->bases.size()
                          ? own->BaseClass(handler.classIndex - 1)
                          : nullptr;
    if (holder == nullptr || handler.functionIndex >= holder->functions.size()) continue;
    const GSHandle object = target->BuildMessageObject(message);
    CallScriptMethod(target->scriptInstance, *holder->functions[handler.functionIndex].name,
                     nullptr, {object});
    handled = true;
  }
  // A copy is never sniffed again, so forwarding ends after one step.
  for (const Handler& handler : matching) {
    if (!handler.isSniff || (message->timing & GSMessage::kSniffedCopy) != 0) continue;
    GSNode* node = router != nullptr ? router->FindNode(handler.objectId) : nullptr;
    for (GSContext* other : GSContext::LiveContexts()) {
      if (node != nullptr) break;
      if (other->router != nullptr && other->router != router) {
        node = other->router->FindNode(handler.objectId);
      }
    }
    if (node == nullptr || (node->flags & kGameObject) == 0) continue;
    GSMessage* copy = message->Clone();
    copy->timing = GSMessage::kMadeByNode | GSMessage::kSniffedCopy;
    node->HandleMessage(copy);
    copy->Release();
  }
  if (!handled && message->major == kDeleteMajor) {
    flags |= kDeletionPending;
    return true;
  }
  return handled;
}

void GSGameObject::Update(f32 elapsedSeconds) {
  GSNode::Update(elapsedSeconds);
  // A thread may start threads (they run from the next update) or end others while it runs.
  for (GSThread* thread : std::vector<GSThread*>(threads_)) {
    auto at = std::find(threads_.begin(), threads_.end(), thread);
    if (at == threads_.end()) continue;
    const i32 result = thread->Execute(elapsedSeconds);
    at = std::find(threads_.begin(), threads_.end(), thread);
    if (result != kRunBlocked && at != threads_.end()) {
      threads_.erase(at);
      GSThread::Destroy(thread);
    }
  }
  if (!threads_.empty()) GSNode::Schedule();
}

bool GSGameObject::AddHandler(const Handler& handler) {
  for (const Handler& h : handlers_) {
    if (h.major == handler.major && h.minor == handler.minor && h.objectId == handler.objectId &&
        h.functionIndex == handler.functionIndex && h.isSniff == handler.isSniff) {
      return false;
    }
  }
  handlers_.push_back(handler);
  GSNode::Subscribe(handler.major);
  return true;
}

void GSGameObject::RemoveHandlers(u16 major, u16 minor, u32 objectId, bool isSniff) {
  for (size_t i = 0; i < handlers_.size();) {
    const Handler& h = handlers_[i];
    if (h.major == major && h.minor == minor && h.objectId == objectId && h.isSniff == isSniff) {
      handlers_.erase(handlers_.begin() + static_cast<std::ptrdiff_t>(i));
      GSNode::Unsubscribe(major);
    } else {
      ++i;
    }
  }
}

void GSGameObject::DumpThreadStacks() const {
  const std::string nodeName = GetName();
  for (size_t i = 0; i < threads_.size(); ++i) {
    GSMachine::Log("*** STACK DUMP OF THREAD %d ON GAME OBJECT %s, id %d ***", static_cast<i32>(i),
                   nodeName.c_str(), static_cast<i32>(id));
    threads_[i]->Stack().Dump();
    GSMachine::Log("\n");
  }
}

GSGameObject* NewGameObject(GSClass* cls, GSContext* context) {
  auto* object = new GSGameObject();
  if (!object->BindScriptInstance(cls, context)) {
    delete object;
    return nullptr;
  }
  if (context != nullptr && context->router != nullptr) context->router->AddNode(object);
  return object;
}

}  // namespace GSRuntime
