#include "daemon/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "core/buffer_stream.h"
#include "daemon/request_handlers.h"
#include "pymclient/pym_protocol.h"
#include "qel/log.h"

namespace PymDaemonSrv {

namespace {

namespace pp = PymProtocol;

constexpr size_t kReadBufferSize = 64 * 1024;
// The database path of a handshake is a path; anything longer is not a client of ours.
constexpr u32 kMaxHandshakePath = 64 * 1024;
// Payloads grow by at most this much per step, so a false length costs no more than the bytes
// that really arrive.
constexpr size_t kPayloadStep = 1024 * 1024;

Qel::Log& DaemonLog() { return Qel::Log::Get("PymDaemon"); }

void StoreU32(u8* p, u32 v) {
  p[0] = u8(v);
  p[1] = u8(v >> 8);
  p[2] = u8(v >> 16);
  p[3] = u8(v >> 24);
}

}  // namespace

Connection::Connection(int fd, RequestHandlers& handlers, const ConnectionListener& listener,
                       const ConnectionPolicy& policy)
    : fd_(fd),
      handlers_(handlers),
      listener_(listener),
      policy_(policy),
      handshakeDeadline_(std::chrono::steady_clock::now() +
                         std::chrono::seconds(policy.handshakeSeconds)),
      inBuffer_(kReadBufferSize) {}

Connection::~Connection() {
  Shutdown();
  Join();
  close(fd_);
}

void Connection::Start() {
  thread_ = std::thread([this] { Run(); });
}

void Connection::Shutdown() {
  if (!shutdown_.exchange(true)) ::shutdown(fd_, SHUT_RDWR);
}

void Connection::Join() {
  if (thread_.joinable()) thread_.join();
}

void Connection::Run() {
  if (Handshake()) Serve();
  Shutdown();
  finished_.store(true);
  listener_.onFinished();
}

void Connection::KeepAliveIfBusy(std::chrono::steady_clock::time_point now) {
  using Clock = std::chrono::steady_clock;
  const i64 since = busySince_.load();
  if (since == 0) return;
  const Clock::time_point began{Clock::duration(since)};
  const auto interval = std::chrono::seconds(pp::kKeepAliveNoteSeconds);
  if (now - std::max(began, lastNote_) < interval) return;
  std::unique_lock<std::mutex> lock(writeMutex_, std::try_to_lock);
  if (!lock.owns_lock()) return;
  pollfd p{fd_, POLLOUT, 0};
  if (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) return;
  u8 note[16];
  StoreU32(note, pp::kTagNotify);
  StoreU32(note + 4, pp::kNoteMessage);
  StoreU32(note + 8, 4);
  StoreU32(note + 12, 0);
  const ssize_t sent = send(fd_, note, sizeof note, MSG_DONTWAIT | MSG_NOSIGNAL);
  // Half a note would leave the stream out of step.
  if (sent >= 0 && sent != ssize_t(sizeof note)) Shutdown();
  lastNote_ = now;
}

bool Connection::WaitReadable() {
  using Clock = std::chrono::steady_clock;
  for (;;) {
    long long limitMs = 1000LL * (shookHands_ ? policy_.idleSeconds : policy_.handshakeSeconds);
    if (!shookHands_) {
      limitMs =
          std::chrono::duration_cast<std::chrono::milliseconds>(handshakeDeadline_ - Clock::now())
              .count();
      if (limitMs <= 0) break;
    }
    pollfd p{fd_, POLLIN, 0};
    const int rc = poll(&p, 1, int(std::min<long long>(limitMs, 1LL << 30)));
    if (rc > 0) return true;
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return false;
    break;
  }
  DaemonLog().Printf(Qel::Log::kMessage, shookHands_
                                             ? "PymDaemon> silent connection closed"
                                             : "PymDaemon> connection without handshake closed");
  return false;
}

bool Connection::ReadExact(void* out, size_t n) {
  u8* dst = static_cast<u8*>(out);
  while (n > 0) {
    if (inStart_ < inEnd_) {
      const size_t take = std::min(n, inEnd_ - inStart_);
      std::memcpy(dst, inBuffer_.data() + inStart_, take);
      inStart_ += take;
      dst += take;
      n -= take;
      continue;
    }
    if (!WaitReadable()) return false;
    // Large reads go straight to their destination; small ones refill the buffer.
    const bool direct = n >= inBuffer_.size();
    const ssize_t got =
        recv(fd_, direct ? dst : inBuffer_.data(),
             direct ? std::min(n, size_t(pp::kMaxMessageLength)) : inBuffer_.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    if (direct) {
      dst += got;
      n -= size_t(got);
    } else {
      inStart_ = 0;
      inEnd_ = size_t(got);
    }
  }
  return true;
}

bool Connection::ReadU32(u32& out) {
  u8 b[4];
  if (!ReadExact(b, 4)) return false;
  out = u32(b[0]) | (u32(b[1]) << 8) | (u32(b[2]) << 16) | (u32(b[3]) << 24);
  return true;
}

bool Connection::ReadPayload(u32 length, std::vector<u8>& out) {
  out.clear();
  while (out.size() < length) {
    const size_t have = out.size();
    const size_t step = std::min(size_t(length) - have, kPayloadStep);
    out.resize(have + step);
    if (!ReadExact(out.data() + have, step)) return false;
  }
  return true;
}

bool Connection::SendAll(const u8* header, size_t headerSize, const u8* body, size_t bodySize) {
  iovec parts[2] = {{const_cast<u8*>(header), headerSize}, {const_cast<u8*>(body), bodySize}};
  int first = 0;
  const int count = bodySize != 0 ? 2 : 1;
  while (first < count) {
    msghdr message{};
    message.msg_iov = parts + first;
    message.msg_iovlen = size_t(count - first);
    ssize_t sent = sendmsg(fd_, &message, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) return false;
    while (first < count && size_t(sent) >= parts[first].iov_len) {
      sent -= ssize_t(parts[first].iov_len);
      ++first;
    }
    if (first < count) {
      parts[first].iov_base = static_cast<u8*>(parts[first].iov_base) + sent;
      parts[first].iov_len -= size_t(sent);
    }
  }
  return true;
}

bool Connection::SendMessage(u32 tag, u32 word, const u8* body, size_t size) {
  u8 header[12];
  StoreU32(header, tag);
  StoreU32(header + 4, word);
  StoreU32(header + 8, u32(size));
  return SendAll(header, sizeof header, body, size);
}

bool Connection::Handshake() {
  u32 words[5];
  for (u32& w : words) {
    if (!ReadU32(w)) return false;
  }
  if (words[0] != pp::kTagClient) {
    DaemonLog().Printf(Qel::Log::kMessage, "PymDaemon> connection without handshake refused");
    return false;
  }
  if (words[4] > kMaxHandshakePath) {
    DaemonLog().Printf(Qel::Log::kMessage, "PymDaemon> handshake path of %u bytes refused",
                       words[4]);
    return false;
  }
  std::vector<u8> path;
  if (!ReadPayload(words[4], path)) return false;
  if (!policy_.databaseFolder.empty() &&
      pp::ResolvedDatabaseFolder(std::string(path.begin(), path.end())) != policy_.databaseFolder) {
    // Another installation's tool must find its own daemon, not be served this store.
    DaemonLog().Printf(Qel::Log::kMessage, "PymDaemon> handshake for another folder refused");
    return false;
  }
  shookHands_ = true;
  if (words[1] != pp::kProtocolVersion) {
    DaemonLog().Printf(Qel::Log::kMessage, "PymDaemon> client speaks protocol %u", words[1]);
  }
  u8 answer[12];
  StoreU32(answer, pp::kTagDaemon);
  StoreU32(answer + 4, pp::kProtocolVersion);
  StoreU32(answer + 8, pp::kBuildNumber);
  std::lock_guard<std::mutex> lock(writeMutex_);
  return SendAll(answer, sizeof answer, nullptr, 0);
}

void Connection::Serve() {
  std::vector<u8> payload;
  for (;;) {
    u32 opcode;
    if (!ReadU32(opcode)) return;
    if (opcode == pp::kGoodbyeWord) return;
    u32 id;
    u32 length;
    if (!ReadU32(id) || !ReadU32(length)) return;
    if (length > pp::kMaxMessageLength) {
      DaemonLog().Printf(
          Qel::Log::kMessage,
          "PymDaemon> request 0x%x of %u bytes is over the limit; connection dropped", opcode,
          length);
      return;
    }
    if (!ReadPayload(length, payload)) return;

    Response response;
    busySince_.store(std::chrono::steady_clock::now().time_since_epoch().count());
    try {
      handlers_.Handle(opcode, payload.data(), payload.size(), response);
    } catch (const std::exception& e) {
      // Out of memory in a handler: the request still gets its (empty) reply.
      DaemonLog().Printf(Qel::Log::kError, "PymDaemon> request 0x%x failed: %s", opcode, e.what());
      response.body.Clean();
      response.closeDaemon = false;
    }
    busySince_.store(0);
    // A post (id 0) has no reply and nothing to report to.
    if (id != pp::kPostTransactionId) {
      std::lock_guard<std::mutex> lock(writeMutex_);
      if (response.results.CountEntries() != 0) {
        Qel::DynamicBuffer notice;
        TBuffer out(&notice, false);
        out.WriteU32(id);
        response.results.Write(out);
        if (!SendMessage(pp::kTagNotify, pp::kNoteResults, notice.GetData(),
                         notice.GetDataSize())) {
          return;
        }
      }
      if (!SendMessage(pp::kTagReply, id, response.body.GetData(), response.body.GetDataSize())) {
        return;
      }
    }
    if (response.closeDaemon) listener_.onCloseRequested();
    // One large request must not pin its memory for the rest of the connection.
    if (payload.capacity() > kPayloadStep) std::vector<u8>().swap(payload);
  }
}

}  // namespace PymDaemonSrv
