#include "gsruntime/game_object_natives.h"

#include <cmath>
#include <cstring>
#include <string>

#include "gsruntime/gs_context.h"
#include "gsruntime/gs_game_object.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_message.h"
#include "gsruntime/gs_native_function.h"
#include "gsruntime/gs_router.h"
#include "gsruntime/gs_stack.h"
#include "gsruntime/gs_string.h"
#include "gsruntime/message_payload.h"
#include "gsruntime/native_params.h"
#include "gsruntime/object_bridge.h"

namespace GSRuntime {

namespace {

constexpr f32 kShortestSleep = 0.000001f;

GSGameObject* GameObjectOfView(GSHandle view) {
  GSObjectReference* object = GSObjectReference::FromReference(view);
  return object != nullptr && object->kind == kObjectGame ? static_cast<GSGameObject*>(object)
                                                          : nullptr;
}

// The text of a string parameter, copied; null for a null string.
const char* Text(GSStack* stack, u32 index, std::string* keep) {
  const GSString* string = StringParam(stack, index);
  if (string == nullptr) return nullptr;
  *keep = string->Std();
  return keep->c_str();
}

// Seconds to whole milliseconds, toward zero; what does not fit the delay bits is the longest.
u32 DelayMs(f32 seconds) {
  const f32 ms = seconds * 1000.0f;
  if (!(ms > 0)) return 0;
  if (ms >= f32(GSMessage::kDelayMask)) return GSMessage::kDelayMask;
  return static_cast<u32>(ms);
}

// Builds and hands over the message of SendMessage and PostMessage, with the soup of the object in
// parameter `payload` (0: none) as its payload.
bool Dispatch(GSHandle me, GSStack* stack, const char* native, u32 payload, bool post,
              f32 seconds) {
  GSGameObject* self = GameObjectOfView(me);
  std::string majorText;
  std::string minorText;
  const char* major = Text(stack, 2, &majorText);
  const char* minor = Text(stack, 3, &minorText);
  GSThread* thread = CurrentThread();
  if (major == nullptr || minor == nullptr) {
    const std::string text =
        std::string("GameObject::") + native + "() illegal major or minor string";
    if (thread != nullptr) thread->RaiseException(text.c_str(), false);
    return true;
  }
  GSGameObject* receiver = GameObjectOfView(ParamWord(stack, 1));
  const u32 destination = receiver != nullptr ? receiver->id : 0;
  if (self == nullptr || self->router == nullptr) return true;
  GSMessage* message = self->CreateMessage(major, minor, destination, post ? DelayMs(seconds) : 0);
  if (message == nullptr) return true;
  if (payload != 0) message->payload = PayloadOf(ParamWord(stack, payload));
  if (post) {
    self->router->PostMessage(message);
  } else {
    self->router->SendMessage(message);
  }
  message->Release();
  return true;
}

bool Send(GSHandle me, GSStack* stack, u32 payload) {
  GSThread* thread = CurrentThread();
  if (thread != nullptr && thread->IsStatic()) {
    // Reported, yet the message still goes: handlers rely on it. Handlers that send to each
    // other without end stop when their nested runs fill the static thread's stack.
    thread->RaiseException("Static Thread cannot call SendMessage", false);
  }
  return Dispatch(me, stack, "SendMessage", payload, false, 0);
}

bool SendMessage(GSHandle me, GSStack* stack) { return Send(me, stack, 0); }
bool SendPayloadMessage(GSHandle me, GSStack* stack) { return Send(me, stack, 4); }

bool PostMessage(GSHandle me, GSStack* stack) {
  return Dispatch(me, stack, "PostMessage", 0, true, FloatParam(stack, 4));
}
bool PostPayloadMessage(GSHandle me, GSStack* stack) {
  return Dispatch(me, stack, "PostMessage", 4, true, FloatParam(stack, 5));
}

bool Sleep(GSHandle, GSStack* stack) {
  const f32 seconds = FloatParam(stack, 1);
  GSThread* thread = CurrentThread();
  if (thread != nullptr && !thread->IsStatic() && seconds > kShortestSleep) {
    thread->SetState(GSThread::kBlocked);
    thread->SetSleepTime(seconds);
  }
  return true;
}

bool GetId(GSHandle me, GSStack* stack) {
  const GSGameObject* self = GameObjectOfView(me);
  return stack->PushInt(self != nullptr ? static_cast<i32>(self->id) : -1);
}

bool GetName(GSHandle me, GSStack* stack) {
  const GSGameObject* self = GameObjectOfView(me);
  return PushString(stack, self != nullptr ? self->GetName() : std::string());
}

bool Exception(GSHandle, GSStack* stack) {
  std::string keep;
  const char* text = Text(stack, 1, &keep);
  if (GSThread* thread = CurrentThread()) thread->RaiseException(text != nullptr ? text : "", true);
  return true;
}

bool GetGSClassName(GSHandle me, GSStack* stack) {
  return PushString(stack, GSRuntime::GetGSClassName(GSObjectReference::FromReference(me)));
}

GSRouter* CurrentRouter() {
  GSContext* context = CurrentContext();
  return context != nullptr ? context->router : nullptr;
}

bool RouterInfo(GSHandle, GSStack*) {
  if (GSRouter* router = CurrentRouter()) router->Info();
  return true;
}

bool RouterPostMessage(GSHandle, GSStack* stack) {
  GSRouter* router = CurrentRouter();
  std::string majorText;
  std::string minorText;
  const char* major = Text(stack, 3, &majorText);
  const char* minor = Text(stack, 4, &minorText);
  if (router == nullptr || major == nullptr || minor == nullptr || *major == 0) return true;
  auto* message = new GSMessage(router->InternTypeName(major), router->InternTypeName(minor),
                                ParamWord(stack, 1), ParamWord(stack, 2),
                                DelayMs(FloatParam(stack, 5)) | GSMessage::kMadeByNode);
  router->PostMessage(message);
  message->Release();
  return true;
}

// The game object that AddHandler or Sniff names; null (logged) when there is none.
GSGameObject* TargetOf(u32 word, const char* native) {
  GSObjectReference* object = GSObjectReference::FromReference(word);
  if (object == nullptr) {
    GSMachine::Log("target object is null for GameObject::%s()", native);
    return nullptr;
  }
  if (object->kind != kObjectGame) {
    GSMachine::Log("target object is wrong type for GameObject::%s()", native);
    return nullptr;
  }
  return static_cast<GSGameObject*>(object);
}

// AddHandler(target, major, minor, handler): bad arguments are logged, never raised.
bool AddHandler(GSHandle me, GSStack* stack) {
  GSGameObject* self = GameObjectOfView(me);
  if (self == nullptr || self->router == nullptr) return true;
  GSGameObject* target = TargetOf(ParamWord(stack, 1), "AddHandler");
  if (target == nullptr) return true;
  std::string majorText;
  std::string minorText;
  std::string nameText;
  const char* major = Text(stack, 2, &majorText);
  const char* minor = Text(stack, 3, &minorText);
  const char* name = Text(stack, 4, &nameText);
  if (major == nullptr) {
    GSMachine::Log("major type is null for GameObject::AddHandler()");
    return true;
  }
  const u16 majorId = self->router->InternTypeName(major);
  const u16 minorId = self->router->InternTypeName(minor);
  if (name == nullptr || *name == 0) {
    self->RemoveHandlers(majorId, minorId, target->id, false);
    return true;
  }
  GSClass* cls = target->GetGSClass();
  const std::string signature =
      std::string("$void@") + GetGSClassName(target) + "::" + name + "(Message)";
  GSClass::MethodLocation location{};
  if (cls == nullptr || !cls->FindMethod(signature, &location)) {
    GSMachine::Log("Could not find handler %s for native GameObject::AddHandler()",
                   signature.c_str());
    return true;
  }
  u32 classIndex = 0;
  for (size_t i = 0; location.holder != cls && i < cls->bases.size(); ++i) {
    if (cls->BaseClass(i) == location.holder) classIndex = static_cast<u32>(i + 1);
  }
  self->AddHandler(
      {target->id, classIndex, static_cast<u32>(location.index), majorId, minorId, false});
  return true;
}

// Sniff(target, major, minor, state): bad arguments are logged, never raised.
bool Sniff(GSHandle me, GSStack* stack) {
  GSGameObject* self = GameObjectOfView(me);
  GSGameObject* target = TargetOf(ParamWord(stack, 1), "Sniff");
  if (target == nullptr) return true;
  if (self == nullptr || self->router == nullptr || target->router == nullptr) {
    GSMachine::Log("router is null for GameObject::Sniff()");
    return true;
  }
  std::string majorText;
  std::string minorText;
  const char* major = Text(stack, 2, &majorText);
  const char* minor = Text(stack, 3, &minorText);
  if (major == nullptr) {
    GSMachine::Log("major type is null for GameObject::Sniff()");
    return true;
  }
  const u16 majorId = self->router->InternTypeName(major);
  const u16 minorId = self->router->InternTypeName(minor);
  if (!BoolParam(stack, 4)) {
    self->RemoveHandlers(majorId, minorId, target->id, true);
  } else {
    self->AddHandler({target->id, 0, 0, majorId, minorId, true});
  }
  return true;
}

bool ClearMessages(GSHandle me, GSStack* stack) {
  GSGameObject* self = GameObjectOfView(me);
  std::string majorText;
  std::string minorText;
  const char* major = Text(stack, 1, &majorText);
  const char* minor = Text(stack, 2, &minorText);
  if (self != nullptr && self->router != nullptr) {
    self->router->ClearQueuedMessages(self, major, minor);
  }
  return true;
}

constexpr u32 kSecuredClass = 0x100;

// The node's script object as "GameObject", counted, pushed; null when it is not a game object
// (or, when `refuseSecured`, its class is secured).
bool PushGameObject(GSNode* node, bool refuseSecured, GSStack* stack) {
  GSHandle view = 0;
  if (node != nullptr && (node->flags & GSNode::kGameObject) != 0) {
    const auto* object = static_cast<GSGameObject*>(node);
    const GSClass* cls = object->GetGSClass();
    const bool secured = cls != nullptr && (cls->flags & kSecuredClass) != 0;
    if (!(refuseSecured && secured)) {
      view = ObjectBridge::CastTo(object->scriptInstance, GetGameObjectClass());
    }
    ObjectBridge::AddIfSet(view);
  }
  return PushCounted(stack, view);
}

bool RouterGetGameObject(GSHandle, GSStack* stack) {
  GSRouter* router = CurrentRouter();
  GSNode* node = router != nullptr ? router->FindNode(ParamWord(stack, 1)) : nullptr;
  return PushGameObject(node, true, stack);
}

// The first live context's router (not isolated) that holds the id decides.
bool RouterGetForeignGameObject(GSHandle, GSStack* stack) {
  const u32 id = ParamWord(stack, 1);
  GSNode* node = nullptr;
  for (GSContext* context : GSContext::LiveContexts()) {
    if (context->router == nullptr || context->router->Isolated()) continue;
    if ((node = context->router->FindNode(id)) != nullptr) break;
  }
  return PushGameObject(node, true, stack);
}

bool RouterGetGameObjectByName(GSHandle, GSStack* stack) {
  GSRouter* router = CurrentRouter();
  std::string keep;
  const char* name = Text(stack, 1, &keep);
  GSNode* node = router != nullptr && name != nullptr ? router->FindNodeByName(name) : nullptr;
  return PushGameObject(node, false, stack);
}

struct Native {
  const char* className;
  const char* signature;
  GSCNativeFunction::Function function;
};

constexpr Native kGameObjectNatives[] = {
    {"GSObject", "$string@GSObject::GetGSClassName()", GetGSClassName},
    {"GameObject", "$void@GameObject::SendMessage(GameObject,string,string)", SendMessage},
    {"GameObject", "$void@GameObject::SendMessage(GameObject,string,string,GSObject)",
     SendPayloadMessage},
    {"GameObject", "$void@GameObject::PostMessage(GameObject,string,string,float)", PostMessage},
    {"GameObject", "$void@GameObject::PostMessage(GameObject,string,string,GSObject,float)",
     PostPayloadMessage},
    {"GameObject", "$void@GameObject::ClearMessages(string,string)", ClearMessages},
    {"GameObject", "$void@GameObject::AddHandler(GameObject,string,string,string)", AddHandler},
    {"GameObject", "$void@GameObject::Sniff(GameObject,string,string,bool)", Sniff},
    {"GameObject", "$void@GameObject::Sleep(float)", Sleep},
    {"GameObject", "$int@GameObject::GetId()", GetId},
    {"GameObject", "$string@GameObject::GetName()", GetName},
    {"GameObject", "$void@GameObject::Exception(string)", Exception},
    {"Router", "$GameObject@Router::GetGameObject(int)", RouterGetGameObject},
    {"Router", "$GameObject@Router::GetForeignGameObject(int)", RouterGetForeignGameObject},
    {"Router", "$GameObject@Router::GetGameObject(string)", RouterGetGameObjectByName},
    {"Router", "$void@Router::Info()", RouterInfo},
    {"Router", "$void@Router::PostMessage(int,int,string,string,float)", RouterPostMessage},
};

}  // namespace

void RegisterGameObjectNatives(GSMachine& machine) {
  GSContext::SetRouterDisposer([](GSRouter* router) { delete router; });
  for (const Native& native : kGameObjectNatives) {
    machine.RegisterNative(
        new GSCNativeFunction(native.className, native.signature, native.function));
  }
}

}  // namespace GSRuntime
