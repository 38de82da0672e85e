#include "pymclient/pym_client.h"

#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <fstream>
#include <string>

#include "core/log_printf.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_discovery.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/spec_registry.h"
#include "qel/critical_section.h"
#include "qel/thread.h"

namespace {

using namespace PymProtocol;  // NOLINT(build/namespaces): the protocol's constants

struct ClientState {
  Qel::CriticalSection lock;
  PymClientOptions options;
  std::atomic<bool> open{false};
  Qel::WEvent openEvent{true, false};
  std::atomic<u32> connectPauseMs{kConnectPauseMs};
  // When the last PymOpenDatabase began.
  timespec openStarted{};
};

ClientState& Client() {
  static ClientState* state = new ClientState();
  return *state;
}

void SetOptions(const PymClientOptions& options) {
  ClientState& c = Client();
  Qel::SingleLock guard(c.lock);
  c.options = options;
}

}  // namespace

bool PymIsClientOpen() { return Client().open.load(); }

PymClientOptions PymGetClientOptions() {
  ClientState& c = Client();
  Qel::SingleLock guard(c.lock);
  return c.options;
}

Qel::WEvent& PymGetOpenEvent() { return Client().openEvent; }

void PymSetConnectPauseMs(u32 pauseMs) { Client().connectPauseMs.store(pauseMs); }

u32 PymGetConnectPauseMs() { return Client().connectPauseMs.load(); }

bool PymOpenDatabase(const PymClientOptions& options) {
  ClientState& c = Client();
  if (c.open.load()) return true;
  clock_gettime(CLOCK_REALTIME, &c.openStarted);
  SetOptions(options);
  SetPymDaemonStarted(false);
  bool connected = false;
  for (u32 attempt = 0; attempt < kConnectTries && !connected; ++attempt) {
    if (attempt == 1) {
      if (!GetPymDaemonStarted()) StartPymDaemon();
      Qel::Sleep(PymGetConnectPauseMs());
    } else if (attempt > 1) {
      Qel::Sleep(PymGetConnectPauseMs());
    }
    connected = PymConnect();
    // The silence limit covers the handshake: a frozen daemon is not waited for once per try.
    if (!connected && PymHandshakeWasSilent()) break;
  }
  if (!connected) {
    LogPrintf("PymOpenDatabase> unable to connect to PymDaemon");
    SetOptions(PymClientOptions());
    return false;
  }
  c.open.store(true);
  CreateSpecRegistry();
  c.openEvent.Set();
  return true;
}

void PymCloseDatabase() {
  ClientState& c = Client();
  if (!c.open.exchange(false)) return;
  PymDisconnect(false);
  SetOptions(PymClientOptions());
  PymDestroyQueuedNotifications();
  DeleteSpecRegistry();
  // A question thread still running finds the client closed and posts nothing.
  PymJoinQuestionThreads();
}

std::string PymGetDaemonFailure() {
  Qel::File::Path log = GetDatabasePath();
  if (log.IsEmpty()) return {};
  log.DelName();
  log.AddPath(kDaemonLogFileName);
  struct stat st {};
  const timespec since = Client().openStarted;
  // A log untouched since the open began tells of another start, not of this one.
  if (stat(log.CStr(), &st) != 0 || st.st_mtim.tv_sec < since.tv_sec ||
      (st.st_mtim.tv_sec == since.tv_sec && st.st_mtim.tv_nsec < since.tv_nsec)) {
    return {};
  }
  std::ifstream in(log.CStr(), std::ios::binary);
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(size > std::streamoff(kDaemonLogTailBytes) ? size - std::streamoff(kDaemonLogTailBytes)
                                                      : 0);
  const std::string prefix = kDaemonLogErrorPrefix;
  std::string line;
  std::string last;
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) last = line;
  }
  return last;
}

bool PymCloseDaemon() {
  {
    ClientState& c = Client();
    Qel::SingleLock guard(c.lock);
    c.options.mayStartDaemon = 0;
  }
  TBuffer request(new Qel::DynamicBuffer(), true);
  TBuffer reply(new Qel::DynamicBuffer(), true);
  PymTransact(PymProtocol::kOpCloseDaemon, request, reply, nullptr, nullptr, false);
  for (u32 step = 0; step < kCloseWaitSteps; ++step) {
    if (!PymIsConnected()) return true;
    Qel::Sleep(kCloseWaitStepMs);
  }
  if (!PymIsConnected()) return true;
  LogPrintf("PymCloseDaemon> the daemon did not close the connection\n");
  return false;
}
