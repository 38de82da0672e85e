// A test client and a real oapeer process exchange messages over loopback while the peer drops,
// duplicates and reorders datagrams in both directions. The client runs its clock ten times
// faster than the wall clock, and so does the peer, so resends come quickly; the only wall-clock
// bound is the watchdog.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "online/tme_link.h"
#include "qel/time.h"
#include "support/scratch_folder.h"

namespace {

constexpr double kTimeScale = 10.0;

class OapeerProcess {
 public:
  OapeerProcess(const std::string& folder, std::vector<std::string> settings) {
    portFile_ = folder + "/port";
    logFile_ = folder + "/oapeer.log";
    std::vector<std::string> args = {KESTRO_BINARY_DIR "/oapeer", "--port-file", portFile_,
                                     "--log", logFile_, "--seconds", "120"};
    args.insert(args.end(), settings.begin(), settings.end());
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~OapeerProcess() { Stop(); }

  // The port from the port file, 0 when the peer did not write it in time.
  u16 WaitForPort() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < limit) {
      std::ifstream in(portFile_);
      unsigned port = 0;
      if (in >> port && port != 0) return u16(port);
      poll(nullptr, 0, 10);
    }
    return 0;
  }

  int Stop() { return Wait(true); }

  // Waits for the peer to end by itself; the watchdog ends it after 20 s.
  int Wait(bool terminate = false) {
    if (pid_ <= 0) return status_;
    if (terminate) kill(pid_, SIGTERM);
    int status = 0;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > limit) kill(pid_, SIGKILL);
      poll(nullptr, 0, 5);
    }
    waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

  std::string Log() const {
    std::ifstream in(logFile_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string portFile_, logFile_;
};

class EchoClient : public tmetest::RecordingEndpoint {};

TEST(OapeerExchange, SixHundredMessagesInOrderThroughFaults) {
  scratch::Folder folder;
  OapeerProcess peerProcess(folder.path(), {"--drop", "0.1", "--duplicate", "0.1", "--reorder",
                                            "0.1", "--seed", "5", "--time-scale", "10"});
  const u16 port = peerProcess.WaitForPort();
  ASSERT_NE(0, port);

  UdpSocket socket;
  socket.SetBindHost(Platform::LoopbackAddress(0).host);
  ASSERT_EQ(0, socket.Open());
  UdpPeer peerRecord;
  peerRecord.address = Platform::LoopbackAddress(port);
  socket.AddPeer(&peerRecord);
  UdpPeer* peer = &peerRecord;
  EchoClient client;
  client.SetMode(1);
  const double wallStart = Qel::Time::Seconds();
  auto setClock = [&] { SetApplicationTime(1000.0 + (Qel::Time::Seconds() - wallStart) * kTimeScale); };
  setClock();
  client.Connect(peer);

  constexpr u32 kMessages = 600;
  std::vector<tmetest::Bytes> sent;
  for (u32 i = 0; i < kMessages; ++i) sent.push_back(tmetest::Payload(1 + (i * 211) % 3000, i));
  u32 queued = 0;
  const auto watchdog = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (client.received.size() < kMessages && client.IsConnected() &&
         std::chrono::steady_clock::now() < watchdog) {
    while (queued < kMessages && client.GetQueuedCount() < 30) {
      ASSERT_TRUE(tmetest::Queue(client, sent[queued]));
      ++queued;
    }
    pollfd p{socket.GetHandle(), POLLIN, 0};
    poll(&p, 1, 2);
    setClock();
    socket.ReceiveAll();
    client.Update();
  }
  ASSERT_TRUE(client.IsConnected());
  ASSERT_EQ(kMessages, client.received.size());
  for (u32 i = 0; i < kMessages; ++i) ASSERT_EQ(sent[i], client.received[i]) << i;
  client.Disconnect();

  EXPECT_EQ(0, peerProcess.Stop());
  const std::string log = peerProcess.Log();
  for (const char* step : {"listening on 127.0.0.1:", "datagram in", "fragment ", "message in",
                           "message out", "fault drop", "fault duplicate", "fault reorder",
                           "duplicate ", "disconnect notice", "stopping"})
    EXPECT_NE(std::string::npos, log.find(step)) << step;
}

TEST(OapeerExchange, RefusesBadSettings) {
  scratch::Folder folder;
  OapeerProcess peerProcess(folder.path(), {"--drop", "1.5"});
  EXPECT_EQ(2, peerProcess.Wait());
}

}  // namespace
