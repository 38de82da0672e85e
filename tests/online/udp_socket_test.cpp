#include "online/udp_socket.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <vector>

#include "core/networking.h"
#include "online/tme_link.h"

namespace {

struct Counting {
  static void Handle(uintptr_t context, const u8* data, u32 length) {
    auto* self = reinterpret_cast<Counting*>(context);
    self->lengths.push_back(length);
    if (length > 0) self->first.push_back(data[0]);
  }
  std::vector<u32> lengths;
  std::vector<u8> first;
};

class UdpSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket.SetBindHost(Platform::LoopbackAddress(0).host);
    ASSERT_EQ(0, socket.Open());
    sender = Platform::OpenDatagramSocket(Platform::LoopbackAddress(0), 0x40000);
    ASSERT_GE(sender, 0);
    peer.address = Platform::DatagramLocalAddress(sender);
    peer.handler = &Counting::Handle;
    peer.context = reinterpret_cast<uintptr_t>(&counting);
    to = Platform::LoopbackAddress(socket.GetLocalPort());
  }
  void TearDown() override { Platform::CloseDatagramSocket(sender); }
  void Send(std::vector<u8> bytes) {
    ASSERT_EQ(ssize_t(bytes.size()),
              Platform::SendDatagram(sender, bytes.data(), bytes.size(), to));
  }

  UdpSocket socket;
  UdpPeer peer;
  Counting counting;
  int sender = -1;
  Platform::DatagramAddress to;
};

TEST_F(UdpSocketTest, ReceiveAllTakesAtMostThirtyTwo) {
  // A budget no load on the machine can spend: the count alone must end the first call.
  socket.SetReceiveBudget(3600.0);
  socket.AddPeer(&peer);
  for (int i = 0; i < 40; ++i) Send({u8(i), 1, 2});
  socket.ReceiveAll();
  ASSERT_EQ(32u, counting.lengths.size());
  EXPECT_EQ(31, counting.first.back());
  socket.ReceiveAll();
  EXPECT_EQ(40u, counting.lengths.size());
  EXPECT_EQ(40u, socket.GetCounters().datagramsReceived);
  EXPECT_FALSE(socket.ReceiveOne());
}

TEST_F(UdpSocketTest, StrangersDoNotCountAgainstTheLimitButTheBudgetStopsThem) {
  const int stranger = Platform::OpenDatagramSocket(Platform::LoopbackAddress(0), 0);
  ASSERT_GE(stranger, 0);
  const u8 junk[2] = {7, 7};
  for (int i = 0; i < 100; ++i) Platform::SendDatagram(stranger, junk, sizeof junk, to);
  socket.AddPeer(&peer);
  Send({1});
  Send({2});
  // A budget already spent reads one datagram: the loop never outruns its time.
  socket.SetReceiveBudget(-1.0);
  socket.ReceiveAll();
  EXPECT_EQ(1u, socket.GetCounters().droppedStrangers);
  // No watchdog needed: the reads end when the socket is empty.
  socket.SetReceiveBudget(3600.0);
  socket.ReceiveAll();
  EXPECT_EQ(100u, socket.GetCounters().droppedStrangers);
  EXPECT_EQ((std::vector<u8>{1, 2}), counting.first);
  Platform::CloseDatagramSocket(stranger);
}

TEST_F(UdpSocketTest, StrangersAndEmptyDatagramsAreReadAndDropped) {
  Send({1, 2, 3});  // no peer registered yet
  EXPECT_TRUE(socket.ReceiveOne());
  EXPECT_EQ(1u, socket.GetCounters().droppedStrangers);
  socket.AddPeer(&peer);
  Send({});
  EXPECT_TRUE(socket.ReceiveOne());
  EXPECT_EQ(1u, socket.GetCounters().droppedEmpty);
  EXPECT_TRUE(counting.lengths.empty());
  Send({9});
  EXPECT_TRUE(socket.ReceiveOne());
  EXPECT_EQ((std::vector<u32>{1}), counting.lengths);
  socket.RemovePeer(&peer);
  EXPECT_EQ(nullptr, peer.socket);
  EXPECT_EQ(0u, socket.GetPeerCount());
}

TEST_F(UdpSocketTest, StrangerHandlerAdoptsTheSender) {
  static UdpPeer* adopted = nullptr;
  adopted = &peer;
  socket.SetStrangerHandler([](uintptr_t, const Platform::DatagramAddress&) { return adopted; }, 0);
  Send({5, 6});
  EXPECT_TRUE(socket.ReceiveOne());
  EXPECT_EQ((std::vector<u32>{2}), counting.lengths);
}

TEST_F(UdpSocketTest, ClosedTransportReadsAndSendsNothing) {
  socket.AddPeer(&peer);
  socket.Close();
  EXPECT_FALSE(socket.ReceiveOne());
  EXPECT_EQ(-1, socket.SendTo(&peer, "x", 1));
  EXPECT_EQ(0u, socket.GetPeerCount());
  EXPECT_EQ(nullptr, peer.socket);
}

u32 OpenDescriptors() {
  u32 count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

// Connecting again and again, with Open called on an open transport each time, leaves no
// descriptor behind.
TEST(UdpSocketReconnect, LeaksNoDescriptor) {
  UdpSocket peerSocket;
  peerSocket.SetBindHost(Platform::LoopbackAddress(0).host);
  ASSERT_EQ(0, peerSocket.Open());
  InitNetworking();
  {
    UdpSocket warm;
    ASSERT_NE(nullptr, warm.BindPeer("localhost", 1));
  }
  const u32 before = OpenDescriptors();
  tmetest::RecordingEndpoint endpoint;
  endpoint.SetMode(1);
  UdpSocket socket;
  socket.SetBindHost(Platform::LoopbackAddress(0).host);
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(0, socket.Open());
    ASSERT_EQ(0, socket.Open());
    UdpPeer* peer = socket.BindPeer("localhost", peerSocket.GetLocalPort());
    ASSERT_NE(nullptr, peer);
    endpoint.Connect(peer);
    ASSERT_TRUE(tmetest::Queue(endpoint, tmetest::Payload(100, u32(i))));
    endpoint.Update();
    endpoint.Disconnect();
    socket.UnbindPeer();
    socket.Close();
    tmetest::Drain(peerSocket.GetHandle());
  }
  EXPECT_EQ(before, OpenDescriptors());
  EXPECT_EQ(400, endpoint.disconnects);  // Connect disconnects first, then Disconnect
}

}  // namespace
