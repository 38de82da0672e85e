#include "online/gso_online_access.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "gsruntime/gs_message.h"
#include "gsruntime/gs_router.h"
#include "gsruntime/gs_string.h"
#include "gsruntime/object_bridge.h"
#include "online/gso_online_group.h"
#include "online/online_message_cache.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_online_data.h"
#include "scripthost/gso_soup.h"
#include "scripthost/native_binding.h"
#include "scripthost/online_script_hooks.h"
#include "scripthost/script_class_registry.h"

using GSRuntime::GSHandle;
using GSRuntime::GSStack;

namespace {

// What the class keeps for the whole process: its live objects, the offline boxes and whether
// the boxes and the message cache were loaded.
struct ClassState {
  std::vector<GSOOnlineAccess*> live;
  Soup inbox;
  Soup outbox;
  bool loaded = false;
  OnlineAccessClientEndpoint* testEndpoint = nullptr;
};

ClassState& State() {
  static ClassState state;
  return state;
}

// The boxes and the message cache, once per process (again after ResetForTests).
void LoadOnce() {
  ClassState& state = State();
  if (state.loaded) return;
  state.loaded = true;
  state.inbox =
      OnlineMessageCache::LoadBox(OnlineMessageCache::PathOf(OnlineMessageCache::kInboxFile));
  state.outbox =
      OnlineMessageCache::LoadBox(OnlineMessageCache::PathOf(OnlineMessageCache::kOutboxFile));
  OnlineMessageCache::Load(GSOOnlineAccess::Endpoint(),
                           OnlineMessageCache::PathOf(OnlineMessageCache::kMessageFile));
}

void SaveCache() {
  OnlineMessageCache::Save(GSOOnlineAccess::Endpoint(),
                           OnlineMessageCache::PathOf(OnlineMessageCache::kMessageFile));
}

Qel::PString LowerKey(const Qel::PString& key) {
  std::string text(key.CStr());
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return Qel::PString(text.c_str());
}

// Writes the text into a script's string argument.
void SetStringArgument(GSStack* stack, u32 index, const Qel::String& text) {
  GSRuntime::GSString* target = GSRuntime::StringParam(stack, index);
  if (target != nullptr) static_cast<Qel::String&>(*target) = text;
}

using GSRuntime::BindMember;
using GSRuntime::NativeEntry;
using GSO = GSOOnlineAccess;

#define ONLINE_ACCESS_BODY_ROW(signature, method) {signature, BindMember<GSO, &GSO::method>},
constexpr NativeEntry kAccessNatives[] = {SCRIPTHOST_ONLINE_ACCESS_NATIVES(ONLINE_ACCESS_BODY_ROW)};
#undef ONLINE_ACCESS_BODY_ROW

GSRuntime::GSNativeFunction* BindNative(const Qel::PString& className,
                                        const Qel::PString& signature) {
  for (const NativeEntry& entry : kAccessNatives) {
    if (signature == entry.signature) return entry.bind(className, signature);
  }
  return GSOOnlineGroup::BindNative(className, signature);
}

GSHandle MakeForLibrary(GSRuntime::GSContext* context, GSRuntime::GSObject* owner,
                        const KUID& asset) {
  return GSOOnlineAccess::FindOrCreate(context, owner, asset);
}

constexpr ScriptHost::OnlineScriptHooks kHooks = {&BindNative, &MakeForLibrary};

}  // namespace

void GSOOnlineAccess::InstallScriptHooks() { ScriptHost::SetOnlineScriptHooks(&kHooks); }

OnlineAccessClientEndpoint& GSOOnlineAccess::Endpoint() {
  OnlineAccessClientEndpoint* test = State().testEndpoint;
  return test != nullptr ? *test : OnlineAccessClientEndpoint::Instance();
}

OnlineAccessClientEndpoint* GSOOnlineAccess::ExistingEndpoint() {
  OnlineAccessClientEndpoint* test = State().testEndpoint;
  if (test != nullptr) return test;
  return OnlineAccessClientEndpoint::HasInstance() ? &OnlineAccessClientEndpoint::Instance()
                                                   : nullptr;
}

void GSOOnlineAccess::SetEndpointForTests(OnlineAccessClientEndpoint* endpoint) {
  State().testEndpoint = endpoint;
}

void GSOOnlineAccess::ResetForTests() {
  ClassState& state = State();
  state.loaded = false;
  state.inbox = Soup();
  state.outbox = Soup();
}

Soup& GSOOnlineAccess::InboxForTests() { return State().inbox; }
Soup& GSOOnlineAccess::OutboxForTests() { return State().outbox; }

GSHandle GSOOnlineAccess::FindOrCreate(GSRuntime::GSContext* context,
                                       const GSRuntime::GSObject* owner, const KUID& asset) {
  for (GSOOnlineAccess* live : State().live) {
    if (live->owner_ == owner && live->context == context && live->GetClientKUID() == asset &&
        (live->flags & kDeletionPending) == 0 && live->scriptInstance != 0) {
      GSRuntime::ObjectBridge::AddIfSet(live->scriptInstance);
      return live->scriptInstance;
    }
  }
  if (context == nullptr || context->router == nullptr) return 0;
  LoadOnce();
  auto* object = new GSOOnlineAccess(owner, asset);
  const GSHandle handle =
      ScriptHost::BindNewObject(object, ScriptHost::ScriptClassId::kOnlineAccess, context);
  if (handle == 0) return 0;  // BindNewObject deleted it
  context->router->AddNode(object);
  // The first update announces the status: reportedStatus_ starts at 0.
  object->Schedule();
  return handle;
}

GSOOnlineAccess::GSOOnlineAccess(const GSRuntime::GSObject* owner, const KUID& asset)
    : OnlineAccessClientBase(asset), owner_(owner) {
  assetLocallyModified_ = IsAssetLocallyModified(asset);
  State().live.push_back(this);
}

GSOOnlineAccess::~GSOOnlineAccess() {
  std::vector<GSOOnlineAccess*>& live = State().live;
  live.erase(std::remove(live.begin(), live.end(), this), live.end());
  if (State().loaded) Leave();
}

void GSOOnlineAccess::Leave() {
  OnlineAccessClientEndpoint* endpoint = ExistingEndpoint();
  if (endpoint == nullptr) return;
  endpoint->RemoveClient(this);
  if (!endpoint->HasClients()) endpoint->Disconnect();
  SaveCache();
}

void GSOOnlineAccess::PostToSelf(const char* minor) {
  if (router == nullptr) return;
  GSRuntime::GSMessage* message = CreateMessage("OnlineAccess", minor, id, 0);
  if (message == nullptr) return;
  router->PostMessage(message);
  message->Release();
}

void GSOOnlineAccess::Update(f32 elapsedSeconds) {
  GSGameObject::Update(elapsedSeconds);
  if ((flags & kDeletionPending) != 0) return;
  postCounter_ = std::max(0.0f, postCounter_ - elapsedSeconds);
  OnlineAccessClientEndpoint& endpoint = Endpoint();
  endpoint.Update();
  const u32 status =
      connectRequested_ ? endpoint.GetStatus() : u32(OnlineAccessClientEndpoint::kOffline);
  if (status != reportedStatus_) {
    reportedStatus_ = status;
    PostToSelf("StatusChange");
    if (!messages_.empty()) messagePending_ = true;
  }
  if (messagePending_) {
    messagePending_ = false;
    PostToSelf("ReceiveMessage");
  }
  Schedule();
}

void GSOOnlineAccess::ReceiveMessage(std::unique_ptr<OnlineMessage> message) {
  std::unique_ptr<OnlineVersionedMessage> versioned;
  if (message->IsVersioned()) {
    versioned.reset(static_cast<OnlineVersionedMessage*>(message.release()));
  } else {
    // A plain message carries no flag: an asset changed here takes only flagged ones.
    if (assetLocallyModified_) return;
    versioned = std::make_unique<OnlineVersionedMessage>(*message);
  }
  if (assetLocallyModified_ && !versioned->flag) return;
  messages_.push_back(std::move(versioned));
  messagePending_ = true;
  Schedule();
}

bool GSOOnlineAccess::TakePost() {
  if (postCounter_ > kPostLimit) return false;
  postCounter_ += 1.0f;
  return true;
}

void GSOOnlineAccess::Connect(GSStack*) {
  connectRequested_ = true;
  OnlineAccessClientEndpoint& endpoint = Endpoint();
  const u32 state = endpoint.GetStatus();
  if (state != OnlineAccessClientEndpoint::kConnecting &&
      state != OnlineAccessClientEndpoint::kOnline) {
    endpoint.Connect(false);
  }
  endpoint.AddClient(this);
  Schedule();
}

void GSOOnlineAccess::GetStatus(GSStack* stack) { stack->PushInt(i32(reportedStatus_)); }

void GSOOnlineAccess::Disconnect(GSStack*) {
  connectRequested_ = false;
  Leave();
  Schedule();
}

void GSOOnlineAccess::GetUsername(GSStack* stack) {
  GSRuntime::PushString(stack, PymGetOnlineProfile().profileName.CStr());
}

void GSOOnlineAccess::GetLocalData(GSStack* stack) {
  Qel::PString key;
  GSOSoup* target = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &key, true) || !GSRuntime::GetParam(stack, 2, &target, false))
    return;
  if (target->IsLocked()) {
    GSRuntime::RaiseScriptError("OnlineAccess.GetLocalData> soup is locked");
    return;
  }
  target->CopyFrom(PymGetOnlineLocalData(GetClientKUID(), LowerKey(key)));
  // The native declares an int and the daemon gives none: scripts read 0.
  stack->PushInt(0);
}

void GSOOnlineAccess::SetLocalData(GSStack* stack) {
  Qel::PString key;
  GSOSoup* value = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &key, true) || !GSRuntime::GetParam(stack, 2, &value, false))
    return;
  PymSetOnlineLocalData(GetClientKUID(), LowerKey(key), value->GetSoup());
  stack->PushInt(0);
}

void GSOOnlineAccess::GetProfileData(GSStack* stack) { stack->PushInt(0); }

void GSOOnlineAccess::SetProfileData(GSStack* stack) { stack->PushInt(0); }

void GSOOnlineAccess::PostMessage(GSStack* stack) {
  Qel::String name;
  GSOSoup* soup = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &name, true) || !GSRuntime::GetParam(stack, 2, &soup, false))
    return;
  if (!TakePost()) {
    stack->PushInt(OnlineAccessClientEndpoint::kPostRefused);
    return;
  }
  stack->PushInt(Endpoint().PostVersionedMessage(GetClientKUID(), name, soup->GetSoup(),
                                                 assetLocallyModified_));
}

void GSOOnlineAccess::CollectMessage(GSStack* stack) {
  GSOSoup* soup = nullptr;
  if (!GSRuntime::GetParam(stack, 2, &soup, false)) return;
  if (messages_.empty()) {
    stack->PushInt(Endpoint().GetStatus() == OnlineAccessClientEndpoint::kOnline ? 6 : 1);
    return;
  }
  // A locked soup belongs to someone else: the message stays queued for one that may take it.
  if (soup->IsLocked()) {
    GSRuntime::RaiseScriptError("OnlineAccess.CollectMessage> soup is locked");
    return;
  }
  std::unique_ptr<OnlineVersionedMessage> message = std::move(messages_.front());
  messages_.pop_front();
  SetStringArgument(stack, 1, message->name);
  soup->CopyFrom(message->soup);
  stack->PushInt(0);
}

void GSOOnlineAccess::PushNewGroup(GSStack* stack, const Qel::PString& name, u32 mode) {
  GSRuntime::PushCounted(stack,
                         GSOOnlineGroup::New(GSRuntime::CallingContext(this), this, name, mode));
}

void GSOOnlineAccess::CreateGroup(GSStack* stack) {
  PushNewGroup(stack, Qel::PString(), GSRuntime::ParamWord(stack, 1));
}

void GSOOnlineAccess::OpenGroup(GSStack* stack) {
  Qel::PString name;
  if (!GSRuntime::GetParam(stack, 1, &name, true)) return;
  PushNewGroup(stack, name, GSRuntime::ParamWord(stack, 2));
}

void GSOOnlineAccess::PostOfflineMessage(GSStack* stack) {
  GSOSoup* soup = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &soup, false)) return;
  Soup& outbox = State().outbox;
  outbox.EnsureContainer();
  Soup copy;
  copy.Copy(soup->GetSoup());
  outbox.SetNamedSoup(outbox.GetUniqueTagName(), copy);
  stack->PushInt(0);
}

void GSOOnlineAccess::CollectOfflineMessage(GSStack* stack) {
  GSOSoup* soup = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &soup, false)) return;
  Soup& inbox = State().inbox;
  if (inbox.IsNull() || inbox.CountTags() == 0) {
    stack->PushInt(6);
    return;
  }
  if (soup->IsLocked()) {
    GSRuntime::RaiseScriptError("OnlineAccess.CollectOfflineMessage> soup is locked");
    return;
  }
  Soup first = inbox.GetIndexedSoup(0);
  soup->CopyFrom(first);
  inbox.RemoveTag(first);
  stack->PushInt(0);
}

void GSOOnlineAccess::CanAccessMultiplayer(GSStack* stack) {
  stack->PushInt(Endpoint().CanAccessMultiplayer() ? 1 : 0);
}
