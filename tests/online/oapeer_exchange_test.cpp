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

// The last `count` lines of a log.
std::string Tail(const std::string& text, int count) {
  size_t at = text.size();
  while (count-- > 0 && at > 0) at = text.rfind('\n', at - 1);
  return at == std::string::npos ? text : text.substr(at);
}

// The lines where the peer gave a client up, which the tail of a long stall no longer shows.
std::string GivingUp(const std::string& log) {
  std::istringstream lines(log);
  std::string line, found;
  while (std::getline(lines, line)) {
    if (line.find(" gone: ") != std::string::npos) found += "\n" + line;
  }
  return found.empty() ? "never" : found;
}

// On a loaded machine this takes longer but must not fail: the watchdog is generous and the peer
// outlives it (a later --seconds wins). A fragment is lost for good, and the link given up, when
// all five sends of it are dropped: at a drop rate p that happens with p^5 for each of the
// ~2,200 fragments the two sides send. At 0.1 one run in fifty failed by chance; at 0.03 it is
// one in twenty thousand, and a hundred or so drops still happen every run.
TEST(OapeerExchange, SixHundredMessagesInOrderThroughFaults) {
  scratch::Folder folder;
  OapeerProcess peerProcess(
      folder.path(), {"--seconds", "290", "--drop", "0.03", "--duplicate", "0.1", "--reorder",
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
  auto setClock = [&] {
    SetApplicationTime(1000.0 + (Qel::Time::Seconds() - wallStart) * kTimeScale);
  };
  setClock();
  client.Connect(peer);

  constexpr u32 kMessages = 600;
  std::vector<tmetest::Bytes> sent;
  for (u32 i = 0; i < kMessages; ++i) sent.push_back(tmetest::Payload(1 + (i * 211) % 3000, i));
  u32 queued = 0;
  const auto watchdog = std::chrono::steady_clock::now() + std::chrono::seconds(240);
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
  ASSERT_TRUE(client.IsConnected() && client.received.size() == kMessages)
      << "connected " << client.IsConnected() << ", received " << client.received.size()
      << ", queued " << queued << ", in flight " << client.GetInFlightCount() << ", held "
      << client.GetHeldCount() << ", expecting " << int(client.GetExpectedSequence())
      << "; the peer gave up: " << GivingUp(peerProcess.Log())
      << "; the peer's log ends:" << Tail(peerProcess.Log(), 40);
  for (u32 i = 0; i < kMessages; ++i) ASSERT_EQ(sent[i], client.received[i]) << i;
  // The disconnect notice is one datagram, sent once: the peer's own faults or a full socket
  // buffer may drop it, so the exchange does not count on it.
  client.Disconnect();

  EXPECT_EQ(0, peerProcess.Stop());
  const std::string log = peerProcess.Log();
  for (const char* step : {"listening on 127.0.0.1:", "datagram in", "fragment ", "message in",
                           "message out", "fault drop", "fault duplicate", "fault reorder",
                           "duplicate ", "stopping"})
    EXPECT_NE(std::string::npos, log.find(step)) << step;
}

// A client at the datagram level (fragment mode, one fragment a message), so the test decides
// exactly what it acknowledges. Message i (from 0) is numbered i % 255 + 1 and carries i.
class RawClient {
 public:
  explicit RawClient(u16 port)
      : fd_(Platform::OpenDatagramSocket(Platform::LoopbackAddress(0), 1 << 20)),
        to_(Platform::LoopbackAddress(port)) {}
  ~RawClient() { Platform::CloseDatagramSocket(fd_); }

  static u8 Number(u32 index) { return u8(index % 255 + 1); }
  bool IsOpen() const { return fd_ >= 0; }

  void Send(u32 index) {
    const u8 body[4] = {u8(index), u8(index >> 8), u8(index >> 16), u8(index >> 24)};
    const u8 datagram[7] = {Number(index), Acknowledgement(), 0x80,   body[0],
                            body[1],       body[2],           body[3]};
    Platform::SendDatagram(fd_, datagram, sizeof datagram, to_);
  }
  void SendAcknowledgement() {
    const u8 datagram[2] = {0, Acknowledgement()};
    Platform::SendDatagram(fd_, datagram, sizeof datagram, to_);
  }
  // Sends the next messages while fewer than `window` wait for the peer's acknowledgement.
  void SendWithin(u32 last, u32 window) {
    while (sent < last && sent - peerTook < window) Send(sent++);
  }
  // Resends what the peer has not acknowledged: loopback loses nothing unless a buffer fills.
  void Resend() {
    for (u32 i = peerTook; i < sent; ++i) Send(i);
    SendAcknowledgement();
  }

  // Reads what waits (up to `waitMs`); false when nothing came. Echoes are kept in order; the
  // peer's resends of those already kept are skipped.
  bool Read(int waitMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return false;
    u8 buffer[2048];
    for (;;) {
      const Platform::DatagramRead read = Platform::ReceiveDatagram(fd_, buffer, sizeof buffer);
      if (read.status != Platform::DatagramRead::kReceived) return true;
      if (read.length < 2) continue;
      // The acknowledgement names the last message taken; fewer than 255 are ever outstanding.
      for (u32 i = peerTook; i < sent && buffer[1] != 0; ++i) {
        if (Number(i) == buffer[1]) peerTook = i + 1;
      }
      if (buffer[0] == Number(u32(echoes.size())) && read.length == 7 && buffer[2] == 0x80) {
        echoes.push_back(u32(buffer[3]) | u32(buffer[4]) << 8 | u32(buffer[5]) << 16 |
                         u32(buffer[6]) << 24);
      }
    }
  }

  bool acknowledging = false;
  u32 sent = 0, peerTook = 0;
  std::vector<u32> echoes;

 private:
  u8 Acknowledgement() const {
    return acknowledging && !echoes.empty() ? Number(u32(echoes.size()) - 1) : u8(0);
  }

  int fd_;
  Platform::DatagramAddress to_;
};

// A client that acknowledges no echo fills the peer's window (60) and answer queue (256). The
// peer must then stop acknowledging: a message it acknowledged but could not answer would be
// lost for good, as nothing resends it. Once the client acknowledges, every message is answered
// in order. Only the order of datagrams decides the outcome, never their timing.
TEST(OapeerExchange, FullAnswerQueueHoldsTheClientBackAndLosesNothing) {
  scratch::Folder folder;
  OapeerProcess peerProcess(folder.path(), {});
  const u16 port = peerProcess.WaitForPort();
  ASSERT_NE(0, port);
  RawClient client(port);
  ASSERT_TRUE(client.IsOpen());

  constexpr u32 kCapacity = 60 + 256;
  constexpr u32 kWindow = 60;
  constexpr u32 kMessages = 400;
  const auto watchdog = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  // Until the peer holds as much as it can answer, plus a window beyond it, nothing is
  // acknowledged.
  for (;;) {
    client.SendWithin(kCapacity + kWindow, kWindow);
    if (client.sent == kCapacity + kWindow && client.peerTook >= kCapacity) break;
    ASSERT_LT(std::chrono::steady_clock::now(), watchdog);
    if (!client.Read(500)) client.Resend();
    ASSERT_LE(client.peerTook, kCapacity) << "acknowledged more than it can answer";
  }
  ASSERT_EQ(kCapacity, client.peerTook);
  client.acknowledging = true;
  client.SendAcknowledgement();
  while (client.echoes.size() < kMessages && std::chrono::steady_clock::now() < watchdog) {
    const size_t before = client.echoes.size();
    client.SendWithin(kMessages, kWindow);
    if (!client.Read(500)) client.Resend();
    for (size_t i = before; i < client.echoes.size(); ++i) ASSERT_EQ(i, client.echoes[i]);
    if (client.echoes.size() != before) client.SendAcknowledgement();
  }
  ASSERT_EQ(kMessages, client.echoes.size());
  EXPECT_EQ(0, peerProcess.Stop());
  EXPECT_NE(std::string::npos, peerProcess.Log().find("send queue full")) << peerProcess.Log();
}

TEST(OapeerExchange, RefusesBadSettings) {
  scratch::Folder folder;
  OapeerProcess peerProcess(folder.path(), {"--drop", "1.5"});
  EXPECT_EQ(2, peerProcess.Wait());
}

}  // namespace
