#include "platform/datagram_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

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

}  // namespace
