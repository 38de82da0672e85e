// The daemon the online fuzz targets give their endpoints: a fixed profile, no hand-off.
#pragma once

#include <memory>

#include "online/online_daemon_link.h"

class FixedDaemon : public OnlineDaemonLink {
 public:
  OnlineProfile GetOnlineProfile() override { return {"fuzz", "", 0}; }
  Qel::String GetAuthTicket() override { return "fuzz-ticket"; }
  void PostLoginRejected() override {}
  std::unique_ptr<OnlineLoginRequest> StartLoginHandOff() override { return nullptr; }
};
