#include "platform/socket_io.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A connected pair with small buffers, so large transfers go in many partial calls. Time limits
// turn a broken transfer into a failed test instead of a hang.
class SocketIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0);
    const timeval limit{20, 0};
    const int small = 4096;
    for (int fd : fds_) {
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
  }
  void TearDown() override {
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }

  int fds_[2] = {-1, -1};
};

// The peer moves its side in 7-byte pieces with plain calls; both parts of a send arrive whole
// and in order, and a receive gathers every piece.
TEST_F(SocketIoTest, LargeTransfersSurviveAPeerMovingShortPieces) {
  Bytes head(12), body(300000);
  for (size_t i = 0; i < body.size(); ++i) body[i] = std::uint8_t(i * 7 + i / 251);
  std::fill(head.begin(), head.end(), 0xEE);
  Bytes echoed;
  std::thread peer([&] {
    std::uint8_t piece[7];
    ssize_t n = 0;
    while (echoed.size() < head.size() + body.size() &&
           (n = ::recv(fds_[1], piece, sizeof piece, 0)) > 0) {
      echoed.insert(echoed.end(), piece, piece + n);
    }
    for (size_t at = 0; at < echoed.size(); at += 7) {
      const size_t size = std::min<size_t>(7, echoed.size() - at);
      if (::send(fds_[1], echoed.data() + at, size, MSG_NOSIGNAL) != ssize_t(size)) break;
    }
  });
  EXPECT_TRUE(Platform::SendAll(fds_[0], head.data(), head.size(), body.data(), body.size()));
  Bytes back(head.size() + body.size());
  EXPECT_TRUE(Platform::ReceiveAll(fds_[0], back.data(), back.size()));
  peer.join();
  head.insert(head.end(), body.begin(), body.end());
  EXPECT_EQ(back, head);
}

TEST_F(SocketIoTest, ClosedPeerAndFailureAreToldApart) {
  ASSERT_EQ(::send(fds_[1], "abc", 3, 0), 3);
  ::close(fds_[1]);
  fds_[1] = -1;
  std::uint8_t buffer[8];
  bool closed = false;
  EXPECT_FALSE(Platform::ReceiveAll(fds_[0], buffer, sizeof buffer, &closed));
  EXPECT_TRUE(closed) << "the peer closed after 3 of 8 bytes";
  // A send to a peer that has gone fails; a SIGPIPE would end the test program instead.
  EXPECT_FALSE(Platform::SendAll(fds_[0], "x", 1));
  EXPECT_FALSE(Platform::ReceiveAll(-1, buffer, sizeof buffer, &closed));
  EXPECT_FALSE(closed);
}

std::atomic<int> g_signals{0};
void CountSignal(int) { g_signals.fetch_add(1); }

TEST_F(SocketIoTest, SignalsDoNotCutAReceiveShort) {
  // Without SA_RESTART a signal makes a blocked receive return EINTR.
  struct sigaction action = {};
  struct sigaction previous = {};
  action.sa_handler = CountSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  g_signals.store(0);
  std::uint8_t received[8] = {};
  std::atomic<bool> ok{false};
  std::thread reader([&] { ok.store(Platform::ReceiveAll(fds_[0], received, sizeof received)); });
  for (int i = 0; i < 4; ++i) {
    ::pthread_kill(reader.native_handle(), SIGUSR1);
    // Bounded: a signal never handled fails below rather than hanging here.
    for (int wait = 0; wait < 20000 && g_signals.load() <= i; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::uint8_t pair[2] = {std::uint8_t(2 * i), std::uint8_t(2 * i + 1)};
    EXPECT_EQ(::send(fds_[1], pair, 2, 0), 2);
  }
  reader.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(ok.load());
  EXPECT_EQ(Bytes(received, received + 8), (Bytes{0, 1, 2, 3, 4, 5, 6, 7}));
}

}  // namespace
