// oapeer: a loopback peer for the online transport, written on its own from the packet layout
// so that it and the client endpoint cannot share a mistake. It listens on 127.0.0.1, speaks the
// reliable channel with every address that writes to it (acknowledges, reorders, reassembles,
// resends) and echoes each message it receives back as a reliable message, or with --service 1
// answers as the online-access service: it logs the client in (login, challenge with the
// channel key, ticket, acceptance or refusal) and can send messages to assets after the first
// accepted login. Every datagram, fragment, message and login step is logged on one line, up to
// kLogLinesPerSecond lines in each second; the count of lines left out follows.
// Faults for tests: --drop, --duplicate and --reorder (probabilities 0..1) and --delay-ms act on
// every datagram in both directions, from a seeded generator so a run can be repeated.
//
//   oapeer [--port N] [--port-file F] [--log F] [--seconds S] [--seed N] [--mode 0|1]
//          [--drop P] [--duplicate P] [--reorder P] [--delay-ms N] [--time-scale X]
//          [--service 0|1] [--channel-key K] [--ticket T] [--send-to USER:CONTENT[:VERSION]]...
//
// --time-scale runs the channel's timers (resends, acknowledgement delay, time-outs) that many
// times faster than the wall clock, to match a client that runs in accelerated time.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/whole_file_writer.h"
#include "oapeer/login_service.h"
#include "platform/datagram_socket.h"

namespace {

volatile sig_atomic_t g_stopRequested = 0;

void OnStopSignal(int) {
  g_stopRequested = 1;
}

// Limits that keep the peer's memory bounded whatever its clients send.
constexpr size_t kMaxPeers = 16;
constexpr size_t kMaxPending = 4096;
constexpr size_t kMaxWindow = 60;
// Answers waiting for the window, by count and by bytes; when either is full the peer takes (and
// acknowledges) nothing more.
constexpr size_t kMaxQueue = 256;
constexpr size_t kMaxQueueBytes = 4u << 20;
constexpr size_t kMaxEarly = 128;
constexpr size_t kMaxOpenJoins = 128;
constexpr size_t kMaxJoinBytes = 65536;
constexpr size_t kChunk = 1197;
constexpr size_t kMaxChunks = 127;
constexpr double kAckDelaySeconds = 0.05;
constexpr double kSilenceLimit = 300.0;
// Seconds before a resend, by how often the message was already sent; after the fifth send the
// peer is given up.
constexpr double kRetryAfter[6] = {2, 2, 4, 16, 32, 64};
constexpr int kMaxSendsPerMessage = 5;
// A flood would otherwise write a line per datagram, hundreds of megabytes a minute.
constexpr unsigned long kLogLinesPerSecond = 2000;

struct Options {
  int port = 0;
  std::string portFile;
  std::string logFile;
  double seconds = 0;
  unsigned seed = 1;
  int mode = 1;
  double drop = 0, duplicate = 0, reorder = 0;
  int delayMs = 0;
  double timeScale = 1;
  bool service = false;
  oapeer::ServiceOptions serviceOptions;
};

FILE* g_logOut = stdout;
std::chrono::steady_clock::time_point g_startTime;

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - g_startTime).count();
}

std::string AddressText(const Platform::DatagramAddress& a) {
  char text[64];
  in_addr in{};
  in.s_addr = a.host;
  std::snprintf(text, sizeof text, "%s:%u", inet_ntoa(in), unsigned(ntohs(a.port)));
  return text;
}

struct LogRate {
  long second = -1;
  unsigned long written = 0;
  unsigned long leftOut = 0;
};
LogRate g_logRate;

void WriteLogLine(const char* format, va_list args) {
  std::fprintf(g_logOut, "%9.3f ", WallSeconds());
  std::vfprintf(g_logOut, format, args);
  std::fputc('\n', g_logOut);
  std::fflush(g_logOut);
}

void LogAlways(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogAlways(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLogLine(format, args);
  va_end(args);
}

// Says how many lines the rate left out, once their second is over (or the peer stops).
void ReportLeftOut() {
  if (g_logRate.leftOut == 0) return;
  LogAlways("log: %lu lines left out (over %lu a second)", g_logRate.leftOut, kLogLinesPerSecond);
  g_logRate.leftOut = 0;
}

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
  const long second = long(WallSeconds());
  if (second != g_logRate.second) {
    ReportLeftOut();
    g_logRate.second = second;
    g_logRate.written = 0;
  }
  if (g_logRate.written >= kLogLinesPerSecond) {
    ++g_logRate.leftOut;
    return;
  }
  ++g_logRate.written;
  va_list args;
  va_start(args, format);
  WriteLogLine(format, args);
  va_end(args);
}

// Wrapping numbers 1..255; 0 means unreliable.
unsigned char Following(unsigned char n) {
  return n == 255 ? 1 : n + 1;
}
int Distance(unsigned char a, unsigned char b) {
  return static_cast<signed char>(static_cast<unsigned char>(a - b));
}

struct Outgoing {
  unsigned char number = 0;
  std::vector<unsigned char> body;
  int sends = 0;
  double lastSent = 0;
};

struct Join {
  int total = 0;  // 0 until the closing piece came
  size_t bytes = 0;
  std::map<int, std::vector<unsigned char>> pieces;
};

struct Peer {
  Platform::DatagramAddress address;
  unsigned char nextNumber = 1;
  unsigned char wanted = 1;
  unsigned char lastTaken = 0;  // what we acknowledge
  unsigned char lastAckWritten = 0;
  double ackOwedSince = -1;
  double lastHeard = 0;
  double lastWritten = 0;
  std::deque<Outgoing> window, queue;
  size_t queueBytes = 0;
  std::map<unsigned char, std::vector<unsigned char>> early;
  std::map<unsigned char, Join> joins;
  unsigned long messages = 0;
  oapeer::ServiceSession session;
};

struct Pending {
  double due = 0;
  bool inbound = false;
  Platform::DatagramAddress address;
  std::vector<unsigned char> bytes;
};

class PeerServer {
 public:
  PeerServer(const Options& options, int fd)
      : options_(options),
        fd_(fd),
        random_(options.seed),
        service_(options.serviceOptions, [](const std::string& line) { Log("%s", line.c_str()); }) {}

  double ChannelNow() const { return WallSeconds() * options_.timeScale; }

  // A datagram read off the socket enters through the fault stage.
  void Arrived(const Platform::DatagramAddress& from, const unsigned char* data, size_t length) {
    Log("datagram in  %s len=%zu %s", AddressText(from).c_str(), length,
        Describe(data, length).c_str());
    Faults(true, from, std::vector<unsigned char>(data, data + length));
  }

  void Write(Peer& peer, const std::vector<unsigned char>& bytes) {
    peer.lastWritten = ChannelNow();
    Faults(false, peer.address, bytes);
  }

  // Passes the datagrams that are due; inbound ones only when `inbound` is set. Sending passes
  // only outbound ones: handling an inbound datagram while Tick sends could release the message
  // being sent, or forget the peer it belongs to.
  void ReleaseDue(bool inbound = true) {
    const double now = WallSeconds();
    for (size_t i = 0; i < pending_.size();) {
      if (pending_[i].due <= now && (inbound || !pending_[i].inbound)) {
        Pending item = std::move(pending_[i]);
        pending_.erase(pending_.begin() + long(i));
        Pass(item);
      } else {
        ++i;
      }
    }
  }

  double NextDue() const {
    double next = -1;
    for (const Pending& p : pending_)
      if (next < 0 || p.due < next) next = p.due;
    return next;
  }

  void Tick() {
    const double now = ChannelNow();
    for (auto it = peers_.begin(); it != peers_.end();) {
      Peer& peer = *it;
      bool gone = false;
      for (Outgoing& out : peer.window) {
        if (now - out.lastSent > kRetryAfter[out.sends < 5 ? out.sends : 5]) {
          if (out.sends >= kMaxSendsPerMessage) {
            Log("peer %s gone: message %u unanswered after %d sends",
                AddressText(peer.address).c_str(), out.number, out.sends);
            gone = true;
          } else {
            Log("resend %s seq=%u send=%d", AddressText(peer.address).c_str(), out.number,
                out.sends + 1);
            Transmit(peer, out);
          }
          break;
        }
      }
      if (!gone && now - peer.lastHeard > kSilenceLimit) {
        Log("peer %s gone: silent", AddressText(peer.address).c_str());
        gone = true;
      }
      if (gone) {
        it = peers_.erase(it);
        continue;
      }
      Flush(peer);
      TakeHeld(peer);
      if (peer.lastTaken != peer.lastAckWritten && peer.ackOwedSince >= 0 &&
          now - peer.ackOwedSince >= kAckDelaySeconds * options_.timeScale) {
        WriteBare(peer);
      } else if (now - peer.lastWritten > 30.0) {
        WriteBare(peer);
      }
      ++it;
    }
  }

  void Farewell() {
    for (Peer& peer : peers_) {
      std::vector<unsigned char> bytes = {0, peer.lastTaken, 0};
      Platform::SendDatagram(fd_, bytes.data(), bytes.size(), peer.address);
      Log("datagram out %s len=3 disconnect notice", AddressText(peer.address).c_str());
    }
  }

 private:
  std::string Describe(const unsigned char* data, size_t length) const {
    char text[96];
    if (length < 2) {
      std::snprintf(text, sizeof text, "(too short)");
    } else if (data[0] == 0 || options_.mode == 0) {
      std::snprintf(text, sizeof text, "seq=%u ack=%u payload=%zu", data[0], data[1], length - 2);
    } else if (length < 3) {
      std::snprintf(text, sizeof text, "seq=%u ack=%u (fragment header cut)", data[0], data[1]);
    } else {
      std::snprintf(text, sizeof text, "seq=%u ack=%u frag=%u%s data=%zu", data[0], data[1],
                    data[2] & 0x7f, (data[2] & 0x80) ? " last" : "", length - 3);
    }
    return text;
  }

  void Faults(bool inbound, const Platform::DatagramAddress& address,
              std::vector<unsigned char> bytes) {
    const char* way = inbound ? "in" : "out";
    if (Chance(options_.drop)) {
      Log("fault drop %s %s len=%zu", way, AddressText(address).c_str(), bytes.size());
      return;
    }
    int copies = 1;
    if (Chance(options_.duplicate)) {
      Log("fault duplicate %s %s len=%zu", way, AddressText(address).c_str(), bytes.size());
      copies = 2;
    }
    for (int c = 0; c < copies; ++c) {
      double due = WallSeconds() + options_.delayMs / 1000.0;
      if (Chance(options_.reorder)) {
        // Held back a little, so what follows overtakes it.
        due += 0.002 + 0.008 * Uniform();
        Log("fault reorder %s %s len=%zu", way, AddressText(address).c_str(), bytes.size());
      }
      if (pending_.size() >= kMaxPending) {
        Log("fault queue full: dropped %s len=%zu", way, bytes.size());
        return;
      }
      pending_.push_back(Pending{due, inbound, address, bytes});
    }
    ReleaseDue(inbound);
  }

  void Pass(const Pending& item) {
    if (!item.inbound) {
      if (Platform::SendDatagram(fd_, item.bytes.data(), item.bytes.size(), item.address) !=
          ssize_t(item.bytes.size()))
        Log("send failed to %s", AddressText(item.address).c_str());
      else
        Log("datagram out %s len=%zu %s", AddressText(item.address).c_str(), item.bytes.size(),
            Describe(item.bytes.data(), item.bytes.size()).c_str());
      return;
    }
    Process(item.address, item.bytes);
  }

  // A logged-in peer is never forgotten to make room: strangers writing from many ports would
  // otherwise push out every real client. Of the others, one that never got a message through
  // goes first, then the quietest.
  bool LoggedIn(const Peer& peer) const {
    return options_.service && peer.session.state == oapeer::ServiceSession::kOnline;
  }
  static bool GoesBefore(const Peer& a, const Peer& b) {
    if ((a.messages == 0) != (b.messages == 0)) return a.messages == 0;
    return a.lastHeard < b.lastHeard;
  }

  // Null when the address is no peer and `create` is off, or when every place holds a logged-in
  // peer.
  Peer* FindPeer(const Platform::DatagramAddress& address, bool create) {
    for (Peer& peer : peers_)
      if (peer.address == address) return &peer;
    if (!create) return nullptr;
    if (peers_.size() >= kMaxPeers) {
      auto leaving = peers_.end();
      for (auto it = peers_.begin(); it != peers_.end(); ++it) {
        if (!LoggedIn(*it) && (leaving == peers_.end() || GoesBefore(*it, *leaving))) leaving = it;
      }
      if (leaving == peers_.end()) {
        Log("peer %s refused: every place holds a logged-in peer", AddressText(address).c_str());
        return nullptr;
      }
      Log("peer %s forgotten to make room", AddressText(leaving->address).c_str());
      peers_.erase(leaving);
    }
    peers_.emplace_back();
    Peer& peer = peers_.back();
    peer.address = address;
    peer.lastHeard = peer.lastWritten = ChannelNow();
    Log("peer %s new", AddressText(address).c_str());
    return &peer;
  }

  void Process(const Platform::DatagramAddress& from, const std::vector<unsigned char>& d) {
    if (d.size() < 2) {
      Log("bad %s: %zu bytes, shorter than a header", AddressText(from).c_str(), d.size());
      return;
    }
    unsigned char number = d[0];
    const bool pieces = options_.mode == 1 && number != 0;
    if (pieces && d.size() < 3) {
      Log("bad %s: fragment without its third header byte", AddressText(from).c_str());
      return;
    }
    const size_t skip = pieces ? 3 : 2;
    if ((pieces && d.size() - skip > kChunk) || (!pieces && d.size() - skip > kMaxJoinBytes)) {
      Log("bad %s: oversized (%zu bytes)", AddressText(from).c_str(), d.size());
      return;
    }
    Peer* peer = FindPeer(from, true);
    if (peer == nullptr) return;
    peer->lastHeard = ChannelNow();
    Acknowledged(*peer, d[1]);
    std::vector<unsigned char> body(d.begin() + long(skip), d.end());
    if (number == 0) {
      if (body.size() == 1) {
        Log("peer %s gone: disconnect notice", AddressText(from).c_str());
        for (auto it = peers_.begin(); it != peers_.end(); ++it)
          if (&*it == peer) {
            peers_.erase(it);
            break;
          }
      } else if (body.size() > 1) {
        Log("bad %s: unreliable payload of %zu bytes", AddressText(from).c_str(), body.size());
      }
      return;
    }
    if (Distance(number, peer->wanted) < 0) {
      Log("duplicate %s seq=%u (want %u)", AddressText(from).c_str(), number, peer->wanted);
      peer->lastAckWritten = 0;  // the acknowledgement may be lost: send it again
      if (peer->ackOwedSince < 0) peer->ackOwedSince = ChannelNow();
      return;
    }
    // A copy of an early message is not needed twice; the wanted one may have been held back
    // (its answer had no room) and comes again.
    if (number != peer->wanted && peer->early.count(number)) return;
    if (pieces) {
      const int index = d[2] & 0x7f;
      const bool closing = (d[2] & 0x80) != 0;
      Log("fragment %s seq=%u index=%d%s bytes=%zu", AddressText(from).c_str(), number, index,
          closing ? " last" : "", body.size());
      if (!peer->joins.count(number) && peer->joins.size() >= kMaxOpenJoins) {
        Log("bad %s: too many open assemblies, fragment dropped", AddressText(from).c_str());
        return;
      }
      Join& join = peer->joins[number];
      auto old = join.pieces.find(index);
      if (old != join.pieces.end()) join.bytes -= old->second.size();
      if (join.bytes + body.size() > kMaxJoinBytes) {
        Log("bad %s: assembly seq=%u over %zu bytes, restarted", AddressText(from).c_str(),
            number, kMaxJoinBytes);
        join = Join();
      }
      if (closing) join.total = index + 1;
      join.bytes += body.size();
      join.pieces[index] = std::move(body);
      if (join.total == 0) return;
      std::vector<unsigned char> whole;
      for (int i = 0; i < join.total; ++i) {
        auto piece = join.pieces.find(i);
        if (piece == join.pieces.end() || piece->second.empty()) return;
        whole.insert(whole.end(), piece->second.begin(), piece->second.end());
      }
      peer->joins.erase(number);
      body = std::move(whole);
    }
    if (number != peer->wanted) {
      if (peer->early.size() < kMaxEarly) {
        Log("early %s seq=%u held (want %u)", AddressText(from).c_str(), number, peer->wanted);
        peer->early[number] = std::move(body);
      }
      return;
    }
    if (peer->queue.size() >= kMaxQueue || peer->queueBytes >= kMaxQueueBytes) {
      Log("waiting %s seq=%u held unacknowledged: send queue full", AddressText(from).c_str(),
          number);
    }
    // The wanted one is always held (the list goes one over its bound), so it is taken as soon
    // as the queue has room rather than waiting for the client's next resend.
    peer->early[number] = std::move(body);
    TakeHeld(*peer);
  }

  // Takes the held run from the wanted number on while the send queue has room for the
  // answers. Only taking acknowledges, so a full queue holds the client back (it resends)
  // instead of losing a message it was told arrived.
  void TakeHeld(Peer& peer) {
    for (auto next = peer.early.find(peer.wanted);
         next != peer.early.end() && peer.queue.size() < kMaxQueue &&
         peer.queueBytes < kMaxQueueBytes;
         next = peer.early.find(peer.wanted)) {
      const std::vector<unsigned char> body = std::move(next->second);
      peer.early.erase(next);
      Take(peer, peer.wanted, body);
      peer.wanted = Following(peer.wanted);
      unsigned char far = static_cast<unsigned char>(peer.wanted + 127);
      if (far == 0) far = 1;
      peer.joins.erase(far);
      peer.early.erase(far);
    }
  }

  void Take(Peer& peer, unsigned char number, const std::vector<unsigned char>& body) {
    if (peer.lastTaken == peer.lastAckWritten) peer.ackOwedSince = ChannelNow();
    peer.lastTaken = number;
    ++peer.messages;
    std::string head;
    for (size_t i = 0; i < body.size() && i < 8; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02x", body[i]);
      head += hex;
    }
    Log("message in  %s seq=%u bytes=%zu #%lu %s%s", AddressText(peer.address).c_str(), number,
        body.size(), peer.messages, head.c_str(), body.size() > 8 ? "..." : "");
    std::vector<oapeer::Bytes> replies;
    if (options_.service) {
      replies = service_.Take(peer.session, body);
    } else {
      replies.push_back(body);
    }
    // Room was made sure of before the message was taken; a login answer is a few messages.
    for (oapeer::Bytes& reply : replies) {
      Outgoing out;
      out.body = std::move(reply);
      peer.queueBytes += out.body.size();
      peer.queue.push_back(std::move(out));
    }
  }

  void Acknowledged(Peer& peer, unsigned char ack) {
    if (ack == 0) return;
    if (Distance(ack, peer.nextNumber) >= 0) {
      Log("bad %s: acknowledges %u, never sent", AddressText(peer.address).c_str(), ack);
      return;
    }
    for (auto it = peer.window.begin(); it != peer.window.end();) {
      if (Distance(it->number, ack) <= 0) {
        it = peer.window.erase(it);
      } else {
        ++it;
      }
    }
  }

  void Flush(Peer& peer) {
    while (peer.window.size() < kMaxWindow && !peer.queue.empty()) {
      Outgoing out = std::move(peer.queue.front());
      peer.queue.pop_front();
      peer.queueBytes -= out.body.size();
      out.number = peer.nextNumber;
      peer.nextNumber = Following(peer.nextNumber);
      peer.window.push_back(std::move(out));
      Log("message out %s seq=%u bytes=%zu", AddressText(peer.address).c_str(),
          peer.window.back().number, peer.window.back().body.size());
      Transmit(peer, peer.window.back());
    }
  }

  void Transmit(Peer& peer, Outgoing& out) {
    ++out.sends;
    out.lastSent = ChannelNow();
    peer.lastAckWritten = peer.lastTaken;
    peer.ackOwedSince = -1;
    const size_t size = out.body.size();
    if (options_.mode == 0) {
      std::vector<unsigned char> d = {out.number, peer.lastTaken};
      d.insert(d.end(), out.body.begin(), out.body.end());
      Write(peer, d);
      return;
    }
    size_t count = (size + kChunk - 1) / kChunk;
    if (count == 0) count = 1;
    if (count > kMaxChunks) {
      Log("message seq=%u too long to send", out.number);
      return;
    }
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
      const size_t part = (size - at) / (count - i);
      std::vector<unsigned char> d = {out.number, peer.lastTaken,
                                      static_cast<unsigned char>(i | (i + 1 == count ? 0x80 : 0))};
      d.insert(d.end(), out.body.begin() + long(at), out.body.begin() + long(at + part));
      at += part;
      Write(peer, d);
    }
  }

  void WriteBare(Peer& peer) {
    peer.lastAckWritten = peer.lastTaken;
    peer.ackOwedSince = -1;
    Write(peer, {0, peer.lastTaken});
  }

  bool Chance(double p) { return p > 0 && Uniform() < p; }
  double Uniform() { return std::uniform_real_distribution<double>(0.0, 1.0)(random_); }

  const Options& options_;
  int fd_;
  std::mt19937_64 random_;
  std::deque<Peer> peers_;
  std::vector<Pending> pending_;
  oapeer::LoginService service_;
};

bool ParseArguments(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "oapeer: %s needs a value\n", arg.c_str());
      return false;
    }
    const char* value = argv[++i];
    char* end = nullptr;
    const double number = std::strtod(value, &end);
    const bool numeric = end != value && *end == '\0';
    if (arg == "--port-file") {
      o->portFile = value;
    } else if (arg == "--log") {
      o->logFile = value;
    } else if (arg == "--channel-key") {
      o->serviceOptions.channelKey = value;
    } else if (arg == "--ticket") {
      o->serviceOptions.acceptTicket = value;
    } else if (arg == "--send-to") {
      oapeer::ServiceOptions::Asset asset;
      if (!oapeer::ParseAsset(value, asset) || o->serviceOptions.sendTo.size() >= 64) {
        std::fprintf(stderr, "oapeer: --send-to needs USER:CONTENT[:VERSION] (64 at most): %s\n",
                     value);
        return false;
      }
      o->serviceOptions.sendTo.push_back(asset);
    } else if (!numeric) {
      std::fprintf(stderr, "oapeer: unknown option or bad value: %s %s\n", arg.c_str(), value);
      return false;
    } else if (arg == "--port" && number >= 0 && number < 65536) {
      o->port = int(number);
    } else if (arg == "--seconds" && number >= 0) {
      o->seconds = number;
    } else if (arg == "--seed" && number >= 0) {
      o->seed = unsigned(number);
    } else if (arg == "--mode" && (number == 0 || number == 1)) {
      o->mode = int(number);
    } else if (arg == "--drop" && number >= 0 && number <= 1) {
      o->drop = number;
    } else if (arg == "--duplicate" && number >= 0 && number <= 1) {
      o->duplicate = number;
    } else if (arg == "--reorder" && number >= 0 && number <= 1) {
      o->reorder = number;
    } else if (arg == "--delay-ms" && number >= 0 && number <= 10000) {
      o->delayMs = int(number);
    } else if (arg == "--time-scale" && number >= 1 && number <= 1000) {
      o->timeScale = number;
    } else if (arg == "--service" && (number == 0 || number == 1)) {
      o->service = number == 1;
    } else {
      std::fprintf(stderr, "oapeer: unknown option or value out of range: %s %s\n", arg.c_str(),
                   value);
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseArguments(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: oapeer [--port N] [--port-file F] [--log F] [--seconds S] [--seed N] "
                 "[--mode 0|1] [--drop P] [--duplicate P] [--reorder P] [--delay-ms N] "
                 "[--time-scale X] [--service 0|1] [--channel-key K] [--ticket T] "
                 "[--send-to USER:CONTENT[:VERSION]]...\n");
    return 2;
  }
  g_startTime = std::chrono::steady_clock::now();
  if (!options.logFile.empty()) {
    g_logOut = std::fopen(options.logFile.c_str(), "a");
    if (g_logOut == nullptr) {
      std::fprintf(stderr, "oapeer: cannot open log %s: %s\n", options.logFile.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);

  const int fd =
      Platform::OpenDatagramSocket(Platform::LoopbackAddress(uint16_t(options.port)), 0x40000);
  if (fd < 0) {
    std::fprintf(stderr, "oapeer: cannot listen on 127.0.0.1:%d: %s\n", options.port,
                 std::strerror(errno));
    return 1;
  }
  const unsigned port = ntohs(Platform::DatagramLocalAddress(fd).port);
  if (!options.portFile.empty()) {
    // Written whole, so a reader never sees half a number.
    const std::string text = std::to_string(port) + "\n";
    if (WriteWholeFile(options.portFile.c_str(), {{text.data(), text.size()}}) !=
        WriteResult::kWritten) {
      std::fprintf(stderr, "oapeer: cannot write port file %s\n", options.portFile.c_str());
      Platform::CloseDatagramSocket(fd);
      return 1;
    }
  }
  LogAlways(
      "listening on 127.0.0.1:%u mode=%d drop=%.3f duplicate=%.3f reorder=%.3f delay=%dms "
      "seed=%u time-scale=%.1f %s",
      port, options.mode, options.drop, options.duplicate, options.reorder, options.delayMs,
      options.seed, options.timeScale, options.service ? "service" : "echo");

  PeerServer server(options, fd);
  std::vector<unsigned char> buffer(100000);
  while (!g_stopRequested && (options.seconds <= 0 || WallSeconds() < options.seconds)) {
    int waitMs = 5;
    const double due = server.NextDue();
    if (due >= 0) waitMs = std::max(0, std::min(waitMs, int((due - WallSeconds()) * 1000)));
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, waitMs);
    for (int i = 0; i < 256; ++i) {
      const Platform::DatagramRead read = Platform::ReceiveDatagram(fd, buffer.data(), buffer.size());
      if (read.status != Platform::DatagramRead::kReceived) break;
      if (read.Truncated(buffer.size())) {
        Log("bad %s: datagram of %zu bytes, over the buffer", AddressText(read.from).c_str(),
            read.length);
        continue;
      }
      server.Arrived(read.from, buffer.data(), read.length);
    }
    server.ReleaseDue();
    server.Tick();
  }
  server.Farewell();
  ReportLeftOut();
  LogAlways("stopping");
  Platform::CloseDatagramSocket(fd);
  if (g_logOut != stdout) std::fclose(g_logOut);
  return 0;
}
