// The reliable channel against raw UDP over loopback, side by side: the round trip of a 64-byte
// message (target: within 1.5 times the raw ping-pong) and one-way 1,000-byte messages per
// second (target: at least half of raw sendto/recvfrom). Everything runs on one thread; a
// loopback datagram is readable as soon as sendto returns.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "core/app_globals.h"
#include "online/tme_endpoint.h"
#include "online/udp_socket.h"
#include "qel/time.h"

namespace {

class EchoEndpoint : public TMEEndpoint {
 public:
  void HandlePacket(TMEPacket* packet) override {
    ++received;
    if (!echo) return;
    auto reply = std::make_unique<TMEPacket>(packet->GetPayload(), packet->GetPayloadLength());
    QueueMessage(reply);
  }
  bool echo = false;
  u64 received = 0;
};

// Two connected endpoints in fragment mode, as the online client runs.
struct ChannelPair {
  ChannelPair() {
    for (UdpSocket* s : {&clientSocket, &serverSocket}) {
      s->SetBindHost(Platform::LoopbackAddress(0).host);
      s->Open();
    }
    toServer.address = Platform::LoopbackAddress(serverSocket.GetLocalPort());
    toClient.address = Platform::LoopbackAddress(clientSocket.GetLocalPort());
    clientSocket.AddPeer(&toServer);
    serverSocket.AddPeer(&toClient);
    SetApplicationTime(Qel::Time::Seconds());
    client.SetMode(1);
    server.SetMode(1);
    client.Connect(&toServer);
    server.Connect(&toClient);
  }

  UdpSocket clientSocket, serverSocket;
  UdpPeer toServer, toClient;
  EchoEndpoint client, server;
};

struct RawPair {
  RawPair() {
    for (int* fd : {&a, &b}) {
      *fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      bind(*fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
      int size = 0x40000;
      setsockopt(*fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
      setsockopt(*fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    socklen_t length = sizeof toA;
    getsockname(a, reinterpret_cast<sockaddr*>(&toA), &length);
    length = sizeof toB;
    getsockname(b, reinterpret_cast<sockaddr*>(&toB), &length);
  }
  ~RawPair() {
    close(a);
    close(b);
  }
  int a = -1, b = -1;
  sockaddr_in toA{}, toB{};
};

void BM_RoundTrip64_Reliable(benchmark::State& state) {
  ChannelPair pair;
  pair.server.echo = true;
  const std::vector<u8> payload(64, 0x5a);
  for (auto _ : state) {
    SetApplicationTime(Qel::Time::Seconds());
    const u64 before = pair.client.received;
    auto packet = std::make_unique<TMEPacket>(payload.data(), u32(payload.size()));
    pair.client.QueueMessage(packet);
    pair.client.Update();
    while (pair.client.received == before) {
      pair.serverSocket.ReceiveAll();
      pair.server.Update();
      pair.clientSocket.ReceiveAll();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoundTrip64_Reliable);

void BM_RoundTrip64_RawUdp(benchmark::State& state) {
  RawPair pair;
  u8 buffer[2048];
  std::vector<u8> payload(64, 0x5a);
  for (auto _ : state) {
    sendto(pair.a, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&pair.toB),
           sizeof pair.toB);
    ssize_t got = recvfrom(pair.b, buffer, sizeof buffer, 0, nullptr, nullptr);
    sendto(pair.b, buffer, size_t(got), 0, reinterpret_cast<sockaddr*>(&pair.toA), sizeof pair.toA);
    got = recvfrom(pair.a, buffer, sizeof buffer, 0, nullptr, nullptr);
    benchmark::DoNotOptimize(got);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoundTrip64_RawUdp);

constexpr u32 kBatch = 64;

// Messages per second one way: a batch is queued, then both sides run until it is delivered.
void BM_OneWay1000_Reliable(benchmark::State& state) {
  ChannelPair pair;
  const std::vector<u8> payload(1000, 0xa5);
  for (auto _ : state) {
    SetApplicationTime(Qel::Time::Seconds());
    const u64 target = pair.server.received + kBatch;
    for (u32 i = 0; i < kBatch; ++i) {
      auto packet = std::make_unique<TMEPacket>(payload.data(), u32(payload.size()));
      pair.client.QueueMessage(packet);
    }
    while (pair.server.received < target) {
      pair.client.Update();
      pair.serverSocket.ReceiveAll();
      pair.server.Update();
      pair.clientSocket.ReceiveAll();
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.SetBytesProcessed(state.iterations() * kBatch * 1000);
}
BENCHMARK(BM_OneWay1000_Reliable);

void BM_OneWay1000_RawUdp(benchmark::State& state) {
  RawPair pair;
  u8 buffer[2048];
  const std::vector<u8> payload(1000, 0xa5);
  for (auto _ : state) {
    for (u32 i = 0; i < kBatch; ++i) {
      sendto(pair.a, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&pair.toB),
             sizeof pair.toB);
    }
    for (u32 i = 0; i < kBatch; ++i) {
      benchmark::DoNotOptimize(recvfrom(pair.b, buffer, sizeof buffer, 0, nullptr, nullptr));
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.SetBytesProcessed(state.iterations() * kBatch * 1000);
}
BENCHMARK(BM_OneWay1000_RawUdp);

}  // namespace

BENCHMARK_MAIN();
