// oapeer as the service under a flood from 64 strangers' ports: a client that logged in keeps its
// place and its messages are still answered, and the log stays within its rate. The flood is
// bounded in count; the only wall-clock bounds are watchdogs.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "online/oapeer_process.h"
#include "online_service_link.h"
#include "qel/time.h"
#include "support/scratch_folder.h"

namespace {

using State = OnlineAccessClientEndpoint::State;

class EchoCounter : public OnlineAccessClientBase {
 public:
  explicit EchoCounter(const KUID& kuid) : OnlineAccessClientBase(kuid) {}
  void ReceiveMessage(std::unique_ptr<OnlineMessage>) override { ++received; }
  int received = 0;
};

class OapeerFloodTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitNetworking();
    peer_ =
        std::make_unique<OapeerProcess>(folder_.path(), std::vector<std::string>{"--service", "1"});
    port_ = peer_->WaitForPort();
    ASSERT_NE(0, port_);
    script_.profile.name = "alice";
    script_.profile.host = "127.0.0.1";
    script_.profile.port = port_;
    script_.ticket = "ticket-1";
    SetClock();
    client_ = std::make_unique<OnlineAccessClientEndpoint>(
        std::make_unique<onlinetest::ScriptedDaemon>(script_));
  }
  void TearDown() override {
    client_.reset();
    for (const int fd : strangers_) Platform::CloseDatagramSocket(fd);
  }

  void SetClock() { SetApplicationTime(1000.0 + Qel::Time::Seconds() - wallStart_); }
  void Step() {
    if (client_->GetUdp().IsOpen()) {
      pollfd p{client_->GetUdp().GetHandle(), POLLIN, 0};
      poll(&p, 1, 2);
    }
    SetClock();
    client_->Update();
  }
  // Steps the client until `done`, or false when the watchdog ends the wait.
  bool StepUntil(const std::function<bool()>& done) {
    const auto watchdog = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
      if (std::chrono::steady_clock::now() > watchdog) return false;
      Step();
    }
    return true;
  }

  // Each round, every stranger sends the first message of a conversation and a bare
  // acknowledgement; the client goes on between rounds.
  void Flood(int ports, int rounds) {
    while (int(strangers_.size()) < ports) {
      strangers_.push_back(Platform::OpenDatagramSocket(Platform::LoopbackAddress(0), 0));
    }
    const u8 opener[4] = {1, 0, 0x80, 0xEE};
    const u8 bare[2] = {0, 0};
    const Platform::DatagramAddress to = Platform::LoopbackAddress(port_);
    for (int round = 0; round < rounds; ++round) {
      for (const int fd : strangers_) {
        Platform::SendDatagram(fd, opener, sizeof opener, to);
        Platform::SendDatagram(fd, bare, sizeof bare, to);
      }
      Step();
    }
  }

  scratch::Folder folder_;
  std::unique_ptr<OapeerProcess> peer_;
  u16 port_ = 0;
  onlinetest::DaemonScript script_;
  std::unique_ptr<OnlineAccessClientEndpoint> client_;
  std::vector<int> strangers_;
  const double wallStart_ = Qel::Time::Seconds();
};

// Lines of the log by the whole second of their time stamp.
std::map<long, int> LinesPerSecond(const std::string& log) {
  std::map<long, int> seconds;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) ++seconds[long(std::strtod(line.c_str(), nullptr))];
  return seconds;
}

TEST_F(OapeerFloodTest, ALoggedInClientKeepsItsPlaceAndTheLogItsRate) {
  ASSERT_TRUE(client_->Connect(false));
  ASSERT_TRUE(StepUntil([&] { return client_->GetStatus() == State::kOnline; }));

  Flood(64, 100);
  ASSERT_EQ(State::kOnline, client_->GetStatus());
  EchoCounter echoes(KUID(1, 2, 3));
  client_->AddClient(&echoes);
  ASSERT_EQ(OnlineAccessClientEndpoint::kPostQueued,
            client_->PostVersionedMessage(KUID(1, 2, 3), "after the flood", Soup(), false));
  EXPECT_TRUE(StepUntil([&] { return echoes.received == 1; }))
      << "the peer no longer knows the client";
  client_->RemoveClient(&echoes);
  client_->Disconnect();

  EXPECT_EQ(0, peer_->Stop());
  const std::string log = peer_->Log();
  EXPECT_NE(std::string::npos, log.find("forgotten to make room")) << "strangers made room";
  EXPECT_NE(std::string::npos, log.find("lines left out (over 2000 a second)"));
  // The rate's lines, and those always written: listening, what was left out, stopping.
  for (const auto& [second, count] : LinesPerSecond(log)) EXPECT_LE(count, 2000 + 3) << second;
}

}  // namespace
