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

constexpr u32 kOpenTries = 11;
constexpr u32 kTryPauseMs = 1000;
constexpr u32 kCloseWaitStepMs = 100;
constexpr u32 kCloseWaitSteps = 300;  // 30 seconds
// How much of the end of the daemon's log is searched for its last error line.
constexpr std::streamoff kLogTailBytes = 64 * 1024;

struct ClientState {
  Qel::CriticalSection lock;
  PymClientOptions options;
  std::atomic<bool> open{false};
  Qel::WEvent openEvent{true, false};
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

bool PymOpenDatabase(const PymClientOptions& options) {
  ClientState& c = Client();
  if (c.open.load()) return true;
  clock_gettime(CLOCK_REALTIME, &c.openStarted);
  SetOptions(options);
  SetPymDaemonStarted(false);
  bool connected = false;
  for (u32 attempt = 0; attempt < kOpenTries && !connected; ++attempt) {
    if (attempt == 1) {
      if (!GetPymDaemonStarted()) StartPymDaemon();
      Qel::Sleep(kTryPauseMs);
    } else if (attempt > 1) {
      Qel::Sleep(kTryPauseMs);
    }
    connected = PymConnect();
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
  log.AddPath(PymProtocol::kDaemonLogFileName);
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
  in.seekg(size > kLogTailBytes ? size - kLogTailBytes : 0);
  const std::string prefix = PymProtocol::kDaemonLogErrorPrefix;
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
