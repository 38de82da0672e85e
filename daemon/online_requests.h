// The daemon's side of online access: the online profile, the authentication ticket and its
// rejection, the "oblogin://" login hand-off, and the values the online client keeps per asset.
// The profile and the tickets come from ROOT/online.txt (read at each request, so an edit takes
// effect at once); the per-asset values live in settings.tdx.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "pymclient/pym_protocol.h"
#include "qel/types.h"

namespace PymDaemonSrv {

class AssetStore;
class UrlRequests;
struct Response;

class OnlineRequests {
 public:
  static constexpr const char* kHandOffScheme = "oblogin://";
  // Keys longer than this are refused; they name a settings group.
  static constexpr size_t kMaxKeyLength = 255;

  OnlineRequests(AssetStore& store, UrlRequests& urls);

  // Serves the online requests and the hand-off form of the URL request; false for every other
  // request, which the caller serves.
  bool Handle(u32 opcode, const u8* payload, size_t size, Response& response);
  // The connection ended: the ticket it was given is no longer remembered for it.
  void ForgetConnection(u64 connectionId);

 private:
  struct Profile {
    std::string name;
    std::string host;
    u16 port = PymProtocol::kOnlineServicePort;
    std::string ticket;       // held from the start: the user logged in before
    std::string loginTicket;  // what a hand-off obtains; none: the hand-off is refused
  };

  Profile ReadProfile() const;
  std::string CurrentTicket(const Profile& profile);
  void GetProfile(Response& response);
  void GetTicket(Response& response);
  void LoginRejected(u64 connectionId);
  bool StartHandOff(const u8* payload, size_t size, Response& response);
  void GetLocalData(const u8* payload, size_t size, Response& response);
  void SetLocalData(const u8* payload, size_t size);

  // The ticket as the daemon's life changed it (a hand-off gave one, a rejection took it), in
  // place of online.txt's auth-ticket at the time: an edit of that ticket counts again.
  struct HeldTicket {
    std::string ticket;
    std::string replaced;
  };

  AssetStore& store_;
  UrlRequests& urls_;
  std::mutex mutex_;
  // Unset while online.txt decides.
  std::optional<HeldTicket> held_;
  // The ticket each connection was last given. A rejection names no ticket, and online.txt may
  // have changed while that login was under way: the refusal is the given ticket's.
  std::map<u64, std::string> given_;
};

}  // namespace PymDaemonSrv
