#include "core/net_transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/networking.h"
#include "qel/thread.h"
#include "qel/wevent.h"
#include "support/thread_watchdog.h"

namespace {

constexpr u32 kWatchdogMs = 20000;
// Networking starts once per process; end it after the last test so its thread is joined.
class NetworkingEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { ShutdownNetworking(); }
};
[[maybe_unused]] ::testing::Environment* const g_networking_environment =
    ::testing::AddGlobalTestEnvironment(new NetworkingEnvironment);

bool WaitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, int(kWatchdogMs)) == 1;
}

// A loopback listening socket on a free port.
class Listener {
 public:
  Listener() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(a);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(fd_, 8) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
      ADD_FAILURE() << "no loopback listener: " << std::strerror(errno);
    }
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { Stop(); }
  u16 port() const { return port_; }
  // The peer of the next connection, or -1.
  int Accept() { return WaitReadable(fd_) ? accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1; }
  void Stop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  u16 port_ = 0;
};

std::string AddressText(const sockaddr_in& a) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a.sin_addr, text, sizeof(text));
  return text;
}

class NetTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitNetworking();
    TearDown();
  }
  void TearDown() override {
    SetHostLookupForTest({});
    SetResolveTimeLimitForTest(0);
  }
  // Counts look-ups and answers each with 127.0.0.2, or fails the names in `unknown`.
  void CountLookups(std::vector<std::string> unknown = {}) {
    lookups_ = 0;
    SetHostLookupForTest([this, unknown](const char* host, in_addr* out) {
      ++lookups_;
      out->s_addr = htonl(0x7F000002);
      return std::find(unknown.begin(), unknown.end(), host) == unknown.end();
    });
  }
  std::atomic<int> lookups_{0};
};

TEST_F(NetTransportTest, LoopbackTraffic) {
  ASSERT_NE(GetTlsClientContext(), nullptr);
  CountLookups();
  Listener listener;
  TCPTransport t("LOCALHOST", listener.port());
  ASSERT_EQ(t.GetState(), TCPTransport::kConnected);
  EXPECT_EQ(lookups_, 0) << "localhost needs no look-up";
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);

  EXPECT_FALSE(t.BytesAvailable());
  ASSERT_EQ(send(peer, "hello", 5, 0), 5);
  ASSERT_TRUE(WaitReadable(t.GetSocket()));
  EXPECT_TRUE(t.BytesAvailable());
  char buf[16] = {};
  ASSERT_EQ(t.Peek(buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "hel");
  ASSERT_EQ(t.Recv(buf, sizeof(buf)), 5) << "peeked bytes stay queued";
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_FALSE(t.BytesAvailable());

  ASSERT_EQ(t.Send("pong", 4), 4);
  ASSERT_TRUE(WaitReadable(peer));
  ASSERT_EQ(recv(peer, buf, 4, MSG_WAITALL), 4);
  EXPECT_EQ(std::string(buf, 4), "pong");
  shutdown(peer, SHUT_WR);
  EXPECT_EQ(t.Recv(buf, sizeof(buf)), 0);
  EXPECT_EQ(t.GetState(), TCPTransport::kConnected) << "an orderly end is no failure";
  close(peer);

  Listener other;
  std::unique_ptr<NetTransport> second(t.Connect(other.port()));
  auto* tcp = dynamic_cast<TCPTransport*>(second.get());
  ASSERT_NE(tcp, nullptr);
  EXPECT_EQ(tcp->GetState(), TCPTransport::kConnected);
  EXPECT_STREQ(tcp->GetHost(), "LOCALHOST");
}

TEST_F(NetTransportTest, NotConnectedCases) {
  Listener gone;
  const u16 closed_port = gone.port();
  gone.Stop();
  const std::string long_host(kHostBufferSize, 'a');
  const std::string longest_host(kHostBufferSize - 1, 'b');
  struct Case {
    const char* name;
    const char* host;
    u16 port;
    const char* kept_host;
    int lookups;
  } cases[] = {
      {"nothing listens", "listener.test", closed_port, "listener.test", 1},
      {"unknown host", "nowhere.test", 80, "nowhere.test", 1},
      {"host too long", long_host.c_str(), 80, "", 0},
      {"longest host", longest_host.c_str(), 80, longest_host.c_str(), 1},
      {"null host", nullptr, 80, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CountLookups({"nowhere.test", longest_host});
    TCPTransport t(c.host, c.port);
    EXPECT_EQ(t.GetState(), TCPTransport::kNotConnected);
    EXPECT_EQ(t.GetSocket(), -1);
    EXPECT_STREQ(t.GetHost(), c.kept_host);
    EXPECT_EQ(lookups_, c.lookups);
    char buf[4];
    EXPECT_LT(t.Recv(buf, sizeof(buf)), 0);
    EXPECT_LT(t.Send("x", 1), 0);
    EXPECT_EQ(t.GetState(), TCPTransport::kNotConnected) << "a failure keeps the state";
  }
}

TEST_F(NetTransportTest, SendAfterPeerGoneFailsWithoutSigpipe) {
  Listener listener;
  TCPTransport t("127.0.0.1", listener.port());
  ASSERT_EQ(t.GetState(), TCPTransport::kConnected);
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  // Reset, not an orderly end: the next send meets a connection that is gone.
  linger abort_on_close{1, 0};
  setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof(abort_on_close));
  close(peer);
  ASSERT_TRUE(WaitReadable(t.GetSocket()));

  // A SIGPIPE stays pending here instead of ending the test program, so it can be seen.
  sigset_t pipe_only, old_mask, pending;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask), 0);
  const int first = t.Send("x", 1);
  const int second = t.Send("y", 1);
  sigpending(&pending);
  const bool raised = sigismember(&pending, SIGPIPE);
  if (raised) {
    const timespec no_wait{0, 0};
    sigtimedwait(&pipe_only, nullptr, &no_wait);
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);

  EXPECT_LT(first, 0);
  EXPECT_LT(second, 0);
  EXPECT_FALSE(raised) << "a send to a vanished peer raised SIGPIPE";
  EXPECT_EQ(t.GetState(), TCPTransport::kFailed);
  t.Close();
  EXPECT_EQ(t.GetState(), TCPTransport::kClosed);
}

// The kernel's view of a thread: 'S' while it sleeps in a system call.
char ThreadState(long tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t paren = text.rfind(')');
  return paren == std::string::npos || paren + 2 >= text.size() ? '?' : text[paren + 2];
}

TEST_F(NetTransportTest, CloseWakesBlockedRecvAndLaterCallsFail) {
  Listener listener;
  TCPTransport t("127.0.0.1", listener.port());
  ASSERT_EQ(t.GetState(), TCPTransport::kConnected);
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);

  std::atomic<long> tid{0};
  std::atomic<int> received{1};
  Qel::WEvent done(true);
  std::thread reader([&] {
    tid = syscall(SYS_gettid);
    char buf[8];
    received = t.Recv(buf, sizeof(buf));
    done.Set();
  });
  // Give Close a reader that is really blocked, when the kernel shows one (not required).
  for (int i = 0; i < 2000 && (tid == 0 || ThreadState(tid) != 'S'); ++i) Qel::Sleep(1);
  t.Close();
  const bool woke = done.Wait(kWatchdogMs);
  close(peer);  // releases a reader that Close left blocked, so the test can end
  reader.join();
  EXPECT_TRUE(woke) << "Close left a Recv blocked";
  EXPECT_LE(received, 0);
  EXPECT_EQ(t.GetState(), TCPTransport::kClosed);
  EXPECT_EQ(t.GetSocket(), -1);

  char buf[4];
  EXPECT_LT(t.Recv(buf, sizeof(buf)), 0);
  EXPECT_LT(t.Peek(buf, sizeof(buf)), 0);
  EXPECT_LT(t.Send("x", 1), 0);
  EXPECT_EQ(t.GetState(), TCPTransport::kClosed) << "a closed transport keeps its state";
}

TEST_F(NetTransportTest, ResolveHostAnswers) {
  struct Case {
    const char* host;
    const char* address;  // null when the host does not resolve
    int lookups;
  } cases[] = {
      {"LocalHost", "127.0.0.1", 0},      {"name.test", "127.0.0.2", 1},
      {"nowhere.test", nullptr, 1},       {"", nullptr, 0},
      {"localhost.test", "127.0.0.2", 1}, {"127.0.0.9", "127.0.0.9", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    CountLookups({"nowhere.test"});
    sockaddr_in out{};
    ASSERT_EQ(ResolveHost(c.host, 8000, &out), c.address != nullptr);
    EXPECT_EQ(lookups_, c.lookups);
    if (!c.address) continue;
    EXPECT_EQ(out.sin_family, AF_INET);
    EXPECT_EQ(out.sin_port, htons(8000));
    EXPECT_EQ(AddressText(out), c.address);
  }

  // The system's name service, which needs no network for a numeric host.
  SetHostLookupForTest({});
  sockaddr_in out;
  ASSERT_TRUE(ResolveHost("127.0.0.1", 9, &out));
  EXPECT_EQ(AddressText(out), "127.0.0.1");
}

TEST_F(NetTransportTest, TimedOutRequestIsDroppedAndItsLateAnswerIgnored) {
  Qel::WEvent gate(true);
  SetHostLookupForTest([&gate](const char* host, in_addr* out) {
    if (std::strcmp(host, "slow.test") == 0) gate.Wait(kWatchdogMs);
    out->s_addr = htonl(0x7F000003);
    return true;
  });
  SetResolveTimeLimitForTest(200);
  sockaddr_in late;
  std::memset(&late, 0xAB, sizeof(late));
  EXPECT_FALSE(ResolveHost("slow.test", 80, &late));
  EXPECT_EQ(GetPendingResolveCountForTest(), 0u) << "a timed-out request stays queued";

  // The resolver finishes the slow look-up before it serves the next request.
  gate.Set();
  SetResolveTimeLimitForTest(kWatchdogMs);
  sockaddr_in fast;
  EXPECT_TRUE(ResolveHost("fast.test", 81, &fast));
  EXPECT_EQ(AddressText(fast), "127.0.0.3");
  const std::vector<u8> untouched(sizeof(late), 0xAB);
  EXPECT_EQ(std::memcmp(&late, untouched.data(), sizeof(late)), 0) << "late answer was written";
}

}  // namespace
