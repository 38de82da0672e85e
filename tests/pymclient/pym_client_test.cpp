#include "pymclient/pym_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/named_mutex.h"
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

// A daemon that serves where discovery cannot be read (its lock a folder) is found through the
// note in the store's lock file it holds; without the note the tool says what it could not read,
// and why. A daemon it started that still waits for the store's lock when the tool gives up is said
// to wait, naming the holder, not to be silent.
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
  const std::string note = std::to_string(getpid()) + " " + std::to_string(server_->GetPort());
  const struct {
    const char* what;
    std::string note;
    bool served;
    std::string failure;
  } rows[] = {
      {"noted", note + "\n", true, ""},
      {"not noted", "", false,
       "- No daemon could be found for " + database_ + ": cannot open the discovery lock " +
           discoveryLock + ": Is a directory"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::ofstream(lockFile) << row.note;
    EXPECT_EQ(PymOpenDatabase(options_), row.served);
    if (!row.served) {
      EXPECT_EQ(PymGetDaemonFailure(), row.failure);
    }
    PymCloseDatabase();
  }
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
