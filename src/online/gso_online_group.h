// The script class "OnlineGroup": a named set of users on the online-access service, made by an
// OnlineAccess object. Its name is the cookie scripts hand to other users so that they can open
// the same group. The service's group traffic reaches it through the connection; it tells its
// script of changes by messages posted to itself ("OnlineGroup", "StatusChange", "UsersChange",
// "ReceiveMessage"; "OnlineGroup.UserAdded" / ".UserRemoved" / ".UserStatus" with the user's name).
#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "gsruntime/gs_game_object.h"
#include "online/online_access_client_endpoint.h"
#include "qel/pstring.h"

class GSOOnlineAccess;

class GSOOnlineGroup : public GSRuntime::GSGameObject,
                       public OnlineAccessClientEndpoint::OnlineGroup {
 public:
  enum Status : u32 { kIdle = 0, kConnecting = 1, kOpen = 2, kClosed = 3 };
  // The status a user entry of the wire gives to remove the user.
  static constexpr u8 kRemoveUser = 255;

  struct User {
    Qel::PString name;
    u32 status = 0;
    u32 flags = 0;
  };

  // A new group of the owner, registered with the connection and the context's router, asking
  // the service at once to open it (a name) or to create it (none). Its counted script reference,
  // or 0 when it cannot be made.
  static GSRuntime::GSHandle New(GSRuntime::GSContext* context, GSOOnlineAccess* owner,
                                 const Qel::PString& name, u32 mode);
  // The binding of an OnlineGroup native; null for another signature.
  static GSRuntime::GSNativeFunction* BindNative(const Qel::PString& className,
                                                 const Qel::PString& signature);

  ~GSOOnlineGroup() override;

  void Update(f32 elapsedSeconds) override;

  bool MatchesRequest(u32 requestId) override;
  void OnOpened(const Qel::PString& name, TStream& rest) override;
  void OnUsersMessage(TStream& rest) override;
  void OnClosed() override;
  void OnClientRemoved(OnlineAccessClientBase* client) override;
  bool MatchesName(const Qel::PString& name) override;
  void OnGroupMessage(std::unique_ptr<OnlineGroupMessage> message) override;

  u32 Status() const { return status_; }
  const std::vector<User>& Users() const { return users_; }
  const Qel::PString& Name() const { return groupName_; }

  void Connect(GSRuntime::GSStack* stack);
  void GetStatus(GSRuntime::GSStack* stack);
  void Disconnect(GSRuntime::GSStack* stack);
  void GetOnlineGroupCookie(GSRuntime::GSStack* stack);
  void AddUser(GSRuntime::GSStack* stack);
  void RemoveUser(GSRuntime::GSStack* stack);
  void CountUsers(GSRuntime::GSStack* stack);
  void GetIndexedUser(GSRuntime::GSStack* stack);
  void FindUser(GSRuntime::GSStack* stack);
  void GetUserStatus(GSRuntime::GSStack* stack);
  void PostMessage(GSRuntime::GSStack* stack);
  void CollectMessage(GSRuntime::GSStack* stack);
  void SetModeFlags(GSRuntime::GSStack* stack);
  void SetUserModeFlags(GSRuntime::GSStack* stack);
  void GetUserModeFlags(GSRuntime::GSStack* stack);

 private:
  GSOOnlineGroup(GSOOnlineAccess* owner, const Qel::PString& name, u32 mode);

  void StartConnect();
  void SetStatus(u32 status);
  void PostToSelf(const char* major, const char* minor);
  // Reads the user list of the wire into the users; with `clearFirst` the list starts empty.
  void UpdateUsers(TStream& in, bool clearFirst);
  // The index of the user, ignoring case; -1 when absent.
  int Find(const Qel::PString& name) const;
  // The connection while the group has an owner, else null.
  OnlineAccessClientEndpoint* Connection() const;

  u32 status_ = kIdle;
  GSOOnlineAccess* owner_ = nullptr;
  GSRuntime::GSHandle ownerReference_ = 0;
  Qel::PString groupName_;
  std::vector<User> users_;
  std::deque<std::unique_ptr<OnlineGroupMessage>> messages_;
  bool messagePending_ = false;
  u32 mode_ = 0;
  u32 requestId_ = 0;
  bool closing_ = false;
};
