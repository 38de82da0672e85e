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

#include "online/oapeer_process.h"
#include "online/tme_link.h"
#include "qel/time.h"
#include "support/scratch_folder.h"

namespace {

constexpr double kTimeScale = 10.0;

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
