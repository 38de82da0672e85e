#include "online/online_access_client_endpoint.h"

#include <algorithm>

#include "assetdata/soup_binary.h"
#include "core/app_globals.h"
#include "core/log_printf.h"
#include "core/stream.h"
#include "pymclient/pym_protocol.h"

namespace {

OnlineAccessClientEndpoint* g_instance = nullptr;

// The three client values that login carries; nothing in this program sets them.
constexpr f32 kClientValueFloat = 0.0f;
constexpr u32 kClientValueWord = 0;
constexpr bool kClientValueFlag = false;

// The smallest stored record: KUID (8), name count (4), soup header (16), version (4), flag (1).
constexpr u32 kMinStoredRecordBytes = 8 + 4 + 16 + 4 + 1;

std::unique_ptr<TMEPacket> NewMessage(u8 type) {
  auto packet = std::make_unique<TMEPacket>();
  packet->WriteU8(type);
  return packet;
}

const char* KuidText(const KUID& kuid, Qel::PString& holder) {
  holder = kuid.ToString();
  return holder.CStr();
}

}  // namespace

OnlineAccessClientEndpoint::OnlineAccessClientEndpoint(std::unique_ptr<OnlineDaemonLink> daemon)
    : daemon_(std::move(daemon)), lastUpdateTime_(GetApplicationTime()) {}

OnlineAccessClientEndpoint::~OnlineAccessClientEndpoint() {
  Disconnect();
  // Groups still registered would keep a pointer to a dead endpoint.
  const std::vector<OnlineGroup*> groups = groups_;
  for (OnlineGroup* group : groups) CloseGroup(group);
  clients_.clear();
  stored_.clear();
  udp_.Close();
}

OnlineAccessClientEndpoint& OnlineAccessClientEndpoint::Instance() {
  if (g_instance == nullptr) g_instance = new OnlineAccessClientEndpoint(MakePymOnlineDaemonLink());
  return *g_instance;
}

bool OnlineAccessClientEndpoint::HasInstance() {
  return g_instance != nullptr;
}

void OnlineAccessClientEndpoint::Shutdown() {
  // Taken out first: whatever the destructor calls finds no half-destroyed instance.
  OnlineAccessClientEndpoint* instance = g_instance;
  g_instance = nullptr;
  delete instance;
}

void OnlineAccessClientEndpoint::SetState(u32 state) {
  state_ = state;
}

void OnlineAccessClientEndpoint::OnDisconnected() {
  if (state_ == kConnecting || state_ == kOnline) SetState(kConnectionLost);
}

bool OnlineAccessClientEndpoint::Connect(bool force) {
  if (!force && (state_ == kConnecting || state_ == kOnline)) return false;
  const OnlineProfile profile = daemon_->GetOnlineProfile();
  if (profile.name.IsEmpty()) {
    LogPrintf("OnlineAccessClientEndpoint::Connect> empty profile name");
    SetState(kNoProfile);
    return false;
  }
  Disconnect();
  SetState(kConnecting);
  const Qel::String ticket = daemon_->GetAuthTicket();
  if (ticket.IsEmpty()) {
    LogPrintf("OnlineAccessClientEndpoint::Connect> not yet authenticated with planet olbek");
    loginRequest_ = daemon_->StartLoginHandOff();
    if (!loginRequest_) SetState(kNotAuthenticated);
    return false;
  }
  if (udp_.Open() != 0) {
    // Without a socket the link is lost at the next update; the state says so.
    LogPrintf("OnlineAccessClientEndpoint::Connect> no UDP socket");
    return false;
  }
  SetMode(1);
  const Qel::String host =
      profile.host.IsEmpty() ? Qel::String(PymProtocol::kOnlineServiceHost) : profile.host;
  const u16 port = profile.port != 0 ? profile.port : PymProtocol::kOnlineServicePort;
  UdpPeer* peer = udp_.BindPeer(host, port);
  if (peer == nullptr) {
    LogPrintf("OnlineAccessClientEndpoint::Connect> cannot resolve the service host %s",
              host.CStr());
    return false;
  }
  TMEEndpoint::Connect(peer);
  SetState(kConnecting);
  SetChannelKey(Qel::String());
  LogPrintf("OnlineAccessClientEndpoint::Connect> logging in as %s at %s:%u", profile.name.CStr(),
            host.CStr(), unsigned(port));
  auto packet = NewMessage(kMsgLogin);
  packet->WriteString(profile.name);
  packet->WriteString(GetApplicationName());
  packet->WriteFloat(kClientValueFloat);
  packet->WriteU32(kClientValueWord);
  packet->WriteBool(kClientValueFlag);
  packet->WriteString(GetSalt());
  packet->WriteU8(kLoginProtocolVersion);
  QueueMessage(packet);
  return true;
}

void OnlineAccessClientEndpoint::Disconnect() {
  loginRequest_.reset();
  TMEEndpoint::Disconnect();
  udp_.UnbindPeer();
  minuteBucket_ = hourBucket_ = 0.0;
  canAccessMultiplayer_ = false;
  SetState(kOffline);
}

void OnlineAccessClientEndpoint::Update() {
  const f64 now = GetApplicationTime();
  const f64 dt = now - lastUpdateTime_;
  lastUpdateTime_ = now;
  hourBucket_ = std::max(0.0, hourBucket_ - dt / 3600.0 * floodLimitPerHour_);
  minuteBucket_ = std::max(0.0, minuteBucket_ - dt / 60.0 * floodLimitPerMinute_);
  retryTimer_ = std::max(0.0, retryTimer_ - dt);

  udp_.ReceiveAll();
  TMEEndpoint::Update();

  if (loginRequest_ && loginRequest_->IsDone()) {
    // Out of the member before anything can reconnect: Connect and Disconnect close a pending
    // request, and this one is closed here, once.
    std::unique_ptr<OnlineLoginRequest> request = std::move(loginRequest_);
    const u32 status = request->GetStatus();
    request.reset();
    if (status != 0 || retryTimer_ > 0) {
      if (state_ == kConnecting) {
        Disconnect();
        if (status == 3) Refused(Qel::String("the login hand-off was refused"), true);
      }
    } else if (state_ == kConnecting) {
      if (!Connect(true)) retryTimer_ = kRetryDelay;
    }
  }

  if ((state_ == kConnecting || state_ == kOnline) && !loginRequest_ && !IsConnected()) {
    OnDisconnected();
  }
}

void OnlineAccessClientEndpoint::Refused(const Qel::String& error, bool tellDaemon) {
  // The error text comes from the service: an argument, never a format.
  LogPrintf("OnlineAccessClientEndpoint::HandlePacket> login refused: %s", error.CStr());
  SetState(kRefused);
  if (tellDaemon) daemon_->PostLoginRejected();
}

void OnlineAccessClientEndpoint::HandleLoginReply(u8 type, TStream& in) {
  Qel::String error;
  in.ReadString(error);
  if (type == kMsgChallenge) {
    if (!error.IsEmpty()) {
      Refused(error, false);
      return;
    }
    Qel::String key;
    in.ReadString(key);
    if (!SetChannelKey(key)) {
      LogPrintf("OnlineAccessClientEndpoint::HandlePacket> channel key too short");
      SetState(kNotAuthenticated);
      return;
    }
    auto packet = NewMessage(kMsgTicket);
    packet->WriteString(daemon_->GetAuthTicket());
    QueueMessage(packet);
    return;
  }
  if (!error.IsEmpty()) {
    Refused(error, true);
    return;
  }
  if (type == kMsgLoginAccepted) {
    u32 unusedWord = 0;
    f32 unusedFloat = 0;
    in.ReadU32(unusedWord, 0);
    in.ReadFloat(unusedFloat, 0);
  } else {
    bool multiplayer = false;
    u32 perMinute = 0, unused = 0, perHour = 0;
    in.ReadBool(multiplayer, false);
    in.ReadU32(perMinute, 0);
    in.ReadU32(unused, 0);
    in.ReadU32(perHour, 0);
    canAccessMultiplayer_ = multiplayer;
    floodLimitPerMinute_ = f64(perMinute);
    floodLimitPerHour_ = f64(perHour);
    LogPrintf("OnlineAccessClientEndpoint::HandlePacket> Flood limits set by server (%f,%f)",
              floodLimitPerHour_, floodLimitPerMinute_);
  }
  SetState(kOnline);
}

void OnlineAccessClientEndpoint::HandlePacket(TMEPacket* packet) {
  u8 type = 0;
  if (!packet->ReadU8(type, 0)) return;
  switch (type) {
    case kMsgChallenge:
    case kMsgLoginAccepted:
    case kMsgLoginAcceptedWithLimits:
      HandleLoginReply(type, *packet);
      return;
    case kMsgAsset:
    case kMsgVersionedAsset: {
      std::unique_ptr<OnlineMessage> message;
      if (type == kMsgAsset) {
        message = std::make_unique<OnlineMessage>();
      } else {
        message = std::make_unique<OnlineVersionedMessage>();
      }
      if (!message->Read(*packet)) {
        LogPrintf("OnlineAccessClientEndpoint::HandlePacket> malformed message %u dropped",
                  unsigned(type));
        return;
      }
      Deliver(std::move(message));
      return;
    }
    case kMsgGroupOpened:
    case kMsgGroupMember: {
      Qel::PString name;
      packet->ReadPString(name);
      OnlineGroup* group = FindGroup([&](OnlineGroup* g) { return g->MatchesName(name); });
      if (group == nullptr) {
        LeaveGroup(name);
      } else if (type == kMsgGroupOpened) {
        group->OnOpened(name, *packet);
      } else {
        group->OnUsersMessage(*packet);
      }
      return;
    }
    case kMsgLeaveGroup: {
      Qel::PString name;
      packet->ReadPString(name);
      if (OnlineGroup* group = FindGroup([&](OnlineGroup* g) { return g->MatchesName(name); }))
        CloseGroup(group);
      return;
    }
    case kMsgGroupPost: {
      auto message = std::make_unique<OnlineGroupMessage>();
      if (!message->Read(*packet)) {
        LogPrintf("OnlineAccessClientEndpoint::HandlePacket> malformed group message dropped");
        return;
      }
      const Qel::PString name = message->group;
      OnlineGroup* group = FindGroup([&](OnlineGroup* g) { return g->MatchesName(name); });
      if (group == nullptr) {
        LeaveGroup(name);
      } else {
        group->OnGroupMessage(std::move(message));
      }
      return;
    }
    case kMsgCreateGroup: {
      u32 requestId = 0;
      Qel::PString name;
      packet->ReadU32(requestId, 0);
      packet->ReadPString(name);
      OnlineGroup* group = FindGroup([&](OnlineGroup* g) { return g->MatchesRequest(requestId); });
      if (group == nullptr) {
        LeaveGroup(name);
      } else {
        group->OnOpened(name, *packet);
      }
      return;
    }
    default:
      return;
  }
}

void OnlineAccessClientEndpoint::Deliver(std::unique_ptr<OnlineMessage> message) {
  for (OnlineAccessClientBase* client : clients_) {
    if (client->GetClientKUID() == message->kuid) {
      client->ReceiveMessage(std::move(message));
      return;
    }
  }
  Qel::PString text;
  LogPrintf("OnlineAccessClientEndpoint::HandlePacket> Storing iKestro message for %s",
            KuidText(message->kuid, text));
  StoreMessage(std::move(message));
}

void OnlineAccessClientEndpoint::StoreMessage(std::unique_ptr<OnlineMessage> message) {
  if (stored_.size() >= kMaxStoredMessages) {
    ++droppedStored_;
    Qel::PString text;
    LogPrintf("OnlineAccessClientEndpoint> stored messages full: the oldest, for %s, dropped "
              "(%llu dropped)",
              KuidText(stored_.front()->kuid, text), static_cast<unsigned long long>(droppedStored_));
    stored_.pop_front();
  }
  stored_.push_back(std::move(message));
}

bool OnlineAccessClientEndpoint::HasClient(const OnlineAccessClientBase* client) const {
  return std::find(clients_.begin(), clients_.end(), client) != clients_.end();
}

bool OnlineAccessClientEndpoint::HasGroup(const OnlineGroup* group) const {
  return std::find(groups_.begin(), groups_.end(), group) != groups_.end();
}

void OnlineAccessClientEndpoint::AddClient(OnlineAccessClientBase* client) {
  if (!HasClient(client)) clients_.push_back(client);
  const KUID kuid = client->GetClientKUID();
  // The matching messages leave the list before any is handed on: a client may add or remove
  // clients, or be removed, while it receives one.
  std::vector<std::unique_ptr<OnlineMessage>> replay;
  for (auto it = stored_.begin(); it != stored_.end();) {
    if ((*it)->kuid.userId == kuid.userId && (*it)->kuid.contentId == kuid.contentId) {
      replay.push_back(std::move(*it));
      it = stored_.erase(it);
    } else {
      ++it;
    }
  }
  for (std::unique_ptr<OnlineMessage>& message : replay) {
    Qel::PString text;
    LogPrintf("OnlineAccessClientEndpoint::AddClient> replaying stored message for %s",
              KuidText(kuid, text));
    if (HasClient(client)) {
      client->ReceiveMessage(std::move(message));
    } else {
      StoreMessage(std::move(message));  // the client left while the replay ran
    }
  }
}

void OnlineAccessClientEndpoint::RemoveClient(OnlineAccessClientBase* client) {
  auto it = std::find(clients_.begin(), clients_.end(), client);
  if (it == clients_.end()) return;
  clients_.erase(it);
  // A snapshot: a group may leave (or make others leave) when it hears of the client.
  const std::vector<OnlineGroup*> groups = groups_;
  for (OnlineGroup* group : groups) {
    if (HasGroup(group)) group->OnClientRemoved(client);
  }
}

void OnlineAccessClientEndpoint::AddGroup(OnlineGroup* group) {
  if (HasGroup(group)) return;
  group->owner_ = this;
  groups_.push_back(group);
}

void OnlineAccessClientEndpoint::RemoveGroup(OnlineGroup* group) {
  auto it = std::find(groups_.begin(), groups_.end(), group);
  if (it == groups_.end()) return;
  group->owner_ = nullptr;
  groups_.erase(it);
}

void OnlineAccessClientEndpoint::CloseGroup(OnlineGroup* group) {
  if (!HasGroup(group)) return;
  RemoveGroup(group);
  group->OnClosed();
}

template <typename Test>
OnlineAccessClientEndpoint::OnlineGroup* OnlineAccessClientEndpoint::FindGroup(Test test) {
  const std::vector<OnlineGroup*> groups = groups_;
  for (OnlineGroup* group : groups) {
    if (HasGroup(group) && test(group)) return group;
  }
  return nullptr;
}

int OnlineAccessClientEndpoint::PostVersionedMessage(const KUID& sender, const Qel::String& name,
                                                     const Soup& soup, bool flag) {
  if (state_ != kOnline) return kPostNotOnline;
  OnlineVersionedMessage message;
  message.kuid = sender;
  message.name = name;
  message.soup = soup;
  message.version = 1;
  message.flag = flag;
  auto packet = NewMessage(kMsgVersionedAsset);
  message.Write(*packet);
  const u32 length = packet->GetPayloadLength();
  if (hourBucket_ > floodLimitPerHour_ || minuteBucket_ > floodLimitPerMinute_) {
    // The name is the script's text: an argument, never a format.
    LogPrintf("%s", name.CStr());
    return kPostRefused;
  }
  if (!QueueMessage(packet)) return kPostRefused;
  minuteBucket_ += length;
  hourBucket_ += length;
  return kPostQueued;
}

int OnlineAccessClientEndpoint::PostGroupMessage(const KUID& sender, const Qel::PString& group,
                                                 const Soup& soup) {
  if (state_ != kOnline) return kPostNotOnline;
  auto packet = NewMessage(kMsgGroupPost);
  packet->WriteKUID(sender);
  packet->WriteString(Qel::String());
  packet->WritePString(group);
  WriteSoup(*packet, soup.IsNull() ? Soup() : soup);
  const u32 length = packet->GetPayloadLength();
  if (hourBucket_ > floodLimitPerHour_ || minuteBucket_ > floodLimitPerMinute_) {
    LogPrintf("%s", group.CStr());
    return kPostRefused;
  }
  QueueMessage(packet);
  minuteBucket_ += length;
  hourBucket_ += length;
  return kPostQueued;
}

void OnlineAccessClientEndpoint::OpenGroup(const Qel::PString& name, u32 mode) {
  auto packet = NewMessage(kMsgOpenGroup);
  packet->WritePString(name);
  packet->WriteU32(mode);
  QueueMessage(packet);
}

u32 OnlineAccessClientEndpoint::CreateGroup(u32 mode) {
  const u32 requestId = ++requestCounter_;
  auto packet = NewMessage(kMsgCreateGroup);
  packet->WriteU32(requestId);
  packet->WriteU32(mode);
  QueueMessage(packet);
  return requestId;
}

void OnlineAccessClientEndpoint::LeaveGroup(const Qel::PString& name) {
  if (name.IsEmpty()) return;
  auto packet = NewMessage(kMsgLeaveGroup);
  packet->WritePString(name);
  QueueMessage(packet);
}

void OnlineAccessClientEndpoint::SetGroupMember(const Qel::PString& name, u8 operation,
                                                const Qel::PString& user) {
  auto packet = NewMessage(kMsgGroupMember);
  packet->WritePString(name);
  packet->WriteU8(operation);
  packet->WritePString(user);
  QueueMessage(packet);
}

void OnlineAccessClientEndpoint::SetGroupMode(const Qel::PString& name, u32 a, u32 b) {
  auto packet = NewMessage(kMsgGroupMode);
  packet->WritePString(name);
  packet->WriteU32(a);
  packet->WriteU32(b);
  QueueMessage(packet);
}

void OnlineAccessClientEndpoint::SetGroupUserMode(const Qel::PString& name,
                                                  const Qel::PString& user, u32 a, u32 b) {
  auto packet = NewMessage(kMsgGroupUserMode);
  packet->WritePString(name);
  packet->WritePString(user);
  packet->WriteU32(a);
  packet->WriteU32(b);
  QueueMessage(packet);
}

void OnlineAccessClientEndpoint::SaveStoredMessages(TStream& out) const {
  out.WriteU32(kStoredMessagesFormat);
  out.WriteU32(u32(stored_.size()));
  for (const std::unique_ptr<OnlineMessage>& message : stored_) {
    if (message->IsVersioned()) {
      message->Write(out);
    } else {
      OnlineVersionedMessage(*message).Write(out);
    }
  }
}

bool OnlineAccessClientEndpoint::LoadStoredMessages(TStream& in) {
  u32 format = 0;
  if (!in.ReadU32(format, 0) || format != kStoredMessagesFormat) return false;
  u32 count = 0;
  in.ReadU32(count, 0);
  // The count is the file's word: never more records than the bytes left can hold, nor more
  // than the list keeps.
  const u32 left = in.GetLength() > in.Tell() ? in.GetLength() - in.Tell() : 0;
  count = std::min({count, left / kMinStoredRecordBytes, kMaxStoredMessages});
  stored_.clear();
  for (u32 i = 0; i < count; ++i) {
    auto message = std::make_unique<OnlineVersionedMessage>();
    // A record cut short keeps the defaults of what is missing.
    message->Read(in);
    stored_.push_back(std::move(message));
  }
  return true;
}
