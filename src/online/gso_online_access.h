// The script class "OnlineAccess": an asset script's client of the program's one connection to
// the online-access service. It posts and collects the asset's messages, reads and writes the
// values the daemon keeps for the asset, keeps the offline message boxes and makes online groups.
// Its update, driven by its context's router, drives the connection and tells the script of
// status changes and of arrived messages ("OnlineAccess", "StatusChange" / "ReceiveMessage",
// posted from the object to itself).
#pragma once

#include <deque>
#include <memory>

#include "core/kuid.h"
#include "gsruntime/gs_game_object.h"
#include "online/online_access_client_endpoint.h"

namespace GSRuntime {
class GSContext;
class GSStack;
}  // namespace GSRuntime

class GSOOnlineAccess : public GSRuntime::GSGameObject, public OnlineAccessClientBase {
 public:
  // Posts allowed in the window: the counter decays by one per second, and a post is refused
  // while it is above this.
  static constexpr f32 kPostLimit = 60.0f;

  // The live object of the owner and asset, with one more reference, else a new one registered
  // with the context's router. The reference of its script instance, counted for the caller; 0
  // when the class is not bound or the context has no router.
  static GSRuntime::GSHandle FindOrCreate(GSRuntime::GSContext* context,
                                          const GSRuntime::GSObject* owner, const KUID& asset);
  // Installs the natives' bindings and the Library's factory; before the script machine starts.
  static void InstallScriptHooks();
  // The connection the objects use: the program's, or the test's while one is set.
  static OnlineAccessClientEndpoint& Endpoint();
  // The same, or null once the program's connection has ended (objects outliving the shut-down
  // must not make a new one).
  static OnlineAccessClientEndpoint* ExistingEndpoint();
  static void SetEndpointForTests(OnlineAccessClientEndpoint* endpoint);
  // Forgets the loaded boxes and cache, so that the next object loads them again.
  static void ResetForTests();
  static Soup& InboxForTests();
  static Soup& OutboxForTests();

  ~GSOOnlineAccess() override;

  void Update(f32 elapsedSeconds) override;
  void ReceiveMessage(std::unique_ptr<OnlineMessage> message) override;

  // True, counting the post, when the window has room for one more.
  bool TakePost();
  u32 QueuedCount() const { return u32(messages_.size()); }
  f32 PostCounter() const { return postCounter_; }
  void SetAssetLocallyModified(bool modified) { assetLocallyModified_ = modified; }

  void Connect(GSRuntime::GSStack* stack);
  void GetStatus(GSRuntime::GSStack* stack);
  void Disconnect(GSRuntime::GSStack* stack);
  void GetUsername(GSRuntime::GSStack* stack);
  void GetLocalData(GSRuntime::GSStack* stack);
  void SetLocalData(GSRuntime::GSStack* stack);
  void GetProfileData(GSRuntime::GSStack* stack);
  void SetProfileData(GSRuntime::GSStack* stack);
  void PostMessage(GSRuntime::GSStack* stack);
  void CollectMessage(GSRuntime::GSStack* stack);
  void CreateGroup(GSRuntime::GSStack* stack);
  void OpenGroup(GSRuntime::GSStack* stack);
  void PostOfflineMessage(GSRuntime::GSStack* stack);
  void CollectOfflineMessage(GSRuntime::GSStack* stack);
  void CanAccessMultiplayer(GSRuntime::GSStack* stack);

 private:
  GSOOnlineAccess(const GSRuntime::GSObject* owner, const KUID& asset);

  // Posts the message from the object to itself.
  void PostToSelf(const char* minor);
  // Leaves the connection's clients, ends the connection when no client is left, and saves the
  // message cache.
  void Leave();
  // A group of this object, made in the calling context; its script reference pushed.
  void PushNewGroup(GSRuntime::GSStack* stack, const Qel::PString& name, u32 mode);

  const GSRuntime::GSObject* owner_;
  u32 reportedStatus_ = 0;
  std::deque<std::unique_ptr<OnlineVersionedMessage>> messages_;
  bool messagePending_ = false;
  bool connectRequested_ = false;
  bool assetLocallyModified_ = false;
  f32 postCounter_ = 0.0f;
};
