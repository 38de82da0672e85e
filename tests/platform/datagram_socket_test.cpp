#include "platform/datagram_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

class DatagramSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    receiver = Platform::OpenDatagramSocket(Platform::LoopbackAddress(0), 0x40000);
    sender = Platform::OpenDatagramSocket(Platform::LoopbackAddress(0), 0x40000);
    ASSERT_GE(receiver, 0);
    ASSERT_GE(sender, 0);
    to = Platform::DatagramLocalAddress(receiver);
    ASSERT_NE(0, to.port);
    ASSERT_EQ(htonl(INADDR_LOOPBACK), to.host);
  }
  void TearDown() override {
    Platform::CloseDatagramSocket(receiver);
    Platform::CloseDatagramSocket(sender);
  }
  int receiver = -1, sender = -1;
  Platform::DatagramAddress to;
};

TEST_F(DatagramSocketTest, ReadsReportTheRealLengthAndTheSender) {
  std::vector<unsigned char> buffer(16);
  EXPECT_EQ(Platform::DatagramRead::kNothing,
            Platform::ReceiveDatagram(receiver, buffer.data(), buffer.size()).status);
  const std::vector<unsigned char> big(100, 7);
  ASSERT_EQ(100, Platform::SendDatagram(sender, big.data(), big.size(), to));
  Platform::DatagramRead read = Platform::ReceiveDatagram(receiver, buffer.data(), buffer.size());
  ASSERT_EQ(Platform::DatagramRead::kReceived, read.status);
  EXPECT_EQ(100u, read.length);
  EXPECT_TRUE(read.Truncated(buffer.size()));
  EXPECT_EQ(Platform::DatagramLocalAddress(sender), read.from);

  ASSERT_EQ(0, Platform::SendDatagram(sender, "", 0, to));
  read = Platform::ReceiveDatagram(receiver, buffer.data(), buffer.size());
  ASSERT_EQ(Platform::DatagramRead::kReceived, read.status);
  EXPECT_EQ(0u, read.length);
  EXPECT_FALSE(read.Truncated(buffer.size()));
}

TEST_F(DatagramSocketTest, ClosedDescriptorFails) {
  Platform::CloseDatagramSocket(sender);
  EXPECT_EQ(-1, Platform::SendDatagram(sender, "x", 1, to));
  unsigned char b[4];
  EXPECT_EQ(Platform::DatagramRead::kFailed, Platform::ReceiveDatagram(sender, b, sizeof b).status);
  sender = -1;
}

// A socket that shared its port with another would lose about half its datagrams to it: many
// sockets open at once each get a port of their own, and a port in use cannot be taken again.
TEST(DatagramSocket, NeverSharesAPort) {
  std::vector<int> open;
  std::set<std::uint16_t> ports;
  for (int i = 0; i < 1000; ++i) {
    const int fd = Platform::OpenDatagramSocket(Platform::LoopbackAddress(0), 4096);
    ASSERT_GE(fd, 0);
    open.push_back(fd);
    EXPECT_TRUE(ports.insert(Platform::DatagramLocalAddress(fd).port).second) << i;
  }
  const Platform::DatagramAddress taken = Platform::DatagramLocalAddress(open.front());
  EXPECT_EQ(-1, Platform::OpenDatagramSocket(taken, 4096));
  for (int fd : open) Platform::CloseDatagramSocket(fd);
}

}  // namespace
