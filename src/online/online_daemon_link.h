// What the online-access client asks of the asset-database daemon: the online profile, the
// authentication ticket, the news that the service refused it, and the login hand-off (a daemon
// URL request for "oblogin://"). An interface, so that the client's state machine runs in tests
// against a scripted daemon.
#pragma once

#include <memory>

#include "qel/string.h"
#include "qel/types.h"

struct OnlineProfile {
  Qel::String name;  // empty: there is no profile
  Qel::String host;  // the service's host; empty for the default
  u16 port = 0;      // its UDP port; 0 for the default
};

// A login hand-off in progress; destroying it closes it in the daemon.
class OnlineLoginRequest {
 public:
  virtual ~OnlineLoginRequest() = default;
  virtual bool IsDone() = 0;
  // 0 success, 3 refused; other values are failures.
  virtual u32 GetStatus() = 0;
};

class OnlineDaemonLink {
 public:
  virtual ~OnlineDaemonLink() = default;
  virtual OnlineProfile GetOnlineProfile() = 0;
  // Empty while the user has not authenticated.
  virtual Qel::String GetAuthTicket() = 0;
  virtual void PostLoginRejected() = 0;
  // Null when the hand-off could not start.
  virtual std::unique_ptr<OnlineLoginRequest> StartLoginHandOff() = 0;
};

// The link through the tool's daemon connection.
std::unique_ptr<OnlineDaemonLink> MakePymOnlineDaemonLink();
