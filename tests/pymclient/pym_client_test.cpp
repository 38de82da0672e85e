#include "pymclient/pym_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "platform/byte_order.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/serving_note.h"
#include "pymclient/pym_discovery.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_test_util.h"
#include "support/thread_watchdog.h"

namespace {

using namespace pym_test;  // NOLINT(build/namespaces)

// An installation whose bin/PymDaemon only records that it was started; the scripted server
// stands in for the daemon once a test publishes it.
class ClientTest : public ScriptedDaemonTest {
 protected:
  ClientTest() { open_ = false; }
  void SetUp() override {
    ScriptedDaemonTest::SetUp();
    std::filesystem::create_directories(root_ + "/bin");
    std::ofstream(Daemon()) << "#!/bin/sh\necho start >> starts.log\n";
    ::chmod(Daemon().c_str(), 0755);
  }
  void TearDown() override {
    PymSetConnectPauseMs(PymProtocol::kConnectPauseMs);
    ScriptedDaemonTest::TearDown();
  }
  std::string Daemon() const { return root_ + "/bin/PymDaemon"; }

  // How many times the daemon program was started.
  u32 Starts() {
    std::ifstream in(root_ + "/bin/starts.log");
    u32 n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  }
};

TEST_F(ClientTest, OpenFindsRunningDaemonAndReopens) {
  ASSERT_TRUE(server_->Publish());
  PymGetOpenEvent().Reset();
  options_.isClient = 0;
  ASSERT_TRUE(PymOpenDatabase(options_));
  EXPECT_TRUE(PymIsClientOpen());
  EXPECT_TRUE(PymGetOpenEvent().Wait(0));
  EXPECT_EQ(server_->GetHandshakes().at(0).isClient, 0u);

  // Opening an open client keeps the options it has.
  PymClientOptions other;
  other.isClient = 1;
  EXPECT_TRUE(PymOpenDatabase(other));
  EXPECT_EQ(PymGetClientOptions().isClient, 0);
  EXPECT_EQ(server_->GetConnectionCount(), 1u);

  PymCloseDatabase();
  EXPECT_FALSE(PymIsClientOpen());
  EXPECT_TRUE(server_->WaitForGoodbyes(1));
  EXPECT_EQ(PymGetClientOptions().isClient, 1) << "options reset on close";

  ASSERT_TRUE(PymOpenDatabase(options_));
  EXPECT_EQ(server_->GetConnectionCount(), 2u);
  EXPECT_EQ(Starts(), 0u) << "a running daemon is never started again";
}

// This daemon program ends at once without serving: the open starts it again twice.
TEST_F(ClientTest, RefusedOpenStartsTheDaemonThriceAndFails) {
  // No try can succeed, so the pauses between them would only cost time.
  PymSetConnectPauseMs(1);
  ASSERT_TRUE(server_->Publish());
  ASSERT_TRUE(server_->SetRefuseWord(1));
  options_.isClient = 0;
  EXPECT_FALSE(PymOpenDatabase(options_));
  EXPECT_FALSE(PymIsClientOpen());
  EXPECT_EQ(server_->GetConnectionCount(), 0u);
  ASSERT_TRUE(watchdog::Eventually([&] { return Starts() > 2; }));
  EXPECT_EQ(Starts(), 3u) << "the first start and two more";
  EXPECT_EQ(PymGetClientOptions().isClient, 1) << "options reset after failure";
}

TEST_F(ClientTest, TransactionMayStartTheDaemonOnItsSecondTryAndCloseWaits) {
  ASSERT_TRUE(server_->Publish());
  options_.mayStartDaemon = 1;
  ASSERT_TRUE(PymOpenDatabase(options_));
  // The daemon goes away; the next request starts it once and gets through when it is back.
  server_->Unpublish();
  server_->CloseConnections();
  ASSERT_TRUE(watchdog::Eventually([] { return !PymIsConnected(); }));
  watchdog::Task publisher([&] {
    if (watchdog::Eventually([&] { return Starts() > 0; })) server_->Publish();
  });
  EXPECT_TRUE(Transact(0x44, {}));
  publisher.Join();
  EXPECT_EQ(Starts(), 1u);

  // Closing the daemon waits for the connection to close.
  EXPECT_TRUE(PymCloseDaemon());
  EXPECT_FALSE(PymIsConnected());
  EXPECT_EQ(PymGetClientOptions().mayStartDaemon, 0) << "nothing may start it again";
  const auto frames = server_->GetFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].opcode, PymProtocol::kOpCloseDaemon);
  EXPECT_TRUE(frames[1].payload.empty());
}

// A daemon this process started that has ended, or never started, will not come: one more try
// finds any daemon it gave way to, and then the tries stop short of their count.
TEST_F(ClientTest, TriesStopOnceTheStartedDaemonHasEnded) {
  for (const bool program : {true, false}) {
    if (!program) std::filesystem::remove(Daemon());
    SetPymDaemonStarted(false);
    StartPymDaemon();
    ASSERT_TRUE(watchdog::Eventually([] { return !IsStartedPymDaemonAlive(); }));
    PymConnectTries tries;
    EXPECT_TRUE(tries.Continue(1)) << program;
    EXPECT_FALSE(tries.Continue(2)) << program;
  }
  SetPymDaemonStarted(false);
}

// The daemon an open started gave way (as this program does) to one that went away before serving:
// killed, so that the block keeps its port, or closed, so that it names none. The open starts
// another. An error line an earlier start left in the log is no reason of this open's.
TEST_F(ClientTest, AnOpenWhoseDaemonGaveWayToOneThatWentAwayStartsAnother) {
  PymSetConnectPauseMs(20);
  const std::string log = std::filesystem::path(database_).parent_path() / "pymdaemon.log";
  std::ofstream(log) << PymProtocol::kDaemonLogErrorPrefix << "of an earlier start\n";
  std::ofstream(Daemon()) << "#!/bin/sh\necho start >> starts.log\necho 'PymDaemon> stopped' >> '"
                          << log << "'\n";
  FakePymServer killed(database_);
  ASSERT_TRUE(killed.Start());
  for (const bool wasKilled : {true, false}) {
    SCOPED_TRACE(wasKilled ? "killed" : "closed");
    PymCloseDatabase();
    std::filesystem::remove(root_ + "/bin/starts.log");
    ASSERT_TRUE(wasKilled ? killed.Publish() : (server_->Unpublish(), true));
    killed.Stop();
    watchdog::Task publisher([&] {
      if (watchdog::Eventually([&] { return Starts() > 1; })) server_->Publish();
    });
    EXPECT_TRUE(PymOpenDatabase(options_));
    publisher.Join();
    EXPECT_GE(Starts(), 2u);
  }
}

// A process that holds `lockFile` in a mount namespace of its own, where `hidden` is covered by
// an empty file system (as in a container that mounts the installation elsewhere); 0 where the
// system does not let this process make one.
pid_t HoldInAnotherMountNamespace(const std::string& lockFile, const std::string& hidden) {
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return 0;
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
    const char held = fd >= 0 && ::unshare(CLONE_NEWNS) == 0 &&
                              ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                              ::mount("none", hidden.c_str(), "tmpfs", 0, nullptr) == 0 &&
                              ::flock(fd, LOCK_EX) == 0
                          ? 'y'
                          : 'n';
    if (::write(ready[1], &held, 1) == 1 && held == 'y') ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char held = 'n';
  const bool told = pid > 0 && ::read(ready[0], &held, 1) == 1;
  ::close(ready[0]);
  if (told && held == 'y') return pid;
  if (pid > 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  return 0;
}

// The store's lock file, held by this process through `g_storeLock` as a daemon would hold it; how
// often a command has read the note in it, and whether HandOverTheStore has let the daemon the
// command started take it.
int g_storeLock = -1;
const char* g_storeLockFile = "";
std::atomic<u32> g_notesRead{0};
std::atomic<bool> g_handedOver{false};

// The command stalls after it read the note for the third time, about to give its verdict on the
// holder that closed its connection twice, before it asks who holds the lock: meanwhile this
// process, that holder, lets go, and the daemon the command started takes the store and notes
// itself there.
void HandOverTheStore() {
  const u32 daemon = GetStartedPymDaemon();
  if (++g_notesRead != 3 || !GetPymDaemonStarted() || daemon == 0) return;
  ::flock(g_storeLock, LOCK_UN);
  watchdog::Eventually([&] {
    Platform::ServingNote note;
    return Platform::FileLockHolder(g_storeLockFile) == daemon &&
           Platform::ReadServingNote(g_storeLockFile, note, nullptr) ==
               Platform::NoteRead::kFound &&
           note.process == daemon;
  });
  g_handedOver.store(true);
}

// A daemon that serves where discovery cannot be read (its lock a folder) is found through the
// note in the store's lock file it holds; without the note the tool says what it could not read,
// and why. Where something else answers at the noted port (a few bytes of another program, or a
// daemon that refuses the folder named, which it may not see), the tool says what holds the store
// at once and starts no daemon, which could only wait for the lock. A daemon it started that still
// waits for the store's lock when the tool gives up is said to wait, naming the holder, not to be
// silent. Nor is a daemon it started and that took the store meanwhile taken for the holder that
// refused: it is not ended, and serves the command.
TEST_F(ClientTest, ADaemonOutOfDiscoverysSightIsFoundOrTheReasonNamed) {
  PymSetConnectPauseMs(1);
  const std::string userData = std::filesystem::path(database_).parent_path();
  const std::string lockFile = userData + "/assets.tdx.lock";
  const std::string discoveryLock = Platform::NamedMutex::LockFilePath(
      PymProtocol::MutexNameText(PymProtocol::ResolvedDatabaseFolder(database_)));
  ASSERT_TRUE(std::filesystem::create_directories(discoveryLock));
  // This process holds the store, as the daemon that noted where it serves would.
  std::ofstream(lockFile).flush();
  const int lock = ::open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  g_storeLock = lock;
  g_storeLockFile = lockFile.c_str();
  const std::string port = std::to_string(server_->GetPort());
  const std::string note = std::to_string(getpid()) + " " + port;
  Bytes busy(12, 0);
  ByteOrder::StoreLE32(busy.data(), PymProtocol::kTagBusy);
  const std::string refused =
      ", whose PymDaemon (port " + port + ") refused this command's connection.";
  const std::string defaultDaemon = "#!/bin/sh\necho start >> starts.log\n";
  const struct {
    const char* what;
    std::string note;
    std::optional<Bytes> answer;  // in place of the daemon's
    std::string failure;          // after "process N" when it starts with ","
    bool hiddenHolder = false;    // held from a mount namespace where UserData is not
    bool reset = false;           // the connection reset where `answer` is empty
    u32 busyMs = 0;               // after this, the daemon's answer in place of `answer`
    std::string daemon = {};      // the program of the daemon the command starts
    bool handOver = false;        // HandOverTheStore, and `busyMs` counts from it
  } rows[] = {
      {"noted", note + "\n", std::nullopt, ""},
      {"at its connection limit until a slot frees", note + "\n", busy, "", false, false, 300},
      {"the handshake reset at the noted port", note + "\n", Bytes{}, refused, false, true},

      {"a few wrong bytes at the noted port", note + "\n", Bytes{'n', 'o', '\n'},
       ", and what answers at the port its lock file names (" + port + ") is no PymDaemon."},
      {"the handshake refused at the noted port", note + "\n", Bytes{},
       ", whose PymDaemon (port " + port + ") refused this command's connection."},
      {"refused by a holder that cannot see UserData", note + "\n", Bytes{},
       ", whose PymDaemon (port " + port + ") cannot see " + userData +
           " and refused this command.",
       true},
      // It finds the note only once the daemon it started writes it, and waits for the lock.
      {"a verdict after the command started a daemon", "", Bytes{}, refused, false, false, 0,
       defaultDaemon + "printf '" + note + "\\n' > '" + lockFile + "'\nexec sleep 20\n"},
      // It takes the lock (flock as the daemon does) once this process lets go, and notes itself.
      {"the command's own daemon took the store meanwhile", "", Bytes{}, "", false, false, 800,
       defaultDaemon + "printf '" + note + "\\n' > '" + lockFile + "'\nexec flock -o '" + lockFile +
           "' sh -c 'printf \"%s " + port + "\\n\" \"$PPID\" > \"$0\"; " +
           "while kill -0 \"$PPID\" 2>/dev/null; do sleep 0.1; done' '" + lockFile + "'\n",
       true},
      {"not noted", "", std::nullopt,
       "- No daemon could be found for " + database_ + ": cannot open the discovery lock " +
           discoveryLock + ": Is a directory"},
  };
  // Well under the silence limit, which a command that takes an answer for silence waits out.
  PymSetSilenceLimit(5000);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.hiddenHolder && ::geteuid() != 0) continue;
    std::ofstream(lockFile) << row.note;
    std::ofstream(Daemon()) << (row.daemon.empty() ? defaultDaemon : row.daemon);
    std::filesystem::remove(root_ + "/bin/starts.log");
    row.answer ? server_->SetHandshakeBytes(*row.answer, row.reset)
               : server_->SetHandshakeAnswer(PymProtocol::kTagDaemon, 0x11, 0x22);
    g_notesRead.store(0);
    g_handedOver.store(false);
    PymSetNotePauseForTest(row.handOver ? HandOverTheStore : nullptr);
    watchdog::Task slotFrees([&] {
      if (row.busyMs == 0 ||
          (row.handOver && !watchdog::Eventually([] { return g_handedOver.load(); }))) {
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(row.busyMs));
      server_->SetHandshakeAnswer(PymProtocol::kTagDaemon, 0x11, 0x22);
    });
    pid_t holder = getpid();
    if (row.hiddenHolder) {
      ASSERT_EQ(::flock(lock, LOCK_UN), 0);
      holder = HoldInAnotherMountNamespace(lockFile, root_);
      if (holder == 0) {
        ASSERT_EQ(::flock(lock, LOCK_EX), 0);
        continue;
      }
      std::ofstream(lockFile) << holder << " " << port << "\n";
    }
    SetPymDaemonStarted(false);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(PymOpenDatabase(options_), row.failure.empty());
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(2500));
    if (!row.failure.empty()) {
      EXPECT_EQ(PymGetDaemonFailure(), row.failure[0] == ','
                                           ? "- The store " + userData + " is held by process " +
                                                 std::to_string(holder) + row.failure
                                           : row.failure);
    }
    slotFrees.Join();
    if (row.answer) {
      EXPECT_EQ(Starts(), row.daemon.empty() ? 0u : 1u) << "a daemon that could only wait started";
    }
    EXPECT_FALSE(IsStartedPymDaemonAlive()) << "a daemon waits for the lock";
    PymCloseDatabase();
    if (row.handOver) {
      EXPECT_TRUE(g_handedOver.load());
      EXPECT_TRUE(Platform::IsProcessAlive(GetStartedPymDaemon()))
          << "the daemon serving was ended";
      if (GetStartedPymDaemon() != 0) ::kill(pid_t(GetStartedPymDaemon()), SIGKILL);
      ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    }
    if (row.hiddenHolder) {
      ::kill(holder, SIGKILL);
      ::waitpid(holder, nullptr, 0);
      ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    }
  }
  PymSetNotePauseForTest(nullptr);
  PymSetSilenceLimit(PymProtocol::kDefaultSilenceLimitMs);
  server_->SetHandshakeAnswer(PymProtocol::kTagDaemon, 0x11, 0x22);
  std::filesystem::remove_all(discoveryLock);

  // The daemon started waits (as this program does) for the lock this process holds.
  std::ofstream(Daemon()) << "#!/bin/sh\nexec sleep 20\n";
  std::ofstream(lockFile, std::ios::trunc).flush();
  PymSetSilenceLimit(1500);
  SetPymDaemonStarted(false);
  EXPECT_FALSE(PymOpenDatabase(options_));
  PymSetSilenceLimit(PymProtocol::kDefaultSilenceLimitMs);
  EXPECT_EQ(PymGetDaemonFailure(), "- PymDaemon still waits for the store's lock, which process " +
                                       std::to_string(getpid()) +
                                       " holds; the tool gave up after 1500 ms.");
  if (GetStartedPymDaemon() != 0) ::kill(pid_t(GetStartedPymDaemon()), SIGKILL);
  ::close(lock);
  SetPymDaemonStarted(false);
}

}  // namespace
