#include "daemon/daemon_app.h"

#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "daemon/asset_editor.h"
#include "daemon/asset_store.h"
#include "daemon/change_record.h"
#include "daemon/discovery_publisher.h"
#include "daemon/edit_requests.h"
#include "daemon/request_handlers.h"
#include "daemon/server.h"
#include "daemon/store_lock.h"
#include "platform/process.h"
#include "pymclient/pym_protocol.h"
#include "qel/log.h"

namespace PymDaemonSrv {

namespace {

std::atomic<Server*> g_signalServer{nullptr};

void OnSignal(int) {
  if (Server* server = g_signalServer.load()) server->Stop();
}

// Installs the stop handlers for the life of the object and puts the previous ones back after.
class StopSignals {
 public:
  explicit StopSignals(Server& server) {
    g_signalServer.store(&server);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &action, &previous_[i]);
  }
  ~StopSignals() {
    for (size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &previous_[i], nullptr);
    g_signalServer.store(nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  static constexpr size_t kCount = 3;
  static constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction previous_[kCount];
};

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A decimal number from 0 to `most` (limits and the port; a limit of 0 is refused where it
// would stop all service).
bool ParseNumber(const std::string& option, const std::string* text, unsigned long most,
                 unsigned long& value, std::string& error) {
  if (text == nullptr) {
    error = option + " needs a number";
    return false;
  }
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text->c_str(), &end, 10);
  const bool zeroAllowed = option == "--port" || option == "--lock-wait-seconds";
  if (text->empty() || *end != '\0' || errno != 0 || value > most || (*text)[0] == '-' ||
      (value == 0 && !zeroAllowed)) {
    error = option + " needs a number from " + (zeroAllowed ? "0" : "1") + " to " +
            std::to_string(most) + ", not \"" + *text + "\"";
    return false;
  }
  return true;
}

}  // namespace

bool ParseDaemonArguments(const std::vector<std::string>& args, DaemonOptions& out,
                          std::string& error) {
  out = DaemonOptions();
  unsigned long value = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--userdata") {
      if (!hasValue || args[i + 1].empty()) {
        error = "--userdata needs a folder";
        return false;
      }
      out.userData = args[++i];
    } else if (a == "--port") {
      if (!ParseNumber(a, hasValue ? &args[++i] : nullptr, 65535, value, error)) return false;
      out.port = u16(value);
    } else if (a == "--max-connections") {
      if (!ParseNumber(a, hasValue ? &args[++i] : nullptr, 1u << 20, value, error)) return false;
      out.maxConnections = u32(value);
    } else if (a == "--handshake-seconds") {
      if (!ParseNumber(a, hasValue ? &args[++i] : nullptr, kMaxLimitSeconds, value, error)) {
        return false;
      }
      out.handshakeSeconds = u32(value);
    } else if (a == "--idle-seconds") {
      if (!ParseNumber(a, hasValue ? &args[++i] : nullptr, kMaxLimitSeconds, value, error)) {
        return false;
      }
      out.idleSeconds = u32(value);
    } else if (a == "--lock-wait-seconds") {
      if (!ParseNumber(a, hasValue ? &args[++i] : nullptr, kMaxLimitSeconds, value, error)) {
        return false;
      }
      out.lockWaitSeconds = u32(value);
    } else {
      error = "unknown argument \"" + a + "\"";
      return false;
    }
  }
  return true;
}

std::string ResolveUserDataFolder(const DaemonOptions& options, std::string& error) {
  std::string folder = options.userData;
  if (folder.empty()) {
    const std::string program = Platform::ProgramPath();
    if (program.empty()) {
      error = "cannot find the program folder";
      return {};
    }
    folder = ParentFolder(ParentFolder(program)) + "/UserData";
  }
  if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
    error = "cannot create " + folder + ": " + std::strerror(errno);
    return {};
  }
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr) {
    error = "cannot resolve " + folder + ": " + std::strerror(errno);
    return {};
  }
  struct stat st;
  if (stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = std::string(resolved) + " is not a folder";
    return {};
  }
  return resolved;
}

namespace {

// Takes back each editing copy an install made and left, its own take-back failed (a full disk)
// or the tool killed: the daemon named the asset when the install opened it, and dropped the name
// at the asset's next edit, commit, revert or install. While the name stands no other command
// makes an editing copy of the asset, so the copy at its editing path is the install's, wherever
// the folder was moved or restored to; it goes into today's backups, where the user finds it. A
// name of no asset, or whose copy is gone, is forgotten; one whose take-back fails stays named for
// the next start.
void FinishTakeBacks(AssetStore& store) {
  const Soup noted = store.GetSettingsSoup(PymProtocol::kTakeBackGroup);
  if (noted.IsNull() || noted.CountTags() == 0) return;
  Qel::Log& log = Qel::Log::Get("PymDaemon");
  AssetEditor editor(store);
  Soup left;
  left.EnsureContainer();
  for (u32 i = 0; i < noted.CountTags(); ++i) {
    const Qel::PString name = noted.GetIndexedTagName(i);
    const KUID kuid = KUID::Parse(name.CStr(), true);
    std::string kept;
    std::string error;
    if (kuid.IsNull()) {
      log.Printf(Qel::Log::kMessage,
                 "PymDaemon> the install of %s names no asset: nothing is taken back", name.CStr());
    } else if (EditRequests::TakeBackCopy(store, editor, kuid, kept, error) ==
               EditRequests::TakeBack::kFailed) {
      left.SetNamedTag(name, noted.GetNamedTag(name));
      log.Printf(Qel::Log::kMessage,
                 "PymDaemon> cannot take back the install of %s: %s; the next start tries again",
                 name.CStr(), error.c_str());
    }
  }
  std::string error;
  if (!store.SetSettingsSoup(PymProtocol::kTakeBackGroup, left, &error)) {
    log.Printf(Qel::Log::kMessage,
               "PymDaemon> the next start looks again at the installs to take back: %s",
               error.c_str());
  }
}

}  // namespace

bool OpenStore(AssetStore& store, const std::string& userData, std::string& error) {
  std::vector<ChangeRecord> unwritten;
  AssetEditor::RecoverStaging(userData, &unwritten);
  if (!store.Open(userData, &error)) return false;
  {
    std::lock_guard<OwnedMutex> lock(store.ChangeMutex());
    store.OweChanges(std::move(unwritten));
  }
  FinishTakeBacks(store);
  return true;
}

int RunDaemon(const std::vector<std::string>& args) {
  // The store holds the user's assets and account settings: nobody else may read them.
  umask(077);
  DaemonOptions options;
  std::string error;
  if (!ParseDaemonArguments(args, options, error)) {
    std::fprintf(stderr,
                 "PymDaemon: %s\nUsage: PymDaemon [--userdata <folder>] [--port <n>] "
                 "[--max-connections <n>] [--handshake-seconds <n>] [--idle-seconds <n>] "
                 "[--lock-wait-seconds <n>]\n",
                 error.c_str());
    return kExitUsage;
  }
  const std::string userData = ResolveUserDataFolder(options, error);
  if (userData.empty()) {
    std::fprintf(stderr, "PymDaemon: %s\n", error.c_str());
    return kExitFailure;
  }
  const std::string logPath = userData + "/" + PymProtocol::kDaemonLogFileName;
  if (!Qel::Log::SetToRotatingFile(logPath.c_str(), kLogFileMaxBytes)) {
    std::fprintf(stderr, "PymDaemon: cannot write the log %s; going on without it\n",
                 logPath.c_str());
  }
  Qel::Log& log = Qel::Log::Get("PymDaemon");
  // Nobody sees a detached daemon's standard error: the reasons it stops go to its log too.
  auto failWith = [&log](int code, const std::string& text) {
    std::fprintf(stderr, "PymDaemon: %s\n", text.c_str());
    log.Printf(Qel::Log::kError, "%s%s", PymProtocol::kDaemonLogErrorPrefix, text.c_str());
    return code;
  };
  const std::string databasePath = userData + "/" + AssetStore::kDatabaseFileName;

  // Held before anything else touches the store, whatever became of the discovery objects. The
  // wait is for a holder that is going away; one that serves stays, and several tools that start
  // a daemon each at once are all served by the first.
  StoreLock storeLock;
  // Found through discovery, or through the note the holder wrote into the lock file where
  // discovery does not show it (another pid namespace, another folder of named objects).
  const auto servingDaemon = [&databasePath](const Platform::ServingNote& note) {
    if (const u32 owner = DiscoveryPublisher::AnsweringOwner(databasePath, kServingAnswerMs)) {
      return owner;
    }
    return DiscoveryPublisher::AnswersHandshake(note.port, databasePath, kServingAnswerMs)
               ? note.process
               : 0u;
  };
  switch (storeLock.Acquire(userData, options.lockWaitSeconds * 1000, servingDaemon, &error)) {
    case StoreLock::Result::kHeld:
      break;
    case StoreLock::Result::kServed:
      // Not an error: the tool that started this daemon is served by the other one.
      std::fprintf(stderr, "PymDaemon: process %u already serves %s\n", storeLock.Holder(),
                   userData.c_str());
      return kExitAlreadyRunning;
    case StoreLock::Result::kBusy: {
      // In the log, so the tool that started this daemon can say why none came.
      const std::string holder =
          storeLock.Holder() != 0 ? " (process " + std::to_string(storeLock.Holder()) + ")" : "";
      const std::string waited =
          options.lockWaitSeconds != 0
              ? "; it did not let go within " + std::to_string(options.lockWaitSeconds) + " s"
              : "";
      return failWith(kExitAlreadyRunning,
                      "another daemon" + holder + " holds the store " + userData + waited);
    }
    case StoreLock::Result::kFailed:
      return failWith(kExitFailure, error);
  }

  AssetStore store;
  RequestHandlers handlers(store);
  ConnectionPolicy policy;
  policy.databaseFolder = userData;
  policy.handshakeSeconds = options.handshakeSeconds;
  policy.idleSeconds = options.idleSeconds;
  Server server(handlers, policy, options.maxConnections);
  StopSignals signals(server);
  if (!server.Listen(options.port, &error)) {
    return failWith(kExitFailure,
                    "cannot listen on port " + std::to_string(options.port) + ": " + error);
  }

  // Published before the store opens, so that clients wait in the listen queue rather than start
  // daemons of their own; the store's lock makes this daemon the one that serves. Every tool of
  // the store finds it through the lock file; a discovery record that is lost is made again.
  if (!storeLock.Announce(server.Port(), &error)) {
    log.Printf(Qel::Log::kMessage, "PymDaemon> %s; found through discovery only", error.c_str());
  }
  DiscoveryPublisher discovery;
  if (!discovery.Publish(databasePath, server.Port(), &error)) {
    log.Printf(Qel::Log::kMessage, "PymDaemon> not in discovery for now: %s", error.c_str());
  }
  server.SetTickHook([&discovery, &log] {
    const bool was = discovery.IsPublished();
    std::string why;
    if (discovery.Refresh(&why) == was) return;
    if (was) {
      log.Printf(Qel::Log::kMessage, "PymDaemon> not in discovery for now: %s", why.c_str());
    } else {
      log.Printf(Qel::Log::kMessage, "PymDaemon> in discovery again");
    }
  });
  server.SetStoppingHook([&discovery, &storeLock] {
    discovery.Withdraw();
    storeLock.Withdraw();
  });

  if (!OpenStore(store, userData, error)) return failWith(kExitFailure, error);
  log.Printf(Qel::Log::kMessage, "PymDaemon> serving %s on 127.0.0.1:%u (%zu assets%s)",
             userData.c_str(), server.Port(), store.CountAssets(),
             store.WasRebuilt() ? ", index rebuilt" : "");
  server.Run();
  discovery.Withdraw();
  handlers.WaitForBackgroundWork();
  store.Close();
  log.Printf(Qel::Log::kMessage, "PymDaemon> stopped");
  return kExitOk;
}

}  // namespace PymDaemonSrv
