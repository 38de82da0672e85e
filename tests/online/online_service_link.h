// The online-access client against a service in the same process, in virtual time: a scripted
// daemon (profile, ticket, login hand-off) and a service side made of a reliable-channel endpoint
// and oapeer's login service, over loopback sockets. Loss is made by draining a socket unread.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/app_globals.h"
#include "core/networking.h"
#include "oapeer/login_service.h"
#include "online/online_access_client_endpoint.h"
#include "online/tme_endpoint.h"
#include "online/udp_socket.h"
#include "platform/datagram_socket.h"
#include "qel/rand.h"
#include "tme_link.h"

namespace onlinetest {

using tmetest::Bytes;

// What the scripted daemon answers and what it was asked.
struct DaemonScript {
  OnlineProfile profile;
  Qel::String ticket;
  // Hand-offs: whether one starts, when it is done, its status and the ticket it gives.
  bool handOffStarts = true;
  bool handOffDone = false;
  u32 handOffStatus = 0;
  Qel::String handOffTicket;
  int handOffsStarted = 0;
  int handOffsClosed = 0;
  int rejections = 0;
};

class ScriptedDaemon : public OnlineDaemonLink {
 public:
  explicit ScriptedDaemon(DaemonScript& script) : script_(script) {}

  class Request : public OnlineLoginRequest {
   public:
    explicit Request(DaemonScript& script) : script_(script) { ++script_.handOffsStarted; }
    ~Request() override { ++script_.handOffsClosed; }
    bool IsDone() override { return script_.handOffDone; }
    u32 GetStatus() override {
      if (script_.handOffStatus == 0 && !script_.handOffTicket.IsEmpty())
        script_.ticket = script_.handOffTicket;
      return script_.handOffStatus;
    }

   private:
    DaemonScript& script_;
  };

  OnlineProfile GetOnlineProfile() override { return script_.profile; }
  Qel::String GetAuthTicket() override { return script_.ticket; }
  void PostLoginRejected() override { ++script_.rejections; }
  std::unique_ptr<OnlineLoginRequest> StartLoginHandOff() override {
    if (!script_.handOffStarts) return nullptr;
    return std::make_unique<Request>(script_);
  }

 private:
  DaemonScript& script_;
};

// The service: a reliable channel whose delivered messages go to oapeer's login service, whose
// replies go back on it. Every message it took, unscrambled, is kept.
class ServiceEndpoint : public TMEEndpoint {
 public:
  explicit ServiceEndpoint(const oapeer::ServiceOptions& options)
      : service(options, [this](const std::string& line) { log.push_back(line); }) {
    SetMode(1);
  }

  void HandlePacket(TMEPacket* packet) override {
    Bytes body(packet->GetPayload(), packet->GetPayload() + packet->GetPayloadLength());
    if (session.keyed) {
      Bytes plain = body;
      u32 state = session.receiveState;
      oapeer::UnscrambleBytes(session.salt + channelKey(), state, plain.data(), plain.size());
      taken.push_back(plain);
    } else {
      taken.push_back(body);
    }
    for (Bytes& reply : service.Take(session, body)) tmetest::Queue(*this, reply);
  }

  // Sends a message of the test's own, scrambled as the channel stands.
  void Send(Bytes message) {
    if (session.keyed) {
      oapeer::ScrambleBytes(session.salt + channelKey(), session.sendState, message.data(),
                            message.size());
    }
    EXPECT_TRUE(tmetest::Queue(*this, message));
  }

  // Types of the messages taken, in order.
  std::vector<int> Types() const {
    std::vector<int> types;
    for (const Bytes& m : taken) types.push_back(m.empty() ? -1 : m[0]);
    return types;
  }

  std::string channelKey() const { return keyText; }

  std::string keyText = "oapeer-channel-key";
  oapeer::LoginService service;
  oapeer::ServiceSession session;
  std::vector<Bytes> taken;
  std::vector<std::string> log;
};

class ServiceLink {
 public:
  explicit ServiceLink(oapeer::ServiceOptions options = {}) : options_(options) {
    InitNetworking();  // the service host is resolved on the resolver thread
    SetApplicationTime(now_);
    socket_.SetBindHost(Platform::LoopbackAddress(0).host);
    EXPECT_EQ(0, socket_.Open());
    script.profile.name = "alice";
    script.profile.host = "127.0.0.1";
    script.profile.port = socket_.GetLocalPort();
    script.ticket = "ticket-1";
    client = std::make_unique<OnlineAccessClientEndpoint>(std::make_unique<ScriptedDaemon>(script));
    service = NewService();
  }
  ~ServiceLink() {
    client.reset();
    service->Disconnect();
    socket_.Close();
    Platform::CloseDatagramSocket(stranger_);
  }

  std::unique_ptr<ServiceEndpoint> NewService() const {
    auto fresh = std::make_unique<ServiceEndpoint>(options_);
    fresh->keyText = options_.channelKey;
    return fresh;
  }

  // One step of `dt` virtual seconds. The service learns the client's current port when it
  // changes (each connect opens a new socket).
  void Step(double dt = 0.05) {
    now_ += dt;
    SetApplicationTime(now_);
    const u16 port = client->GetUdp().GetLocalPort();
    if (port != 0 && port != servicePort_) {
      // A new connection of the client meets a service that forgot the old one; the old side
      // ends first, while the record still names the old address.
      if (servicePort_ != 0) service = NewService();
      servicePort_ = port;
      socket_.RemovePeer(&peer_);
      peer_.address = Platform::LoopbackAddress(port);
      socket_.AddPeer(&peer_);
      service->Connect(&peer_);
    }
    if (serviceDeaf) {
      tmetest::Drain(socket_.GetHandle());
    } else {
      socket_.ReceiveAll();
    }
    service->Update();
    if (clientDeaf && client->GetUdp().IsOpen()) tmetest::Drain(client->GetUdp().GetHandle());
    Flood(port);
    client->Update();
  }

  // Steps until the client reaches `state` or `seconds` of virtual time pass.
  bool RunUntil(u32 state, double seconds = 30.0, double dt = 0.05) {
    for (double t = 0; t < seconds; t += dt) {
      if (client->GetStatus() == state) return true;
      Step(dt);
    }
    return client->GetStatus() == state;
  }
  void Run(double seconds, double dt = 0.05) {
    for (double t = 0; t < seconds; t += dt) Step(dt);
  }

  double Now() const { return now_; }

  // Datagrams a stranger's port sends the client each step, after the service's answers: more
  // than the client's socket buffer holds, so any left unread push the next answers out.
  u32 strangerFlood = 0;

  DaemonScript script;
  std::unique_ptr<OnlineAccessClientEndpoint> client;
  std::unique_ptr<ServiceEndpoint> service;
  bool serviceDeaf = false;
  bool clientDeaf = false;

 private:
  oapeer::ServiceOptions options_;
  double now_ = 5000.0;
  UdpSocket socket_;
  UdpPeer peer_;
  u16 servicePort_ = 0;
  int stranger_ = -1;

  void Flood(u16 port) {
    if (strangerFlood == 0 || port == 0) return;
    if (stranger_ < 0) stranger_ = Platform::OpenDatagramSocket(Platform::LoopbackAddress(0), 0);
    const u8 junk[3] = {1, 0, 0x80};
    for (u32 i = 0; i < strangerFlood; ++i)
      Platform::SendDatagram(stranger_, junk, sizeof junk, Platform::LoopbackAddress(port));
  }
};

// A message as the service writes it: type, then fields.
class MessageBuilder {
 public:
  explicit MessageBuilder(u8 type) { bytes_.push_back(type); }
  MessageBuilder& U8(u8 v) {
    bytes_.push_back(v);
    return *this;
  }
  MessageBuilder& U32(u32 v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(u8(v >> (8 * i)));
    return *this;
  }
  MessageBuilder& Text(const std::string& text) {
    U32(u32(text.size()));
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }
  // The name form: length with its NUL, the characters, the NUL.
  MessageBuilder& Name(const std::string& text) {
    U32(u32(text.size() + 1));
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    bytes_.push_back(0);
    return *this;
  }
  MessageBuilder& Raw(const Bytes& raw) {
    bytes_.insert(bytes_.end(), raw.begin(), raw.end());
    return *this;
  }
  Bytes Done() const { return bytes_; }

 private:
  Bytes bytes_;
};

}  // namespace onlinetest
