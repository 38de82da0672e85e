// oaclient: a test client of online access. It opens the daemon of an installation (starting it
// when none runs), logs in to the service that the online profile (ROOT/online.txt) names, and
// prints every state the login passes through and the endpoint's log lines. With --clients it
// then waits for messages to the listed assets (nobody takes them: they are stored), goes
// offline, logs in again and adds a client for each asset, which replays what was stored.
//
//   oaclient --root ROOT [--seconds S] [--clients USER:CONTENT[,USER:CONTENT]...]
//
// Exit code 0 when the login ended online (and every listed asset received its messages), 1
// when it ended in another state, 2 for bad arguments or no daemon.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/app_globals.h"
#include "core/networking.h"
#include "online/online_access_client_endpoint.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_client.h"
#include "qel/file_path.h"
#include "qel/log.h"
#include "qel/thread.h"
#include "qel/time.h"

namespace {

using Endpoint = OnlineAccessClientEndpoint;

const char* StateName(u32 state) {
  switch (state) {
    case Endpoint::kNoProfile: return "no online profile";
    case Endpoint::kOffline: return "offline";
    case Endpoint::kNotAuthenticated: return "not authenticated";
    case Endpoint::kRefused: return "refused";
    case Endpoint::kConnectionLost: return "connection lost";
    case Endpoint::kConnecting: return "connecting";
    case Endpoint::kOnline: return "online";
  }
  return "?";
}

class PrintingClient : public OnlineAccessClientBase {
 public:
  explicit PrintingClient(const KUID& kuid) : OnlineAccessClientBase(kuid) {}
  void ReceiveMessage(std::unique_ptr<OnlineMessage> message) override {
    ++received;
    std::printf("client %s received \"%s\"\n", GetClientKUID().ToString().CStr(),
                message->name.CStr());
  }
  int received = 0;
};

class Session {
 public:
  explicit Session(double seconds) : deadline_(Qel::Time::Seconds() + seconds) {}

  // Updates the endpoint until the test holds, the login settles, or the time is up.
  template <typename Done>
  bool RunUntil(Endpoint& endpoint, Done done) {
    while (Qel::Time::Seconds() < deadline_) {
      SetApplicationTime(Qel::Time::Seconds());
      endpoint.Update();
      Report(endpoint);
      if (done()) return true;
      Qel::Sleep(5);
    }
    return false;
  }

  void Report(Endpoint& endpoint) {
    if (endpoint.GetStatus() == last_) return;
    last_ = endpoint.GetStatus();
    std::printf("state %u (%s)\n", unsigned(last_), StateName(last_));
    std::fflush(stdout);
  }

  // The login ended: online, or a state that no update leaves by itself.
  static bool Settled(Endpoint& endpoint) {
    const u32 state = endpoint.GetStatus();
    return state == Endpoint::kOnline ||
           (state != Endpoint::kConnecting && !endpoint.HasLoginRequest());
  }

 private:
  double deadline_;
  u32 last_ = ~0u;
};

bool ParseClients(const char* text, std::vector<KUID>& out) {
  std::stringstream list(text);
  for (std::string item; std::getline(list, item, ',');) {
    int user = 0, content = 0, used = 0;
    if (std::sscanf(item.c_str(), "%d:%d%n", &user, &content, &used) != 2 ||
        size_t(used) != item.size())
      return false;
    out.emplace_back(user, content, 0);
  }
  return !out.empty();
}

int Usage() {
  std::fputs("usage: oaclient --root ROOT [--seconds S] [--clients USER:CONTENT[,...]]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const char* root = nullptr;
  double seconds = 30;
  std::vector<KUID> clients;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--root") == 0) {
      root = argv[i + 1];
    } else if (std::strcmp(argv[i], "--seconds") == 0) {
      seconds = std::atof(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--clients") != 0 || !ParseClients(argv[i + 1], clients)) {
      return Usage();
    }
  }
  if (root == nullptr || argc % 2 == 0 || seconds <= 0) return Usage();

  Qel::Log::SetToStdOut(true);
  InitApplicationGlobals("oaclient");
  InitNetworking();
  if (std::string why; !InitInstallPaths(Qel::File::Path(root), &why)) {
    std::fprintf(stderr, "oaclient: %s\n", why.c_str());
    return 2;
  }
  if (!PymOpenDatabase(PymClientOptions())) {
    std::fprintf(stderr, "oaclient: no daemon for %s\n", root);
    return 2;
  }

  Session session(seconds);
  // The application clock runs from here; the endpoint's timers read it.
  SetApplicationTime(Qel::Time::Seconds());
  Endpoint& endpoint = Endpoint::Instance();
  endpoint.Connect(false);
  session.RunUntil(endpoint, [&] { return Session::Settled(endpoint); });
  bool ok = endpoint.GetStatus() == Endpoint::kOnline;

  if (ok && !clients.empty()) {
    // Messages for the assets arrive while no client of theirs is here: they are stored.
    session.RunUntil(endpoint, [&] { return endpoint.GetStoredMessageCount() >= clients.size(); });
    std::printf("stored messages: %u\n", endpoint.GetStoredMessageCount());
    endpoint.Disconnect();
    session.Report(endpoint);
    endpoint.Connect(false);
    session.RunUntil(endpoint, [&] { return Session::Settled(endpoint); });
    std::vector<std::unique_ptr<PrintingClient>> added;
    for (const KUID& kuid : clients) {
      added.push_back(std::make_unique<PrintingClient>(kuid));
      endpoint.AddClient(added.back().get());
    }
    for (const auto& client : added) {
      ok = ok && client->received > 0;
      endpoint.RemoveClient(client.get());
    }
    ok = ok && endpoint.GetStatus() == Endpoint::kOnline;
  }
  std::printf("final state %u (%s)\n", unsigned(endpoint.GetStatus()),
              StateName(endpoint.GetStatus()));

  Endpoint::Shutdown();
  PymCloseDatabase();
  ShutdownNetworking();
  return ok ? 0 : 1;
}
