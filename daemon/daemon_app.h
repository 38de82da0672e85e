// The daemon process from start to exit: arguments, the UserData folder, the listener, the
// discovery record, the store and the serving loop.
#pragma once

#include <string>
#include <vector>

#include "daemon/daemon_limits.h"
#include "qel/types.h"

namespace PymDaemonSrv {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,
  kExitUsage = 2,
  // Another live daemon already serves the folder.
  kExitAlreadyRunning = 3,
};

struct DaemonOptions {
  // Empty: <program folder>/../UserData.
  std::string userData;
  // 0: a free loopback port.
  u16 port = 0;
  u32 maxConnections = kDefaultMaxConnections;
  u32 handshakeSeconds = kDefaultHandshakeSeconds;
  u32 idleSeconds = kDefaultIdleSeconds;
  // 0: refused at once when another process holds the store.
  u32 lockWaitSeconds = kDefaultLockWaitSeconds;
};

// Arguments without the program name: "--userdata <path>", "--port <n>", "--max-connections <n>",
// "--handshake-seconds <n>", "--idle-seconds <n>", "--lock-wait-seconds <n>". False with a
// message.
bool ParseDaemonArguments(const std::vector<std::string>& args, DaemonOptions& out,
                          std::string& error);

// The absolute, resolved UserData folder for the options, created when its parent exists.
// Empty, with a message, when it cannot be had.
std::string ResolveUserDataFolder(const DaemonOptions& options, std::string& error);

class AssetStore;

// A start's work on the store of `userData`: finishes or undoes the changes a crash left half
// done (or keeps in today's backups what staging holds when their records may be gone), then
// opens the index, rebuilding it when needed. False, with a reason, when it cannot be opened.
bool OpenStore(AssetStore& store, const std::string& userData, std::string& error);

// Runs the daemon to its end and returns the process exit code. SIGINT, SIGTERM and SIGHUP end
// it as cleanly as the close request does. Everything it creates is its user's alone. Once the
// UserData folder is known, every error also goes to its log file there
// (PymProtocol::kDaemonLogFileName).
int RunDaemon(const std::vector<std::string>& args);

}  // namespace PymDaemonSrv
