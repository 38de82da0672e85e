// The program's one connection to the online-access service: a reliable channel in fragment mode
// that logs the user in with the profile and ticket the daemon holds, delivers asset-addressed
// messages to the clients that want them (storing the others until such a client comes), carries
// the traffic of online groups and limits how many bytes scripts may send.
//
// The instance is made on first use and ended by Shutdown, which the tool's shut-down calls: it
// talks to the daemon and the network on the way out, so it must not wait for static
// destruction, when neither may be there any more.
#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "core/kuid.h"
#include "online/online_daemon_link.h"
#include "online/online_message.h"
#include "online/tme_endpoint.h"
#include "online/udp_socket.h"
#include "qel/pstring.h"
#include "qel/string.h"

class OnlineAccessClientEndpoint;

// A user of the endpoint, addressed by its KUID.
class OnlineAccessClientBase {
 public:
  explicit OnlineAccessClientBase(const KUID& kuid) : clientKuid_(kuid) {}
  virtual ~OnlineAccessClientBase() = default;
  // The client takes the message.
  virtual void ReceiveMessage(std::unique_ptr<OnlineMessage> message) = 0;
  const KUID& GetClientKUID() const { return clientKuid_; }

 private:
  KUID clientKuid_;
};

class OnlineAccessClientEndpoint : public TMEEndpoint {
 public:
  // The connection states, as GetStatus reports them.
  enum State : u32 {
    kNoProfile = 0,
    kOffline = 1,
    kNotAuthenticated = 2,
    kRefused = 3,
    kConnectionLost = 5,
    kConnecting = 6,
    kOnline = 7,
  };
  // Results of the post operations.
  enum PostResult : int { kPostQueued = 0, kPostNotOnline = 1, kPostRefused = 4 };

  // Message types of the service protocol.
  enum MessageType : u8 {
    kMsgChallenge = 1,
    kMsgTicket = 2,
    kMsgLoginAccepted = 3,
    kMsgLoginAcceptedWithLimits = 4,
    kMsgAsset = 10,
    kMsgVersionedAsset = 11,
    kMsgGroupOpened = 21,
    kMsgLeaveGroup = 22,
    kMsgGroupMember = 23,
    kMsgGroupPost = 24,
    kMsgGroupMode = 25,
    kMsgGroupUserMode = 26,
    kMsgOpenGroup = 28,
    kMsgCreateGroup = 29,
    kMsgLogin = 31,
  };

  static constexpr f64 kDefaultFloodLimitPerMinute = 300000.0;
  static constexpr f64 kDefaultFloodLimitPerHour = 10800000.0;
  static constexpr f64 kRetryDelay = 10.0;
  // Stored messages kept for absent clients; beyond it the oldest is dropped.
  static constexpr u32 kMaxStoredMessages = 1000;
  static constexpr u32 kStoredMessagesFormat = 1;
  static constexpr u8 kLoginProtocolVersion = 4;

  // A group of users on the service; its behaviour belongs to the group class. The endpoint
  // holds it without owning it and forgets it (its owner pointer nulled first) before it tells
  // it that it is closed, so a group that leaves or is closed twice changes nothing.
  class OnlineGroup {
   public:
    virtual ~OnlineGroup() = default;
    virtual bool MatchesRequest(u32 requestId) = 0;
    virtual void OnOpened(const Qel::PString& name, TStream& rest) = 0;
    virtual void OnUsersMessage(TStream& rest) = 0;
    virtual void OnClosed() = 0;
    virtual void OnClientRemoved(OnlineAccessClientBase* client) = 0;
    virtual bool MatchesName(const Qel::PString& name) = 0;
    virtual void OnGroupMessage(std::unique_ptr<OnlineGroupMessage> message) = 0;

    // The endpoint the group is registered with; null once it left or was closed.
    OnlineAccessClientEndpoint* GetOwner() const { return owner_; }

   private:
    friend class OnlineAccessClientEndpoint;
    OnlineAccessClientEndpoint* owner_ = nullptr;
  };

  explicit OnlineAccessClientEndpoint(std::unique_ptr<OnlineDaemonLink> daemon);
  ~OnlineAccessClientEndpoint() override;

  // The process-wide instance, made on first use with the daemon link of the tool's connection.
  static OnlineAccessClientEndpoint& Instance();
  static bool HasInstance();
  // Disconnects and ends the instance; a later Instance() makes a new one.
  static void Shutdown();

  void Update() override;
  void HandlePacket(TMEPacket* packet) override;
  void OnDisconnected() override;

  bool Connect(bool force);
  void Disconnect();
  u32 GetStatus() const { return state_; }
  bool CanAccessMultiplayer() const { return canAccessMultiplayer_; }

  void AddClient(OnlineAccessClientBase* client);
  void RemoveClient(OnlineAccessClientBase* client);
  bool HasClients() const { return !clients_.empty(); }

  void AddGroup(OnlineGroup* group);
  // Forgets the group; nothing when it is not registered.
  void RemoveGroup(OnlineGroup* group);

  int PostVersionedMessage(const KUID& sender, const Qel::String& name, const Soup& soup, bool flag);
  int PostGroupMessage(const KUID& sender, const Qel::PString& group, const Soup& soup);
  void OpenGroup(const Qel::PString& name, u32 mode);
  u32 CreateGroup(u32 mode);
  void LeaveGroup(const Qel::PString& name);
  void SetGroupMember(const Qel::PString& name, u8 operation, const Qel::PString& user);
  void SetGroupMode(const Qel::PString& name, u32 a, u32 b);
  void SetGroupUserMode(const Qel::PString& name, const Qel::PString& user, u32 a, u32 b);

  void SaveStoredMessages(TStream& out) const;
  // Replaces the stored list; a stream that is not of our format changes nothing. False then.
  bool LoadStoredMessages(TStream& in);

  u32 GetStoredMessageCount() const { return u32(stored_.size()); }
  // Stored messages dropped to keep the list within kMaxStoredMessages.
  u64 GetDroppedStoredCount() const { return droppedStored_; }
  bool HasLoginRequest() const { return loginRequest_ != nullptr; }
  f64 GetMinuteBucket() const { return minuteBucket_; }
  f64 GetHourBucket() const { return hourBucket_; }
  UdpSocket& GetUdp() { return udp_; }

 private:
  void SetState(u32 state);
  void Deliver(std::unique_ptr<OnlineMessage> message);
  void StoreMessage(std::unique_ptr<OnlineMessage> message);
  void Refused(const Qel::String& error, bool tellDaemon);
  void HandleLoginReply(u8 type, TStream& in);
  // The registered group that the test accepts; null when none does.
  template <typename Test>
  OnlineGroup* FindGroup(Test test);
  // Forgets the group, then tells it that it is closed.
  void CloseGroup(OnlineGroup* group);
  bool HasClient(const OnlineAccessClientBase* client) const;
  bool HasGroup(const OnlineGroup* group) const;

  std::unique_ptr<OnlineDaemonLink> daemon_;
  u32 state_ = kOffline;
  bool canAccessMultiplayer_ = false;
  f64 floodLimitPerMinute_ = kDefaultFloodLimitPerMinute;
  f64 floodLimitPerHour_ = kDefaultFloodLimitPerHour;
  f64 minuteBucket_ = 0.0;
  f64 hourBucket_ = 0.0;
  f64 retryTimer_ = 0.0;
  f64 lastUpdateTime_ = 0.0;
  UdpSocket udp_;
  std::unique_ptr<OnlineLoginRequest> loginRequest_;
  u32 requestCounter_ = 0;
  std::deque<std::unique_ptr<OnlineMessage>> stored_;
  u64 droppedStored_ = 0;
  std::vector<OnlineAccessClientBase*> clients_;
  std::vector<OnlineGroup*> groups_;
};
