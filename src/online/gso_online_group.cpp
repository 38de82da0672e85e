#include "online/gso_online_group.h"

#include "core/stream.h"
#include "gsruntime/gs_message.h"
#include "gsruntime/gs_router.h"
#include "gsruntime/gs_string.h"
#include "gsruntime/object_bridge.h"
#include "online/gso_online_access.h"
#include "scripthost/gso_soup.h"
#include "scripthost/native_binding.h"
#include "scripthost/online_script_hooks.h"
#include "scripthost/script_class_registry.h"

using GSRuntime::GSHandle;
using GSRuntime::GSStack;

namespace {

using GSRuntime::BindMember;
using GSRuntime::NativeEntry;
using GSG = GSOOnlineGroup;

#define ONLINE_GROUP_BODY_ROW(signature, method) {signature, BindMember<GSG, &GSG::method>},
constexpr NativeEntry kGroupNatives[] = {SCRIPTHOST_ONLINE_GROUP_NATIVES(ONLINE_GROUP_BODY_ROW)};
#undef ONLINE_GROUP_BODY_ROW

}  // namespace

GSRuntime::GSNativeFunction* GSOOnlineGroup::BindNative(const Qel::PString& className,
                                                        const Qel::PString& signature) {
  for (const NativeEntry& entry : kGroupNatives) {
    if (signature == entry.signature) return entry.bind(className, signature);
  }
  return nullptr;
}

GSHandle GSOOnlineGroup::New(GSRuntime::GSContext* context, GSOOnlineAccess* owner,
                             const Qel::PString& name, u32 mode) {
  if (context == nullptr || context->router == nullptr || owner == nullptr) return 0;
  auto* group = new GSOOnlineGroup(owner, name, mode);
  const GSHandle handle =
      ScriptHost::BindNewObject(group, ScriptHost::ScriptClassId::kOnlineGroup, context);
  if (handle == 0) return 0;  // BindNewObject deleted it
  context->router->AddNode(group);
  group->StartConnect();
  group->Schedule();
  return handle;
}

GSOOnlineGroup::GSOOnlineGroup(GSOOnlineAccess* owner, const Qel::PString& name, u32 mode)
    : owner_(owner), groupName_(name), mode_(mode) {
  ownerReference_ = owner->scriptInstance;
  GSRuntime::ObjectBridge::AddIfSet(ownerReference_);
  GSOOnlineAccess::Endpoint().AddGroup(this);
}

GSOOnlineGroup::~GSOOnlineGroup() {
  // Nothing is posted from an object on its way out.
  closing_ = true;
  if (OnlineAccessClientEndpoint* connection = Connection()) connection->LeaveGroup(groupName_);
  OnClosed();
}

OnlineAccessClientEndpoint* GSOOnlineGroup::Connection() const {
  return owner_ != nullptr ? &GSOOnlineAccess::Endpoint() : nullptr;
}

void GSOOnlineGroup::PostToSelf(const char* major, const char* minor) {
  if (router == nullptr || closing_) return;
  GSRuntime::GSMessage* message = CreateMessage(major, minor, id, 0);
  if (message == nullptr) return;
  router->PostMessage(message);
  message->Release();
}

void GSOOnlineGroup::SetStatus(u32 status) {
  if (status == status_) return;
  status_ = status;
  PostToSelf("OnlineGroup", "StatusChange");
}

void GSOOnlineGroup::StartConnect() {
  OnlineAccessClientEndpoint* connection = Connection();
  if (connection == nullptr || status_ != kIdle) return;
  status_ = kConnecting;
  if (groupName_.IsEmpty()) {
    requestId_ = connection->CreateGroup(mode_);
  } else {
    connection->OpenGroup(groupName_, mode_);
  }
}

void GSOOnlineGroup::Update(f32 elapsedSeconds) {
  GSGameObject::Update(elapsedSeconds);
  if ((flags & kDeletionPending) != 0) return;
  if (messagePending_) {
    messagePending_ = false;
    PostToSelf("OnlineGroup", "ReceiveMessage");
  }
  Schedule();
}

bool GSOOnlineGroup::MatchesRequest(u32 requestId) {
  return status_ == kConnecting && groupName_.IsEmpty() && requestId_ == requestId;
}

void GSOOnlineGroup::OnOpened(const Qel::PString& name, TStream& rest) {
  groupName_ = name;
  requestId_ = 0;
  SetStatus(kOpen);
  UpdateUsers(rest, true);
}

void GSOOnlineGroup::OnUsersMessage(TStream& rest) { UpdateUsers(rest, false); }

void GSOOnlineGroup::OnClosed() {
  SetStatus(kClosed);
  if (OnlineAccessClientEndpoint* endpoint = GSOOnlineAccess::ExistingEndpoint()) {
    endpoint->RemoveGroup(this);
  }
  owner_ = nullptr;
  const GSHandle reference = ownerReference_;
  ownerReference_ = 0;
  GSRuntime::ObjectBridge::ReleaseIfSet(reference);
}

void GSOOnlineGroup::OnClientRemoved(OnlineAccessClientBase* client) {
  if (owner_ != nullptr && client == static_cast<OnlineAccessClientBase*>(owner_)) OnClosed();
}

bool GSOOnlineGroup::MatchesName(const Qel::PString& name) { return groupName_ == name; }

void GSOOnlineGroup::OnGroupMessage(std::unique_ptr<OnlineGroupMessage> message) {
  messages_.push_back(std::move(message));
  messagePending_ = true;
  Schedule();
}

int GSOOnlineGroup::Find(const Qel::PString& name) const {
  for (size_t i = 0; i < users_.size(); ++i) {
    if (users_[i].name.EqualsIgnoreCase(name)) return int(i);
  }
  return -1;
}

void GSOOnlineGroup::UpdateUsers(TStream& in, bool clearFirst) {
  bool changed = false;
  if (clearFirst && !users_.empty()) {
    users_.clear();
    changed = true;
  }
  u16 count = 0;
  in.ReadU16(count, 0);
  for (u16 i = 0; i < count; ++i) {
    User entry;
    u8 status = 0;
    // An entry cut short by the end of the message is no entry.
    if (!in.ReadPString(entry.name) || !in.ReadU8(status, 0) || !in.ReadU32(entry.flags, 0)) break;
    entry.status = status;
    const int at = Find(entry.name);
    if (status == kRemoveUser) {
      if (at < 0) continue;
      const Qel::PString removed = users_[size_t(at)].name;
      users_.erase(users_.begin() + at);
      PostToSelf("OnlineGroup.UserRemoved", removed.CStr());
      changed = true;
    } else if (at < 0) {
      users_.push_back(entry);
      PostToSelf("OnlineGroup.UserAdded", entry.name.CStr());
      changed = true;
    } else if (users_[size_t(at)].status != entry.status ||
               users_[size_t(at)].flags != entry.flags) {
      users_[size_t(at)].status = entry.status;
      users_[size_t(at)].flags = entry.flags;
      PostToSelf("OnlineGroup.UserStatus", users_[size_t(at)].name.CStr());
      changed = true;
    }
  }
  if (changed) PostToSelf("OnlineGroup", "UsersChange");
}

void GSOOnlineGroup::Connect(GSStack*) { StartConnect(); }

void GSOOnlineGroup::GetStatus(GSStack* stack) { stack->PushInt(i32(status_)); }

void GSOOnlineGroup::Disconnect(GSStack*) {
  OnlineAccessClientEndpoint* connection = Connection();
  if (connection == nullptr) return;
  connection->LeaveGroup(groupName_);
  SetStatus(kIdle);
}

void GSOOnlineGroup::GetOnlineGroupCookie(GSStack* stack) {
  GSRuntime::PushString(stack, status_ == kOpen ? groupName_.CStr() : "");
}

void GSOOnlineGroup::AddUser(GSStack* stack) {
  Qel::PString name;
  if (!GSRuntime::GetParam(stack, 1, &name, false)) return;
  OnlineAccessClientEndpoint* connection = Connection();
  if (connection == nullptr || Find(name) >= 0) return;
  users_.push_back(User{name, 0, 0});
  connection->SetGroupMember(groupName_, 0, name);
}

void GSOOnlineGroup::RemoveUser(GSStack* stack) {
  Qel::PString name;
  if (!GSRuntime::GetParam(stack, 1, &name, false)) return;
  OnlineAccessClientEndpoint* connection = Connection();
  const int at = Find(name);
  if (connection == nullptr || at < 0) return;
  users_.erase(users_.begin() + at);
  connection->SetGroupMember(groupName_, kRemoveUser, name);
}

void GSOOnlineGroup::CountUsers(GSStack* stack) { stack->PushInt(i32(users_.size())); }

void GSOOnlineGroup::GetIndexedUser(GSStack* stack) {
  const u32 index = GSRuntime::ParamWord(stack, 1);
  // Out of range the script reads the empty text, not whatever a missing result would leave.
  GSRuntime::PushString(stack, index < users_.size() ? users_[index].name.CStr() : "");
}

void GSOOnlineGroup::FindUser(GSStack* stack) {
  Qel::PString name;
  if (!GSRuntime::GetParam(stack, 1, &name, true)) return;
  stack->PushInt(Find(name));
}

void GSOOnlineGroup::GetUserStatus(GSStack* stack) {
  const u32 index = GSRuntime::ParamWord(stack, 1);
  stack->PushInt(index < users_.size() ? i32(users_[index].status) : 0);
}

void GSOOnlineGroup::PostMessage(GSStack* stack) {
  GSOSoup* soup = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &soup, false)) return;
  OnlineAccessClientEndpoint* connection = Connection();
  if (connection == nullptr) {
    stack->PushInt(OnlineAccessClientEndpoint::kPostNotOnline);
    return;
  }
  if (!owner_->TakePost()) {
    stack->PushInt(OnlineAccessClientEndpoint::kPostRefused);
    return;
  }
  stack->PushInt(
      connection->PostGroupMessage(owner_->GetClientKUID(), groupName_, soup->GetSoup()));
}

void GSOOnlineGroup::CollectMessage(GSStack* stack) {
  GSOSoup* soup = nullptr;
  if (!GSRuntime::GetParam(stack, 2, &soup, false)) return;
  OnlineAccessClientEndpoint* connection = Connection();
  if (connection == nullptr || connection->GetStatus() != OnlineAccessClientEndpoint::kOnline) {
    stack->PushInt(1);
    return;
  }
  if (messages_.empty()) {
    stack->PushInt(6);
    return;
  }
  if (soup->IsLocked()) {
    GSRuntime::RaiseScriptError("OnlineGroup.CollectMessage> soup is locked");
    return;
  }
  std::unique_ptr<OnlineGroupMessage> message = std::move(messages_.front());
  messages_.pop_front();
  if (GSRuntime::GSString* text = GSRuntime::StringParam(stack, 1)) {
    static_cast<Qel::String&>(*text) = message->text;
  }
  soup->CopyFrom(message->soup);
  stack->PushInt(0);
}

void GSOOnlineGroup::SetModeFlags(GSStack* stack) {
  if (OnlineAccessClientEndpoint* connection = Connection()) {
    connection->SetGroupMode(groupName_, GSRuntime::ParamWord(stack, 1),
                             GSRuntime::ParamWord(stack, 2));
  }
}

void GSOOnlineGroup::SetUserModeFlags(GSStack* stack) {
  Qel::PString user;
  if (!GSRuntime::GetParam(stack, 1, &user, true)) return;
  if (OnlineAccessClientEndpoint* connection = Connection()) {
    connection->SetGroupUserMode(groupName_, user, GSRuntime::ParamWord(stack, 2),
                                 GSRuntime::ParamWord(stack, 3));
  }
}

void GSOOnlineGroup::GetUserModeFlags(GSStack* stack) {
  Qel::PString user;
  if (!GSRuntime::GetParam(stack, 1, &user, true)) return;
  const int at = owner_ != nullptr ? Find(user) : -1;
  stack->PushInt(at >= 0 ? i32(users_[size_t(at)].flags) : 0);
}
