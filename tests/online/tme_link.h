// Two endpoints over loopback sockets in one process. Each side's datagrams are read off its
// socket by the link, pass a seeded fault stage (loss, duplication, reordering) and are handed
// to the endpoint, so every test runs in virtual time and repeats exactly.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/app_globals.h"
#include "online/tme_endpoint.h"
#include "online/udp_socket.h"
#include "platform/datagram_socket.h"
#include "qel/rand.h"

namespace tmetest {

using Bytes = std::vector<u8>;

class RecordingEndpoint : public TMEEndpoint {
 public:
  void HandlePacket(TMEPacket* packet) override {
    received.emplace_back(packet->GetPayload(), packet->GetPayload() + packet->GetPayloadLength());
  }
  void OnDisconnected() override { ++disconnects; }
  void OnAcknowledged(u32 cookie) override { acknowledged.push_back(cookie); }

  std::vector<Bytes> received;
  std::vector<u32> acknowledged;
  int disconnects = 0;
};

struct Faults {
  double loss = 0, duplicate = 0, reorder = 0;
};

// One side: its socket (bound to 127.0.0.1), the record of the other side's address and the
// endpoint connected to it.
struct Side {
  UdpSocket socket;
  UdpPeer peer;
  RecordingEndpoint endpoint;
};

inline Bytes Payload(u32 n, u32 salt) {
  Bytes bytes(n);
  for (u32 i = 0; i < n; ++i) bytes[i] = u8(i * 31 + salt * 7 + (i >> 8));
  return bytes;
}

inline bool Queue(TMEEndpoint& endpoint, const Bytes& bytes, u32 cookie = 0) {
  auto packet = std::make_unique<TMEPacket>(bytes.data(), u32(bytes.size()));
  packet->ackCookie = cookie;
  return endpoint.QueueMessage(packet);
}

// Every datagram waiting on a socket, read raw.
inline std::vector<Bytes> Drain(int fd) {
  std::vector<Bytes> out;
  Bytes buffer(100000);
  for (;;) {
    const Platform::DatagramRead read = Platform::ReceiveDatagram(fd, buffer.data(), buffer.size());
    if (read.status != Platform::DatagramRead::kReceived) break;
    out.emplace_back(buffer.begin(), buffer.begin() + long(read.length));
  }
  return out;
}

class Link {
 public:
  explicit Link(u32 mode, Faults faults = {}, u32 seed = 7) : faults_(faults), random_(seed) {
    SetApplicationTime(now_);
    for (Side* s : {&a, &b}) {
      s->socket.SetBindHost(Platform::LoopbackAddress(0).host);
      EXPECT_EQ(0, s->socket.Open());
      s->endpoint.SetMode(mode);
    }
    a.peer.address = Platform::LoopbackAddress(b.socket.GetLocalPort());
    b.peer.address = Platform::LoopbackAddress(a.socket.GetLocalPort());
    a.socket.AddPeer(&a.peer);
    b.socket.AddPeer(&b.peer);
    a.endpoint.Connect(&a.peer);
    b.endpoint.Connect(&b.peer);
    // Connect itself ends the (absent) previous connection; count from here.
    a.endpoint.disconnects = b.endpoint.disconnects = 0;
  }

  // One step of `dt` virtual seconds: datagrams cross (through the faults), then both update.
  void Step(double dt = 0.05) {
    now_ += dt;
    SetApplicationTime(now_);
    Cross(a, b);
    Cross(b, a);
    a.endpoint.Update();
    b.endpoint.Update();
  }

  // Datagrams that arrive at `to` from outside the link (spoofs, hand-made packets).
  void Inject(Side& to, const Bytes& datagram) { to.endpoint.ReceiveDatagram(datagram.data(), u32(datagram.size())); }

  double Now() const { return now_; }

  Side a, b;

 private:
  void Cross(Side& from, Side& to) {
    (void)from;
    std::vector<Bytes> arrived = Drain(to.socket.GetHandle());
    std::vector<Bytes> passed;
    for (Bytes& d : arrived) {
      if (Chance(faults_.loss)) continue;
      passed.push_back(d);
      if (Chance(faults_.duplicate)) passed.push_back(d);
    }
    for (size_t i = 0; i + 1 < passed.size(); ++i) {
      if (Chance(faults_.reorder)) std::swap(passed[i], passed[i + 1]);
    }
    // A late straggler from the step before overtakes nothing but arrives out of order.
    if (!late_.empty() && &to == &b) {
      passed.insert(passed.end(), late_.begin(), late_.end());
      late_.clear();
    }
    if (&to == &b && !passed.empty() && Chance(faults_.reorder)) {
      late_.push_back(passed.front());
      passed.erase(passed.begin());
    }
    for (Bytes& d : passed) to.endpoint.ReceiveDatagram(d.data(), u32(d.size()));
  }

  bool Chance(double p) { return p > 0 && random_.NextFloat() < p; }

  double now_ = 1000.0;
  Faults faults_;
  Qel::Rand random_;
  std::vector<Bytes> late_;
};

}  // namespace tmetest
