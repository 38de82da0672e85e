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
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(size_t n, std::uint8_t seed) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = std::uint8_t(seed + i * 7 + i / 251);
  return out;
}

// A connected pair with small buffers, so large transfers go in many partial calls. Time limits
// on both directions turn a broken transfer into a failed test instead of a hang.
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
  void CloseEnd(int which) {
    ::close(fds_[which]);
    fds_[which] = -1;
  }

  int fds_[2] = {-1, -1};
};

TEST_F(SocketIoTest, SendAllDeliversBothPartsWholeAndInOrderToAPeerReadingShortPieces) {
  struct Parts {
    size_t first;
    size_t second;
  };
  for (const Parts parts : {Parts{12, 300000}, Parts{0, 5000}, Parts{70000, 0}, Parts{0, 0}}) {
    SCOPED_TRACE(std::to_string(parts.first) + " + " + std::to_string(parts.second));
    const Bytes first = Pattern(parts.first, 1);
    const Bytes second = Pattern(parts.second, 2);
    Bytes received;
    std::thread reader([&] {
      std::uint8_t piece[1000];
      while (received.size() < parts.first + parts.second) {
        const ssize_t n = ::recv(fds_[1], piece, sizeof piece, 0);
        if (n <= 0) break;
        received.insert(received.end(), piece, piece + n);
      }
    });
    EXPECT_TRUE(
        Platform::SendAll(fds_[0], first.data(), first.size(), second.data(), second.size()));
    reader.join();
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(received, expected);
  }
}

TEST_F(SocketIoTest, ReceiveAllGathersAPeerSendingShortPieces) {
  const Bytes sent = Pattern(200000, 3);
  std::thread writer([&] {
    for (size_t at = 0; at < sent.size(); at += 7) {
      const size_t n = std::min<size_t>(7, sent.size() - at);
      if (::send(fds_[1], sent.data() + at, n, MSG_NOSIGNAL) != ssize_t(n)) break;
    }
  });
  Bytes received(sent.size());
  EXPECT_TRUE(Platform::ReceiveAll(fds_[0], received.data(), received.size()));
  writer.join();
  EXPECT_EQ(received, sent);
}

TEST_F(SocketIoTest, ClosedPeerAndFailureAreToldApart) {
  ASSERT_EQ(::send(fds_[1], "abc", 3, 0), 3);
  CloseEnd(1);
  std::uint8_t buffer[8];
  bool closed = false;
  EXPECT_FALSE(Platform::ReceiveAll(fds_[0], buffer, sizeof buffer, &closed));
  EXPECT_TRUE(closed) << "the peer closed after 3 of 8 bytes";
  EXPECT_EQ(Platform::ReceiveSome(fds_[0], buffer, sizeof buffer), 0);

  // A peer that has gone fails the send; it must not raise SIGPIPE, which would end the test.
  EXPECT_FALSE(Platform::SendAll(fds_[0], "x", 1));

  closed = true;
  EXPECT_FALSE(Platform::ReceiveAll(-1, buffer, sizeof buffer, &closed));
  EXPECT_FALSE(closed);
  EXPECT_FALSE(Platform::SendAll(-1, "x", 1));
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
  EXPECT_EQ(g_signals.load(), 4);
  EXPECT_TRUE(ok.load());
  EXPECT_EQ(Bytes(received, received + 8), (Bytes{0, 1, 2, 3, 4, 5, 6, 7}));
}

}  // namespace
