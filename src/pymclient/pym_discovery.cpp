#include "pymclient/pym_discovery.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/log_printf.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/serving_note.h"
#include "platform/socket_io.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_connection.h"
#include "qel/file.h"
#include "qel/file_path.h"
#include "qel/shared_memory.h"
#include "qel/thread.h"
#include "qel/time.h"

namespace {

using PymProtocol::kNoProcess;

struct DiscoveryState {
  std::unique_ptr<Platform::NamedMutex> mutex;  // null while discovery is closed
  Qel::SharedMemory memory;
  PymDiscoveryBlock* block = nullptr;
  u32 ownId = 0;
  bool manager = false;
  // The database path the block was opened for, whose daemon a liveness check asks.
  std::string databasePath;
};

// Why the last OpenDiscoveryBlock failed; empty after one that succeeded.
std::mutex g_failureLock;
std::string g_discoveryFailure;

void SetDiscoveryFailure(std::string text) {
  std::lock_guard<std::mutex> guard(g_failureLock);
  g_discoveryFailure = std::move(text);
}

// A short question: the daemon that answers it is on the same machine and not busy with it.
constexpr u32 kAnswerLimitMs = 1000;

DiscoveryState& State() {
  static DiscoveryState* state = new DiscoveryState();
  return *state;
}

std::atomic<bool> g_daemonStarted{false};
// The process of the last daemon started, 0 when its start failed.
std::atomic<u32> g_startedDaemon{0};

// Other processes change the block at any time; every field is read and written whole.
template <class T>
T Load(T& field) {
  return std::atomic_ref<T>(field).load();
}
template <class T>
void Store(T& field, T value) {
  std::atomic_ref<T>(field).store(value);
}

bool IsDeadProcess(u32 id) { return !Platform::IsProcessAlive(id); }

// An owner that no process of this pid namespace has may yet serve from another: only a port
// that no daemon answers says it is gone.
bool IsDeadOwner(u32 id, u32 port) {
  return IsDeadProcess(id) && !DaemonAnswersAt(port, State().databasePath.c_str());
}

// Splits parameter text at spaces; double quotes group words and are dropped.
std::vector<std::string> SplitParameters(const char* text) {
  std::vector<std::string> out;
  if (!text) return out;
  std::string word;
  bool quoted = false;
  bool have = false;
  for (const char* p = text; *p; ++p) {
    const char c = *p == '\\' ? '/' : *p;
    if (c == '"') {
      quoted = !quoted;
      have = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (have) out.push_back(word);
      word.clear();
      have = false;
    } else {
      word += c;
      have = true;
    }
  }
  if (have) out.push_back(word);
  return out;
}

}  // namespace

bool IsDiscoveryOpen() { return State().mutex != nullptr; }
bool IsDiscoveryManager() { return State().manager; }

void LockDiscoveryMutex() {
  if (State().mutex) State().mutex->Lock();
}

void UnlockDiscoveryMutex() {
  if (State().mutex) State().mutex->Unlock();
}

void InitDiscoveryBlock() {
  DiscoveryState& s = State();
  PymDiscoveryBlock* b = s.block;
  if (!b) return;
  Store(b->managerProcessId, s.ownId);
  Store(b->ownerProcessId, kNoProcess);
  Store(b->requesterProcessId, kNoProcess);
  Store(b->reserved0, 0u);
  Store(b->layoutVersion, PymProtocol::kBlockVersion);
  Store(b->attachCount, u8{1});
  Store(b->refuseWord, 0u);
  Store(b->reserved1, u8{0});
  Store(b->port, 0u);
  s.manager = true;
}

bool OpenDiscoveryBlock(const char* databasePath) {
  DiscoveryState& s = State();
  if (s.mutex) return true;
  // Named from the folder as it is on disk, as the daemon names it from its own.
  const std::string folder = PymProtocol::ResolvedDatabaseFolder(databasePath ? databasePath : "");
  if (folder.empty()) {
    SetDiscoveryFailure(std::string("the folder of ") + (databasePath ? databasePath : "") +
                        " cannot be found");
    return false;
  }
  const std::string mutexName = PymProtocol::MutexNameText(folder);
  const std::string shmName = PymProtocol::ShmNameText(folder);
  // Says what could not be had, and why, for a command that then finds no daemon.
  // The cause is taken first: finding the path again sets errno.
  const auto failed = [](const std::string& what, const std::string& path, int cause) {
    SetDiscoveryFailure(path.empty()
                            ? "no folder of " + what + " can be had under $TMPDIR or $HOME"
                            : "cannot open " + what + " " + path + ": " + std::strerror(cause));
    return false;
  };

  s.ownId = Platform::CurrentProcessId();
  s.databasePath = databasePath;
  auto mutex = std::make_unique<Platform::NamedMutex>();
  bool created = false;
  if (!mutex->Create(mutexName, true, &created)) {
    const int cause = errno;
    return failed("the discovery lock", Platform::NamedMutex::LockFilePath(mutexName), cause);
  }
  s.mutex = std::move(mutex);
  if (created) {
    // The mutex is ours now: set up a fresh block before anyone else can look at it.
    if (!s.memory.Create(shmName, PymProtocol::kBlockSize)) {
      const int cause = errno;
      failed("the discovery block", Qel::SharedMemory::ObjectName(shmName), cause);
      s.mutex->Unlock();
      CloseDiscoveryBlock();
      return false;
    }
    s.block = static_cast<PymDiscoveryBlock*>(s.memory.GetData());
    InitDiscoveryBlock();
    s.mutex->Unlock();
  } else {
    // An existing mutex is not taken.
    if (!s.memory.Create(shmName, PymProtocol::kBlockSize)) {
      const int cause = errno;
      failed("the discovery block", Qel::SharedMemory::ObjectName(shmName), cause);
      CloseDiscoveryBlock();
      return false;
    }
    s.block = static_cast<PymDiscoveryBlock*>(s.memory.GetData());
    PymDiscoveryBlock* b = s.block;
    if (Load(b->refuseWord) != 0) {
      SetDiscoveryFailure("the discovery block " + Qel::SharedMemory::ObjectName(shmName) +
                          " refuses new users");
      CloseDiscoveryBlock();
      return false;
    }
    if (Load(b->layoutVersion) == 0 && Load(b->managerProcessId) == 0) InitDiscoveryBlock();
    if (Load(b->layoutVersion) != 0) {
      std::atomic_ref<u8>(b->attachCount).fetch_add(1);
    } else {
      Store(b->attachCount, PymProtocol::kAttachCountUnknown);
    }
  }
  SetDiscoveryFailure({});
  IPCIdle();
  IPCIdle();
  return true;
}

void IPCIdle() {
  DiscoveryState& s = State();
  if (!s.mutex || !s.block) return;
  PymDiscoveryBlock* b = s.block;
  if (s.manager) {
    const u32 owner = Load(b->ownerProcessId);
    if (owner != kNoProcess && owner != s.ownId && IsDeadOwner(owner, Load(b->port))) {
      LockDiscoveryMutex();
      if (Load(b->ownerProcessId) == owner) {
        LogPrintf("IPCIdle> clearing dead database owner (owner processID was %d)\n",
                  static_cast<int>(owner));
        Store(b->ownerProcessId, kNoProcess);
      }
      UnlockDiscoveryMutex();
    }
    const u32 requester = Load(b->requesterProcessId);
    if (requester != kNoProcess && requester != s.ownId && IsDeadProcess(requester)) {
      LockDiscoveryMutex();
      if (Load(b->requesterProcessId) == requester) {
        LogPrintf("IPCIdle> clearing dead database requester (requester processID was %d)\n",
                  static_cast<int>(requester));
        Store(b->requesterProcessId, kNoProcess);
      }
      UnlockDiscoveryMutex();
    }
    if (owner == s.ownId && requester == s.ownId) {
      LockDiscoveryMutex();
      if (Load(b->ownerProcessId) == s.ownId && Load(b->requesterProcessId) == s.ownId) {
        Store(b->requesterProcessId, kNoProcess);
      }
      UnlockDiscoveryMutex();
    }
  } else {
    const u32 manager = Load(b->managerProcessId);
    if (manager == kNoProcess || IsDeadProcess(manager)) TakeOverDiscoveryBlock();
  }
}

void TakeOverDiscoveryBlock() {
  DiscoveryState& s = State();
  if (!s.block) return;
  LockDiscoveryMutex();
  const u32 manager = Load(s.block->managerProcessId);
  if (manager == kNoProcess || IsDeadProcess(manager)) {
    Store(s.block->managerProcessId, s.ownId);
    s.manager = true;
  }
  UnlockDiscoveryMutex();
}

void CloseDiscoveryBlock() {
  DiscoveryState& s = State();
  if (!s.mutex) return;
  if (PymDiscoveryBlock* b = s.block) {
    if (Load(b->ownerProcessId) == s.ownId) Store(b->ownerProcessId, kNoProcess);
    if (s.manager) {
      LockDiscoveryMutex();
      Store(b->managerProcessId, kNoProcess);
      if (Load(b->layoutVersion) >= 1) std::atomic_ref<u8>(b->attachCount).fetch_sub(1);
      UnlockDiscoveryMutex();
    }
  }
  s.memory.Close();
  s.block = nullptr;
  s.mutex.reset();
  s.manager = false;
}

u32 GetDatabaseOwnerPort() {
  DiscoveryState& s = State();
  if (!s.block) return 0;
  const u32 owner = Load(s.block->ownerProcessId);
  // A block without an owner keeps the port of a daemon that died; nobody serves it.
  if (owner == s.ownId || owner == kNoProcess) return 0;
  return Load(s.block->port);
}

u32 GetDatabaseOwner() {
  DiscoveryState& s = State();
  if (!s.block) return 0;
  const u32 owner = Load(s.block->ownerProcessId);
  return owner == s.ownId || owner == kNoProcess ? 0 : owner;
}

u32 PeekDatabasePort(const char* databasePath) {
  const std::string folder = PymProtocol::ResolvedDatabaseFolder(databasePath ? databasePath : "");
  if (folder.empty()) return 0;
  Qel::SharedMemory memory;
  if (!memory.Create(PymProtocol::ShmNameText(folder), PymProtocol::kBlockSize)) return 0;
  const u32 port = Load(static_cast<PymDiscoveryBlock*>(memory.GetData())->port);
  memory.Close();
  return port;
}

std::string GetDiscoveryFailure() {
  std::lock_guard<std::mutex> guard(g_failureLock);
  return g_discoveryFailure;
}

bool DaemonAnswersAt(u32 port, const char* databasePath) {
  if (port == 0 || port > 0xFFFF) return false;
  const std::vector<u8> hello = PymProtocol::HandshakeHello(databasePath ? databasePath : "", 0);
  u8 answer[PymProtocol::kHandshakeAnswerSize];
  return Platform::AskLoopback(u16(port), hello.data(), hello.size(), answer, sizeof answer,
                               kAnswerLimitMs) == Platform::AskResult::kAnswered &&
         PymProtocol::IsDaemonAnswer(answer);
}

std::string StoreLockPath(const char* databasePath) {
  const std::string folder = PymProtocol::DatabaseFolder(databasePath ? databasePath : "");
  return folder.empty() ? std::string() : folder + "/" + PymProtocol::kStoreLockFileName;
}

Platform::NoteRead ReadStoreNote(const char* databasePath, Platform::ServingNote& note,
                                 std::string* error) {
  const std::string path = StoreLockPath(databasePath);
  if (path.empty()) {
    note = Platform::ServingNote();
    return Platform::NoteRead::kNone;
  }
  return Platform::ReadServingNote(path, note, error);
}

u32 StoreLockHolder(const char* databasePath, const Platform::ServingNote& note, bool* unseen) {
  const std::string lockFile = StoreLockPath(databasePath);
  if (unseen != nullptr) *unseen = false;
  if (const u32 seen = Platform::FileLockHolder(lockFile); seen != 0) return seen;
  if (!Platform::IsFileLockHeld(lockFile)) return 0;
  // Asked again: a holder that took the lock between the two questions is no unseen one.
  if (const u32 seen = Platform::FileLockHolder(lockFile); seen != 0) return seen;
  if (unseen != nullptr) *unseen = true;
  return note.process;
}

u32 LaunchProcess(const char* file, const char* parameters, const char* workingFolder,
                  u32 showFlags) {
  if (!file || !*file) return 0;
  // Separators are the platform's; names the tool lower-cases still find their files.
  const std::string path = Qel::File::Resolve(file).CStr();
  std::string folder;
  if (workingFolder && *workingFolder) folder = Qel::File::Resolve(workingFolder).CStr();
  const bool hidden = (showFlags & 2) != 0;
  return Platform::SpawnDetached(path, SplitParameters(parameters), folder, hidden);
}

void StartPymDaemon() {
  Qel::File::Path exe = GetPymDaemonPath();
  Qel::File::Path folder = exe;
  folder.DelName();
  // A daemon that waits for the store of one still ending gives up before the tool does, so that
  // its log tells the tool why it never came.
  std::string parameters;
  if (const u32 limitMs = PymGetSilenceLimit(); limitMs != 0) {
    parameters = "--lock-wait-seconds " + std::to_string(limitMs / 6 * 5 / 1000);
  }
  g_startedDaemon.store(LaunchProcess(exe.CStr(), parameters.c_str(), folder.CStr(), 2));
  g_daemonStarted.store(true);
}

bool GetPymDaemonStarted() { return g_daemonStarted.load(); }

u32 GetStartedPymDaemon() { return g_startedDaemon.load(); }

bool IsStartedPymDaemonAlive() {
  return g_daemonStarted.load() && Platform::IsProcessAlive(g_startedDaemon.load());
}
void AwaitStartedPymDaemonGivingWay(u32 owner, u32 limitMs) {
  constexpr u32 kStepMs = 20;
  const u32 started = g_startedDaemon.load();
  // Measured by the clock: the liveness checks between the pauses take time too.
  const u32 beganMs = Qel::Time::Ms();
  while (started != owner && Qel::Time::Ms() - beganMs < limitMs && IsStartedPymDaemonAlive()) {
    Qel::Sleep(kStepMs);
  }
}

void EndStartedPymDaemon() {
  if (!IsStartedPymDaemonAlive()) return;
  Platform::KillProcess(g_startedDaemon.load());
  AwaitStartedPymDaemonGivingWay(0, PymProtocol::kGiveWayWaitMs);
}

void SetPymDaemonStarted(bool started) { g_daemonStarted.store(started); }
