#include "daemon/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "core/buffer_stream.h"
#include "daemon/daemon_limits.h"
#include "daemon/request_handlers.h"
#include "platform/byte_order.h"
#include "platform/invariant.h"
#include "platform/socket_io.h"
#include "pymclient/pym_protocol.h"
#include "qel/log.h"

namespace PymDaemonSrv {

namespace {

namespace pp = PymProtocol;

Qel::Log& DaemonLog() { return Qel::Log::Get("PymDaemon"); }

// Package requests of one connection that may run side by side: a client that asks for several
// assets at once keeps the packing pool busy with all of them. Over all connections at most twice
// as many run beside their readers; past either bound a request runs on its reader, as any other.
u32 SideRequestsPerConnection() {
  static const u32 count = std::clamp(2 * std::thread::hardware_concurrency(), 4u, 16u);
  return count;
}
std::atomic<u32> g_sideRequests{0};

void AppendFrameHeader(std::vector<u8>& out, u32 tag, u32 word, size_t size) {
  u8 header[pp::kFrameHeaderSize];
  ByteOrder::StoreLE32(header, tag);
  ByteOrder::StoreLE32(header + 4, word);
  ByteOrder::StoreLE32(header + 8, u32(size));
  out.insert(out.end(), header, header + sizeof header);
}

// Whether the handshake's database path lies in the daemon's (resolved) folder. The tool names it
// by the same resolved text as a rule, and that needs no look at the disk: a disk that fails a
// call now and then must not turn away the very tool the daemon was started for. Another path to
// the same folder (a bind mount, which no resolving undoes) is the same device and inode.
bool NamesDatabaseFolder(const std::vector<u8>& path, const std::string& folder) {
  const std::string text(path.begin(), path.end());
  const std::string named = pp::DatabaseFolder(text);
  if (named.empty()) return false;
  if (named == folder || pp::ResolvedDatabaseFolder(text) == folder) return true;
  struct stat theirs {};
  struct stat ours {};
  return stat(named.c_str(), &theirs) == 0 && S_ISDIR(theirs.st_mode) &&
         stat(folder.c_str(), &ours) == 0 && theirs.st_dev == ours.st_dev &&
         theirs.st_ino == ours.st_ino;
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
      inBuffer_(kReadBufferSize) {
  static std::atomic<u64> nextId{1};
  id_ = nextId.fetch_add(1);
  notes_ = std::make_shared<NoteChannel>(
      NoteChannel::TimedSender([this](u32 kind, const u8* body, size_t size,
                                      std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<DeadlineMutex> lock(writeMutex_, std::defer_lock);
        if (deadline == std::chrono::steady_clock::time_point::max()) {
          lock.lock();
        } else if (!lock.try_lock_until(deadline)) {
          return false;
        }
        return SendMessage(pp::kTagNotify, kind, body, size, deadline);
      }));
}

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
  // The socket is shut: a request still sending gives up at once.
  WaitForSideRequests();
  notes_->Close();
  // What the peer left open goes with it.
  handlers_.ReleaseConnection(id_);
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
  std::unique_lock<DeadlineMutex> lock(writeMutex_, std::try_to_lock);
  if (!lock.owns_lock()) return;
  pollfd p{fd_, POLLOUT, 0};
  if (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) return;
  u8 note[16];
  ByteOrder::StoreLE32(note, pp::kTagNotify);
  ByteOrder::StoreLE32(note + 4, pp::kNoteMessage);
  ByteOrder::StoreLE32(note + 8, 4);
  ByteOrder::StoreLE32(note + 12, 0);
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
    // A dead peer on loopback is seen as a close; a silent one that holds an install is a tool
    // writing files, or stopped, and its install still runs.
    if (shookHands_ && handlers_.HoldsInstall(id_)) continue;
    break;
  }
  DaemonLog().Printf(Qel::Log::kMessage, shookHands_
                                             ? "PymDaemon> silent connection closed"
                                             : "PymDaemon> connection without handshake closed");
  return false;
}

bool Connection::ReadExact(void* out, size_t n) {
  KESTRO_ASSERT(inStart_ <= inEnd_ && inEnd_ <= inBuffer_.size());
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
    if (n >= inBuffer_.size()) return Platform::ReceiveAll(fd_, dst, n);
    const ssize_t got = Platform::ReceiveSome(fd_, inBuffer_.data(), inBuffer_.size());
    if (got <= 0) return false;
    inStart_ = 0;
    inEnd_ = size_t(got);
  }
  return true;
}

bool Connection::ReadU32(u32& out) {
  u8 b[4];
  if (!ReadExact(b, 4)) return false;
  out = ByteOrder::LoadLE32(b);
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

bool Connection::SendMessage(u32 tag, u32 word, const u8* body, size_t size,
                             std::chrono::steady_clock::time_point deadline,
                             std::vector<u8>* lead) {
  std::vector<u8> header;
  std::vector<u8>& head = lead != nullptr ? *lead : header;
  AppendFrameHeader(head, tag, word, size);
  const Platform::SendResult result =
      Platform::SendAllBy(fd_, head.data(), head.size(), body, size, deadline, nullptr);
  // A peer that does not read in time is given up: half a message would leave the stream out
  // of step, and a whole one may still be stuck behind it.
  if (result == Platform::SendResult::kTimedOut) Shutdown();
  return result == Platform::SendResult::kSent;
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
  if (!policy_.databaseFolder.empty() && !NamesDatabaseFolder(path, policy_.databaseFolder)) {
    // Another installation's tool must find its own daemon, not be served this store.
    DaemonLog().Printf(Qel::Log::kMessage, "PymDaemon> handshake for another folder refused");
    return false;
  }
  shookHands_ = true;
  if (words[1] != pp::kProtocolVersion) {
    DaemonLog().Printf(Qel::Log::kMessage, "PymDaemon> client speaks protocol %u", words[1]);
  }
  u8 answer[4 + 4 * pp::kHandshakeWordCount];
  ByteOrder::StoreLE32(answer, pp::kTagDaemon);
  ByteOrder::StoreLE32(answer + 4, pp::kProtocolVersion);
  ByteOrder::StoreLE32(answer + 8, pp::kBuildNumber);
  std::lock_guard<DeadlineMutex> lock(writeMutex_);
  return Platform::SendAll(fd_, answer, sizeof answer);
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

    if (opcode == pp::kOpSaveAssetToCdp && id != pp::kPostTransactionId &&
        AnswerBeside(opcode, id, payload)) {
      continue;
    }
    if (!Answer(opcode, id, payload)) return;
    // One large request must not pin its memory for the rest of the connection.
    if (payload.capacity() > kPayloadStep) std::vector<u8>().swap(payload);
  }
}

void Connection::MarkBusy(bool begin) {
  std::lock_guard<std::mutex> lock(busyMutex_);
  if (begin && busy_++ == 0) {
    busySince_.store(std::chrono::steady_clock::now().time_since_epoch().count());
  } else if (!begin && --busy_ == 0) {
    busySince_.store(0);
  }
}

bool Connection::Answer(u32 opcode, u32 id, const std::vector<u8>& payload) {
  Response response;
  response.requestId = id;
  response.connectionId = id_;
  response.notes = notes_;
  MarkBusy(true);
  try {
    handlers_.Handle(opcode, payload.data(), payload.size(), response);
  } catch (const std::exception& e) {
    // Out of memory in a handler: the request still gets its (empty) reply.
    DaemonLog().Printf(Qel::Log::kError, "PymDaemon> request 0x%x failed: %s", opcode, e.what());
    response.body.Clean();
    response.closeDaemon = false;
  }
  MarkBusy(false);
  // A post (id 0) has no reply and nothing to report to.
  if (id != pp::kPostTransactionId) {
    std::lock_guard<DeadlineMutex> lock(writeMutex_);
    // The results go ahead of the reply in the same send, so that the client's reader wakes
    // once for both.
    std::vector<u8> lead;
    if (response.results.CountEntries() != 0) {
      Qel::DynamicBuffer notice;
      TBuffer out(&notice, false);
      out.WriteU32(response.resultsId != 0 ? response.resultsId : id);
      response.results.Write(out);
      AppendFrameHeader(lead, pp::kTagNotify, pp::kNoteResults, notice.GetDataSize());
      lead.insert(lead.end(), notice.GetData(), notice.GetData() + notice.GetDataSize());
    }
    if (!SendMessage(pp::kTagReply, id, response.body.GetData(), response.body.GetDataSize(),
                     std::chrono::steady_clock::time_point::max(),
                     lead.empty() ? nullptr : &lead)) {
      return false;
    }
  }
  if (response.closeDaemon) listener_.onCloseRequested();
  return true;
}

bool Connection::AnswerBeside(u32 opcode, u32 id, std::vector<u8>& payload) {
  {
    std::lock_guard<std::mutex> lock(busyMutex_);
    if (beside_ >= SideRequestsPerConnection()) return false;
    if (g_sideRequests.fetch_add(1) >= 2 * SideRequestsPerConnection()) {
      g_sideRequests.fetch_sub(1);
      return false;
    }
    ++beside_;
  }
  const auto finished = [this] {
    g_sideRequests.fetch_sub(1);
    std::lock_guard<std::mutex> lock(busyMutex_);
    --beside_;
    // The last touch of this connection: its end waits for the count, under the same lock.
    sideDone_.notify_all();
  };
  try {
    std::thread([this, opcode, id, request = std::move(payload), finished]() mutable {
      // A reply that cannot go out ends the connection; the reader wakes and stops.
      if (!Answer(opcode, id, request)) Shutdown();
      std::vector<u8>().swap(request);
      finished();
    }).detach();
  } catch (const std::system_error&) {
    finished();
    return false;
  }
  return true;
}

void Connection::WaitForSideRequests() {
  std::unique_lock<std::mutex> lock(busyMutex_);
  sideDone_.wait(lock, [this] { return beside_ == 0; });
}

}  // namespace PymDaemonSrv
