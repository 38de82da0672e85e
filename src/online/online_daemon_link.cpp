#include "online/online_daemon_link.h"

#include "core/url_record.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_url_request.h"

namespace {

// The hand-off's URL; the daemon knows it as the login of the online profile.
constexpr const char* kHandOffUrl = "oblogin://";
// The option word callers pass for small daemon-side requests.
constexpr u32 kHandOffOption = 2;

class PymLoginRequest : public OnlineLoginRequest {
 public:
  explicit PymLoginRequest(PymUrlRequest* request) : request_(request) {}
  ~PymLoginRequest() override { CloseUrlRequest(request_); }
  PymLoginRequest(const PymLoginRequest&) = delete;
  PymLoginRequest& operator=(const PymLoginRequest&) = delete;

  bool IsDone() override { return IsUrlRequestDone(request_); }
  u32 GetStatus() override { return GetUrlRequestStatus(request_); }

 private:
  PymUrlRequest* request_;
};

class PymOnlineDaemonLink : public OnlineDaemonLink {
 public:
  OnlineProfile GetOnlineProfile() override {
    const PymOnlineProfile reply = PymGetOnlineProfile();
    OnlineProfile profile;
    profile.name = reply.profileName;
    profile.host = reply.secondText;
    profile.port = reply.firstPort;
    return profile;
  }
  Qel::String GetAuthTicket() override { return PymGetOnlineAuthTicket(); }
  void PostLoginRejected() override { PymPostOnlineLoginRejected(); }
  std::unique_ptr<OnlineLoginRequest> StartLoginHandOff() override {
    URLRecord url;
    url.Parse(kHandOffUrl);
    PymUrlRequest* request = StartUrlRequest(url, kHandOffOption);
    if (request == nullptr) return nullptr;
    if (request->id == PymProtocol::kNoUrlRequest) {
      DeleteUrlRequest(request);
      return nullptr;
    }
    return std::make_unique<PymLoginRequest>(request);
  }
};

}  // namespace

std::unique_ptr<OnlineDaemonLink> MakePymOnlineDaemonLink() {
  return std::make_unique<PymOnlineDaemonLink>();
}
