#include "pymclient/pym_client.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <memory>
#include <string>

#include "core/log_printf.h"
#include "platform/invariant.h"
#include "platform/serving_note.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_discovery.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/spec_registry.h"
#include "qel/critical_section.h"
#include "qel/thread.h"

namespace {

using namespace PymProtocol;  // NOLINT(build/namespaces): the protocol's constants

// The client as a whole. Created once and never destroyed: a client left open at exit keeps its
// connection until the process ends. It owns the connection while open.
struct ClientState {
  // Taken by open and close, so that the two never overlap.
  Qel::CriticalSection lock;
  std::shared_ptr<PymConnection> connection;
  std::atomic<bool> open{false};
  Qel::WEvent openEvent{true, false};
  std::atomic<u32> connectPauseMs{kConnectPauseMs};
  // The size of the daemon's log when the last PymOpenDatabase began: what follows is of its time.
  std::atomic<i64> logSizeAtOpen{0};
  // The silence limit that the last PymOpenDatabase gave up on; 0 when it did not give up so.
  std::atomic<u32> openSilentMs{0};
  // The process that held the store's lock when the last PymOpenDatabase gave up on a daemon it
  // started that still waited for that lock; 0 when it did not give up so.
  std::atomic<u32> lockHolder{0};
  // Why the last PymOpenDatabase gave up on a daemon that answered: at once on the port that the
  // store's holder noted, or on one busy for the whole silence limit; empty when it did not.
  // Under `lock`.
  std::string holderRefusal;
};

ClientState& Client() {
  static ClientState* state = new ClientState();
  return *state;
}

// How often an open starts the daemon again after the one it started gave way to a daemon that
// went away before serving it.
constexpr u32 kDaemonRestarts = 2;

// The daemon's log beside the index; empty before the install paths are known.
std::string DaemonLogPath() {
  Qel::File::Path log = GetDatabasePath();
  if (log.IsEmpty()) return {};
  log.DelName();
  log.AddPath(kDaemonLogFileName);
  return log.CStr();
}

i64 FileSize(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 ? i64(st.st_size) : 0;
}

// The last error line that the daemon's log gained since the last open began; empty when none.
// Lines written before tell of other starts, even when daemons of other commands wrote since.
std::string LoggedDaemonFailure() {
  const std::string log = DaemonLogPath();
  const i64 size = FileSize(log);
  i64 since = Client().logSizeAtOpen.load();
  // A log that shrank was started anew (rotated): all of it is new.
  if (size < since) since = 0;
  if (size == since) return {};
  std::ifstream in(log, std::ios::binary);
  in.seekg(std::streamoff(std::max(since, size - i64(kDaemonLogTailBytes))));
  const std::string prefix = kDaemonLogErrorPrefix;
  std::string line;
  std::string last;
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) last = line;
  }
  return last;
}

// The process holding the store's lock other than the daemon this process started; 0 when there
// is none or it is unknown.
u32 OtherStoreHolder() {
  const std::string database = GetDatabasePath().CStr();
  Platform::ServingNote note;
  ReadStoreNote(database.c_str(), note, nullptr);
  const u32 holder = StoreLockHolder(database.c_str(), note, nullptr);
  return holder == GetStartedPymDaemon() ? 0 : holder;
}

// Whether process `pid` finds `folder` where this process does: the same folder at that path in
// its own view of the file systems (its mount namespace, as /proc shows it). True when that
// cannot be told.
bool SeesFolder(u32 pid, const std::string& folder) {
  struct stat ours {};
  struct stat theirs {};
  if (pid == 0 || folder.empty() || folder[0] != '/' || stat(folder.c_str(), &ours) != 0) {
    return true;
  }
  const std::string root = "/proc/" + std::to_string(pid) + "/root";
  if (stat(root.c_str(), &theirs) != 0) return true;
  if (stat((root + folder).c_str(), &theirs) != 0) return errno != ENOENT && errno != ENOTDIR;
  return theirs.st_dev == ours.st_dev && theirs.st_ino == ours.st_ino;
}

// What holds the store and does not serve this process, as the connect found it when it gave up:
// the port its holder noted answered other than with the daemon's greeting, or was closed
// unanswered (a daemon refuses a handshake that names a folder it does not see as its store).
std::string HolderRefusal(const PymConnection& connection) {
  const std::string folder = PymProtocol::DatabaseFolder(GetDatabasePath().CStr());
  const u32 seen = connection.HolderSeen();
  const u32 noted = connection.HolderNoted();
  const std::string held =
      "- The store " + folder + " is held by " +
      (seen != 0    ? "process " + std::to_string(seen)
       : noted != 0 ? "process " + std::to_string(noted) + " of another pid namespace"
                    : "another process");
  const std::string port = std::to_string(connection.GetPort());
  if (connection.HolderAnswer() == PymConnection::HandshakeEnd::kWrongAnswer) {
    return held + ", and what answers at the port its lock file names (" + port +
           ") is no PymDaemon.";
  }
  // Which folders a holder out of this process's sight sees cannot be told.
  if (seen == 0) {
    return held + ", whose PymDaemon (port " + port +
           ") closed this command's connection unanswered; it may not see " + folder + ".";
  }
  if (!SeesFolder(seen, folder)) {
    return held + ", whose PymDaemon (port " + port + ") cannot see " + folder +
           " and refused this command.";
  }
  return held + ", whose PymDaemon (port " + port + ") refused this command's connection.";
}

// The time limit as said to the user.
std::string LimitText(u32 ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

std::string SilenceReason(u32 ms) {
  return "PymDaemon did not answer within " + LimitText(ms) +
         ", the longest the tool waits for it.";
}

}  // namespace

bool PymIsClientOpen() { return Client().open.load(); }

PymClientOptions PymGetClientOptions() {
  const auto connection = PymConnection::GetCurrent();
  return connection ? connection->GetOptions() : PymClientOptions();
}

Qel::WEvent& PymGetOpenEvent() { return Client().openEvent; }

void PymSetConnectPauseMs(u32 pauseMs) { Client().connectPauseMs.store(pauseMs); }

u32 PymGetConnectPauseMs() { return Client().connectPauseMs.load(); }

bool PymOpenDatabase(const PymClientOptions& options) {
  ClientState& c = Client();
  Qel::SingleLock guard(c.lock);
  if (c.open.load()) return true;
  c.logSizeAtOpen.store(FileSize(DaemonLogPath()));
  c.openSilentMs.store(0);
  c.lockHolder.store(0);
  c.holderRefusal.clear();
  auto connection = std::make_shared<PymConnection>(options, PymGetConnectPauseMs());
  bool connected = false;
  for (u32 starts = 0; !connected && starts <= kDaemonRestarts; ++starts) {
    // The daemon started for this command gave way to one that then went away before it served
    // this command (killed, or closed from another shell): nobody serves the store, and a daemon
    // started now takes it over. One that ended for a reason of its own wrote it in its log.
    if (starts > 0 &&
        (!GetPymDaemonStarted() || GetStartedPymDaemon() == 0 || IsStartedPymDaemonAlive() ||
         connection->GaveUp() || !LoggedDaemonFailure().empty())) {
      break;
    }
    SetPymDaemonStarted(false);
    PymConnectTries tries;
    for (u32 attempt = 0; !connected && tries.Continue(attempt); ++attempt) {
      if (attempt == 1) {
        if (!GetPymDaemonStarted()) StartPymDaemon();
        Qel::Sleep(PymGetConnectPauseMs());
      } else if (attempt > 1) {
        Qel::Sleep(PymGetConnectPauseMs());
      }
      connected = connection->Connect();
      // The silence limit covers the handshake: a frozen daemon is not waited for once per try,
      // nor one busy for that long. Nor is a holder of the store that does not serve this
      // process: no try would end otherwise.
      if (!connected && connection->GaveUp()) break;
    }
  }
  if (!connected) {
    if (connection->HolderAnswer() != PymConnection::HandshakeEnd::kNone) {
      c.holderRefusal = HolderRefusal(*connection);
    } else if (connection->HandshakeWasBusy()) {
      c.holderRefusal = "- PymDaemon (port " + std::to_string(connection->GetPort()) +
                        ") was too busy to take this command's connection for " +
                        LimitText(PymGetSilenceLimit()) + ", the longest the tool waits for it.";
    }
    // A daemon still starting at the limit is as good as silent: it has not answered either.
    if (connection->HandshakeWasSilent() || IsStartedPymDaemonAlive()) {
      c.openSilentMs.store(PymGetSilenceLimit());
    }
    if (IsStartedPymDaemonAlive() && !connection->HandshakeWasSilent()) {
      c.lockHolder.store(OtherStoreHolder());
    }
    LogPrintf("PymOpenDatabase> unable to connect to PymDaemon");
    return false;
  }
  KESTRO_ASSERT(!c.connection && !PymConnection::GetCurrent());
  c.connection = connection;
  PymConnection::SetCurrent(std::move(connection));
  c.open.store(true);
  CreateSpecRegistry();
  c.openEvent.Set();
  return true;
}

void PymCloseDatabase() {
  ClientState& c = Client();
  Qel::SingleLock guard(c.lock);
  if (!c.open.exchange(false)) return;
  // Withdrawn first: a request that starts now fails at once, one under way holds its own copy
  // and fails when the connection ends.
  PymConnection::SetCurrent(nullptr);
  std::shared_ptr<PymConnection> connection = std::move(c.connection);
  KESTRO_ASSERT(connection);
  connection->Close();
  connection->DestroyQueuedNotifications();
  DeleteSpecRegistry();
  // A question thread still running finds the connection closed and posts nothing.
  connection->JoinQuestionThreads();
}

std::string PymGetDaemonFailure() {
  {
    Qel::SingleLock guard(Client().lock);
    if (!Client().holderRefusal.empty()) return Client().holderRefusal;
  }
  // A daemon that took the connection and then said nothing wrote no reason in its log.
  const u32 ms = Client().openSilentMs.load();
  // The daemon started still waits for the store of another process: that one holds it, and
  // does not serve this command.
  if (const u32 holder = Client().lockHolder.load(); holder != 0) {
    return "- PymDaemon still waits for the store's lock, which process " + std::to_string(holder) +
           " holds; the tool gave up after " + LimitText(ms) + ".";
  }
  if (ms != 0) return "- " + SilenceReason(ms);
  if (std::string logged = LoggedDaemonFailure(); !logged.empty()) return logged;
  if (!GetPymDaemonStarted()) return {};
  if (GetStartedPymDaemon() == 0) {
    return "- PymDaemon could not be started: " + std::string(GetPymDaemonPath().CStr());
  }
  // Without discovery a daemon that serves may have been out of sight all along.
  if (const std::string unseen = GetDiscoveryFailure(); !unseen.empty()) {
    return "- No daemon could be found for " + std::string(GetDatabasePath().CStr()) + ": " +
           unseen;
  }
  return "- PymDaemon went away before it served this command; no daemon serves " +
         std::string(GetDatabasePath().CStr());
}

std::string PymFrozenDaemonReason() {
  const auto connection = PymConnection::GetCurrent();
  return connection && connection->FrozenMs() != 0 ? SilenceReason(connection->FrozenMs()) : "";
}

bool PymDaemonStoppedInOrder() {
  const auto connection = PymConnection::GetCurrent();
  // A daemon that stops in order takes its port out of discovery and out of the store's lock file
  // before it ends a connection; one killed leaves it there.
  if (!connection || connection->GetPort() == 0) return true;
  const std::string database = GetDatabasePath().CStr();
  Platform::ServingNote note;
  ReadStoreNote(database.c_str(), note, nullptr);
  return PeekDatabasePort(database.c_str()) != connection->GetPort() &&
         note.port != connection->GetPort();
}

bool PymCloseDaemon() {
  const auto connection = PymConnection::GetCurrent();
  if (!connection) return true;
  connection->ForbidDaemonStart();
  TBuffer request(new Qel::DynamicBuffer(), true);
  TBuffer reply(new Qel::DynamicBuffer(), true);
  connection->Transact(PymProtocol::kOpCloseDaemon, request, reply, nullptr, nullptr, false);
  for (u32 step = 0; step < kCloseWaitSteps; ++step) {
    if (!connection->IsConnected()) return true;
    Qel::Sleep(kCloseWaitStepMs);
  }
  if (!connection->IsConnected()) return true;
  LogPrintf("PymCloseDaemon> the daemon did not close the connection\n");
  return false;
}
