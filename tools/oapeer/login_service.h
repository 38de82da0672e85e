// The service side of the online-access login, for oapeer: it reads the messages a client sends
// over the reliable channel, answers the login with a challenge carrying the channel key, checks
// the ticket, and from then on scrambles and unscrambles the channel as the client does. Written
// from the message layout on its own, apart from the client, so the two cannot share a mistake.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace oapeer {

using Bytes = std::vector<unsigned char>;

// The keyed scrambling of reliable payloads: key = salt + channel key; the state carries from
// one payload to the next in each direction.
void ScrambleBytes(const std::string& key, uint32_t& state, unsigned char* bytes, size_t length);
void UnscrambleBytes(const std::string& key, uint32_t& state, unsigned char* bytes, size_t length);

struct ServiceOptions {
  std::string channelKey = "oapeer-channel-key";
  // The only ticket accepted; empty accepts any non-empty ticket.
  std::string acceptTicket;
  // Assets (user, content, version) that get one message each after the first accepted login.
  struct Asset {
    int32_t user = 0, content = 0, version = 0;
  };
  std::vector<Asset> sendTo;
};

// One client's login, as the service sees it.
struct ServiceSession {
  enum State { kAwaitingLogin, kAwaitingTicket, kOnline, kRefused };
  State state = kAwaitingLogin;
  std::string profile;
  std::string salt;
  bool keyed = false;
  uint32_t sendState = 0, receiveState = 0;
};

class LoginService {
 public:
  using LogFunction = std::function<void(const std::string&)>;

  LoginService(const ServiceOptions& options, LogFunction log);

  // One delivered message (as it travelled); the messages to send back, in order, each ready
  // for the channel (scrambled once the key is in use).
  std::vector<Bytes> Take(ServiceSession& session, Bytes body);

  static const char* StateName(ServiceSession::State state);

 private:
  void Send(ServiceSession& session, std::vector<Bytes>& out, Bytes message);
  void Login(ServiceSession& session, const Bytes& body, std::vector<Bytes>& out);
  void Ticket(ServiceSession& session, const Bytes& body, std::vector<Bytes>& out);
  void Online(ServiceSession& session, const Bytes& body, std::vector<Bytes>& out);

  ServiceOptions options_;
  LogFunction log_;
  bool greeted_ = false;
  unsigned groups_ = 0;
};

// Parses "user:content[:version]"; false for anything else.
bool ParseAsset(const std::string& text, ServiceOptions::Asset& out);

}  // namespace oapeer
