#include "pymclient/pym_client.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "core/app_globals.h"
#include "core/buffer_stream.h"
#include "core/networking.h"
#include "core/thread_watchdog.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_discovery.h"
#include "pymclient/pym_protocol.h"
#include "qel/dynamic_buffer.h"
#include "support/fake_pym_server.h"

namespace {

using namespace PymProtocol;  // NOLINT(build/namespaces)

// An installation whose bin/PymDaemon only records that it was started; the scripted server
// stands in for the daemon once a test publishes it.
class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMainThread();
    InitNetworking();
    char pattern[] = "/tmp/kestro-clientXXXXXX";
    root_ = ::mkdtemp(pattern);
    bin_ = root_ + "/bin";
    ASSERT_EQ(::mkdir(bin_.c_str(), 0755), 0);
    const std::string daemon = bin_ + "/PymDaemon";
    std::ofstream(daemon) << "#!/bin/sh\necho start >> starts.log\n";
    ::chmod(daemon.c_str(), 0755);
    ASSERT_TRUE(InitInstallPaths(Qel::File::Path(root_.c_str())));
    server_ = std::make_unique<FakePymServer>(GetDatabasePath().CStr());
    ASSERT_TRUE(server_->Start());
    options_.mayStartDaemon = 0;
  }
  void TearDown() override {
    PymCloseDatabase();
    PymDisconnect(true);
    server_.reset();
    std::system(("rm -rf '" + root_ + "'").c_str());
  }

  // How many times the daemon program was started.
  u32 Starts() {
    std::ifstream in(bin_ + "/starts.log");
    u32 n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  }

  std::string root_;
  std::string bin_;
  std::unique_ptr<FakePymServer> server_;
  PymClientOptions options_;
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
  const PymClientOptions reset = PymGetClientOptions();
  EXPECT_EQ(reset.messageCallback, nullptr);
  EXPECT_EQ(reset.mayStartDaemon, 1);
  EXPECT_EQ(reset.isClient, 1);
  EXPECT_EQ(reset.storedFlags[2], 1);

  ASSERT_TRUE(PymOpenDatabase(options_));
  EXPECT_EQ(server_->GetConnectionCount(), 2u);
  EXPECT_EQ(Starts(), 0u) << "a running daemon is never started again";
}

TEST_F(ClientTest, DaemonStartedOnceThenFound) {
  // The stand-in publishes itself as soon as the client has started "the daemon".
  watchdog::Task publisher([&] {
    if (watchdog::Eventually([&] { return Starts() > 0; })) server_->Publish();
  });
  ASSERT_TRUE(PymOpenDatabase(options_));
  publisher.Join();
  EXPECT_EQ(Starts(), 1u);
  EXPECT_EQ(server_->GetHandshakes().size(), 1u);
}

TEST_F(ClientTest, NoDaemonMeansOneStartAndFailure) {
  options_.isClient = 0;
  EXPECT_FALSE(PymOpenDatabase(options_));
  EXPECT_FALSE(PymIsClientOpen());
  ASSERT_TRUE(watchdog::Eventually([&] { return Starts() > 0; }));
  EXPECT_EQ(Starts(), 1u) << "eleven tries, one start";
  EXPECT_EQ(PymGetClientOptions().isClient, 1) << "options reset after failure";
}

TEST_F(ClientTest, RefuseWordFailsTheOpen) {
  ASSERT_TRUE(server_->Publish());
  ASSERT_TRUE(server_->SetRefuseWord(1));
  EXPECT_FALSE(PymOpenDatabase(options_));
  EXPECT_EQ(server_->GetConnectionCount(), 0u);
  ASSERT_TRUE(watchdog::Eventually([&] { return Starts() > 0; }));
  EXPECT_EQ(Starts(), 1u);
}

TEST_F(ClientTest, TransactionMayStartTheDaemonOnItsSecondTry) {
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
  TBuffer request(new Qel::DynamicBuffer(), true);
  TBuffer reply(new Qel::DynamicBuffer(), true);
  EXPECT_TRUE(PymTransact(0x44, request, reply, nullptr, nullptr, false));
  publisher.Join();
  EXPECT_EQ(Starts(), 1u);
}

TEST_F(ClientTest, CloseDaemonWaitsForTheConnectionToClose) {
  ASSERT_TRUE(server_->Publish());
  options_.mayStartDaemon = 1;
  ASSERT_TRUE(PymOpenDatabase(options_));
  EXPECT_TRUE(PymCloseDaemon());
  EXPECT_FALSE(PymIsConnected());
  EXPECT_EQ(PymGetClientOptions().mayStartDaemon, 0) << "nothing may start it again";
  const auto frames = server_->GetFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].opcode, kOpCloseDaemon);
  EXPECT_TRUE(frames[0].payload.empty());
}

}  // namespace
