#include "oapeer/login_service.h"

#include <cstdio>
#include <cstring>

#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"

namespace oapeer {

namespace {

// Message types of the service protocol.
constexpr unsigned char kChallenge = 1;
constexpr unsigned char kTicket = 2;
constexpr unsigned char kAccepted = 4;
constexpr unsigned char kAssetMessage = 10;
constexpr unsigned char kVersionedAssetMessage = 11;
constexpr unsigned char kGroupOpened = 21;
constexpr unsigned char kLeaveGroup = 22;
constexpr unsigned char kGroupMember = 23;
constexpr unsigned char kOpenGroup = 28;
constexpr unsigned char kCreateGroup = 29;
constexpr unsigned char kRemoveUser = 255;
constexpr unsigned char kLogin = 31;
constexpr size_t kMaxText = 65535;

// Little-endian reading of a message; a field past the end marks the reader bad.
class Reader {
 public:
  explicit Reader(const Bytes& bytes) : bytes_(bytes) {}
  bool Good() const { return good_; }
  uint8_t U8() {
    if (at_ + 1 > bytes_.size()) return Fail<uint8_t>();
    return bytes_[at_++];
  }
  uint32_t U32() {
    if (at_ + 4 > bytes_.size()) return Fail<uint32_t>();
    uint32_t v = uint32_t(bytes_[at_]) | uint32_t(bytes_[at_ + 1]) << 8 |
                 uint32_t(bytes_[at_ + 2]) << 16 | uint32_t(bytes_[at_ + 3]) << 24;
    at_ += 4;
    return v;
  }
  std::string Text() {
    const uint32_t n = U32();
    if (!good_ || n > kMaxText || at_ + n > bytes_.size()) return Fail<std::string>();
    std::string s(bytes_.begin() + long(at_), bytes_.begin() + long(at_ + n));
    at_ += n;
    // Interned names are written with their terminating zero, which is no part of the text.
    if (const size_t end = s.find('\0'); end != std::string::npos) s.resize(end);
    return s;
  }

 private:
  template <typename T>
  T Fail() {
    good_ = false;
    return T();
  }
  const Bytes& bytes_;
  size_t at_ = 0;
  bool good_ = true;
};

void PutU32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void PutText(Bytes& out, const std::string& text) {
  PutU32(out, uint32_t(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

// A user list of one entry: count, then name, status byte, flags.
void PutOneUser(Bytes& out, const std::string& user, unsigned char status) {
  out.push_back(1);
  out.push_back(0);
  PutText(out, user);
  out.push_back(status);
  PutU32(out, 0);
}

// Only the printable part of a text goes into the log.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) out += (c >= 0x20 && c < 0x7f) ? char(c) : '?';
  return out;
}

unsigned char KeyByte(const std::string& key, uint32_t state) {
  const unsigned char k = static_cast<unsigned char>(key[(state / 13) % key.size()]);
  const unsigned shift = (state / 7) % 8;
  return static_cast<unsigned char>((k >> shift) | (k << ((8 - shift) % 8)));
}

}  // namespace

void ScrambleBytes(const std::string& key, uint32_t& state, unsigned char* bytes, size_t length) {
  if (key.empty()) return;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c =
        static_cast<unsigned char>(((state % 256) + KeyByte(key, state)) % 256) ^ bytes[i];
    bytes[i] = c;
    state += c;
  }
}

void UnscrambleBytes(const std::string& key, uint32_t& state, unsigned char* bytes, size_t length) {
  if (key.empty()) return;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = bytes[i];
    bytes[i] = static_cast<unsigned char>(((state % 256) + KeyByte(key, state)) % 256) ^ c;
    state += c;
  }
}

bool ParseAsset(const std::string& text, ServiceOptions::Asset& out) {
  int user = 0, content = 0, version = 0, used = 0;
  if (std::sscanf(text.c_str(), "%d:%d%n", &user, &content, &used) == 2 &&
      size_t(used) == text.size()) {
    out = {user, content, 0};
    return true;
  }
  if (std::sscanf(text.c_str(), "%d:%d:%d%n", &user, &content, &version, &used) == 3 &&
      size_t(used) == text.size() && version >= 0 && version < 128) {
    out = {user, content, version};
    return true;
  }
  return false;
}

LoginService::LoginService(const ServiceOptions& options, LogFunction log)
    : options_(options), log_(std::move(log)) {}

const char* LoginService::StateName(ServiceSession::State state) {
  switch (state) {
    case ServiceSession::kAwaitingLogin: return "awaiting login";
    case ServiceSession::kAwaitingTicket: return "awaiting ticket";
    case ServiceSession::kOnline: return "online";
    case ServiceSession::kRefused: return "refused";
  }
  return "?";
}

void LoginService::Send(ServiceSession& session, std::vector<Bytes>& out, Bytes message) {
  if (session.keyed) {
    ScrambleBytes(session.salt + options_.channelKey, session.sendState, message.data(),
                  message.size());
  }
  out.push_back(std::move(message));
}

std::vector<Bytes> LoginService::Take(ServiceSession& session, Bytes body) {
  if (session.keyed) {
    UnscrambleBytes(session.salt + options_.channelKey, session.receiveState, body.data(),
                    body.size());
  }
  std::vector<Bytes> out;
  if (body.empty()) {
    log_("service: empty message ignored");
    return out;
  }
  switch (body[0]) {
    case kLogin: Login(session, body, out); break;
    case kTicket: Ticket(session, body, out); break;
    case kVersionedAssetMessage:
    case kCreateGroup:
    case kOpenGroup:
    case kGroupMember:
    case kLeaveGroup:
      if (session.state == ServiceSession::kOnline) {
        Online(session, body, out);
        break;
      }
      [[fallthrough]];
    default: {
      char line[96];
      std::snprintf(line, sizeof line, "service: message type %u (%zu bytes) in state %s",
                    unsigned(body[0]), body.size(), StateName(session.state));
      log_(line);
      break;
    }
  }
  return out;
}

void LoginService::Login(ServiceSession& session, const Bytes& body, std::vector<Bytes>& out) {
  Reader in(body);
  in.U8();
  const std::string profile = in.Text();
  const std::string application = in.Text();
  in.U32();  // the three client values: f32, u32, bool
  in.U32();
  in.U8();
  const std::string salt = in.Text();
  const unsigned version = in.U8();
  if (!in.Good() || session.state != ServiceSession::kAwaitingLogin) {
    log_(std::string("service: login (31) ignored: ") +
         (in.Good() ? "not awaiting a login" : "malformed"));
    return;
  }
  char line[256];
  std::snprintf(line, sizeof line,
                "service: login (31) profile=\"%s\" application=\"%s\" salt=%zu bytes version=%u",
                Printable(profile).c_str(), Printable(application).c_str(), salt.size(), version);
  log_(line);
  session.profile = profile;
  session.salt = salt;
  Bytes challenge = {kChallenge};
  PutText(challenge, "");
  PutText(challenge, options_.channelKey);
  Send(session, out, std::move(challenge));
  // Everything after the challenge travels scrambled, both ways.
  session.keyed = true;
  session.sendState = session.receiveState = 0;
  session.state = ServiceSession::kAwaitingTicket;
  log_("service: challenge (1) sent with the channel key; state awaiting ticket");
}

void LoginService::Ticket(ServiceSession& session, const Bytes& body, std::vector<Bytes>& out) {
  Reader in(body);
  in.U8();
  const std::string ticket = in.Text();
  if (!in.Good() || session.state != ServiceSession::kAwaitingTicket) {
    log_(std::string("service: ticket (2) ignored: ") +
         (in.Good() ? "not awaiting a ticket" : "malformed"));
    return;
  }
  const bool accepted =
      !ticket.empty() && (options_.acceptTicket.empty() || ticket == options_.acceptTicket);
  log_("service: ticket (2) \"" + Printable(ticket) + "\" " + (accepted ? "accepted" : "refused"));
  Bytes reply = {kAccepted};
  if (accepted) {
    PutText(reply, "");
    reply.push_back(1);          // multiplayer access
    PutU32(reply, 300000);       // bytes a minute
    PutU32(reply, 0);
    PutU32(reply, 10800000);     // bytes an hour
  } else {
    PutText(reply, "ticket not accepted");
  }
  Send(session, out, std::move(reply));
  session.state = accepted ? ServiceSession::kOnline : ServiceSession::kRefused;
  log_(std::string("service: login of \"") + Printable(session.profile) + "\" ends in state " +
       StateName(session.state) + (accepted ? " (4 sent)" : " (4 sent with an error)"));
  if (!accepted || greeted_) return;
  greeted_ = true;
  for (const ServiceOptions::Asset& asset : options_.sendTo) {
    Bytes message = {kAssetMessage};
    PutU32(message, uint32_t(asset.content));
    PutU32(message, uint32_t(asset.version) << 25 | (uint32_t(asset.user) & 0x1FFFFFF));
    PutText(message, "greeting");
    Soup soup;
    soup.SetNamedTag(Qel::PString("text"), Qel::PString("hello from oapeer"));
    Qel::DynamicBuffer buffer;
    TBuffer stream(&buffer, false);
    WriteSoup(stream, soup);
    message.insert(message.end(), buffer.GetData(), buffer.GetData() + buffer.GetDataSize());
    char line[128];
    std::snprintf(line, sizeof line, "service: message (10) \"greeting\" for <kuid2:%d:%d:%d>",
                  asset.user, asset.content, asset.version);
    log_(line);
    Send(session, out, std::move(message));
  }
}

// The service as the other users' side: a post to an asset comes back as that asset's message
// from elsewhere; groups are made, opened and joined at once, the creator a member.
void LoginService::Online(ServiceSession& session, const Bytes& body, std::vector<Bytes>& out) {
  Reader in(body);
  const unsigned type = in.U8();
  char line[256];
  if (type == kVersionedAssetMessage) {
    std::snprintf(line, sizeof line, "service: message (11) of %zu bytes echoed", body.size());
    log_(line);
    Send(session, out, body);
    return;
  }
  if (type == kCreateGroup) {
    const uint32_t request = in.U32();
    in.U32();  // mode
    if (!in.Good()) return log_("service: create group (29) malformed");
    const std::string name = "group-" + std::to_string(++groups_);
    Bytes reply = {kCreateGroup};
    PutU32(reply, request);
    PutText(reply, name);
    PutOneUser(reply, session.profile, 1);
    std::snprintf(line, sizeof line, "service: group \"%s\" created for request %u (29 sent)",
                  name.c_str(), unsigned(request));
    log_(line);
    Send(session, out, std::move(reply));
    return;
  }
  const std::string name = in.Text();
  if (type == kOpenGroup) {
    if (!in.Good()) return log_("service: open group (28) malformed");
    Bytes reply = {kGroupOpened};
    PutText(reply, name);
    PutOneUser(reply, session.profile, 1);
    log_("service: group \"" + Printable(name) + "\" opened (21 sent)");
    Send(session, out, std::move(reply));
  } else if (type == kGroupMember) {
    const unsigned operation = in.U8();
    const std::string user = in.Text();
    if (!in.Good()) return log_("service: group member (23) malformed");
    Bytes reply = {kGroupMember};
    PutText(reply, name);
    PutOneUser(reply, user, operation == kRemoveUser ? kRemoveUser : 1);
    log_("service: user \"" + Printable(user) + "\" " +
         (operation == kRemoveUser ? "removed from" : "added to") + " group \"" +
         Printable(name) + "\" (23 sent)");
    Send(session, out, std::move(reply));
  } else {
    log_("service: group \"" + Printable(name) + "\" left (22)");
  }
}

}  // namespace oapeer
