#include "pymclient/pym_connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "assetdata/results_log.h"
#include "core/core_statics.h"
#include "core/log_printf.h"
#include "core/net_transport.h"
#include "core/tcx_dispatcher.h"
#include "platform/byte_order.h"
#include "platform/invariant.h"
#include "platform/process.h"
#include "platform/serving_note.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_discovery.h"

namespace {

using namespace PymProtocol;  // NOLINT(build/namespaces): the protocol's constants

// Flags of a notification handed to the main thread: run there, do not wait.
constexpr u32 kNotificationCallFlags = TCXDispatcher::kMainThreadOnly | TCXDispatcher::kAsync;

// Settings of the process rather than of one connection: they outlive reconnections and may be
// set while the client is closed. Constant-initialised, so nothing runs at exit.
std::atomic<PymCommandHostCallback> g_commandHost{nullptr};
std::atomic<PymUrlCompletionHook> g_urlHook{nullptr};
std::atomic<u32> g_silenceLimitMs{kDefaultSilenceLimitMs};
std::atomic<u32> g_replyLimit{kMaxMessageLength};
std::atomic<u64> g_freeMemoryOverride{0};
std::atomic<void (*)()> g_notePause{nullptr};
thread_local std::string t_replyRefusal;
// The connection the calling thread's last transaction went on.
thread_local u64 t_lastConnection = 0;
// The connection an install of this process holds its assets on (PymPinInstallConnection), 0
// while none does.
std::atomic<u64> g_pinnedConnection{0};
// Requests whose connection ended after they were sent: the daemon went away before answering.
std::atomic<u32> g_lostRequests{0};
// Requests never sent because no daemon could be reached.
std::atomic<u32> g_unreachedRequests{0};

// What the system could still give this process: MemAvailable, or the free pages without it.
u64 FreeMemory() {
  const u64 override = g_freeMemoryOverride.load();
  if (override != 0) return override;
  std::FILE* info = std::fopen("/proc/meminfo", "r");
  if (info != nullptr) {
    char line[128];
    unsigned long long kib = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, info) != nullptr) {
      found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
    }
    std::fclose(info);
    if (found) return u64(kib) * 1024;
  }
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long size = sysconf(_SC_PAGESIZE);
  return pages > 0 && size > 0 ? u64(pages) * u64(size) : 0;
}

// A package is as large as its asset: its reply may take half the memory free, the rest stays
// for the package's parsing and writing.
u64 ReplyLimit(u32 opcode) {
  const u64 general = g_replyLimit.load();
  if (opcode != kOpSaveAssetToCdp) return general;
  return std::max(general, FreeMemory() / 2);
}

// The published connection. A plain mutex: it is taken for a pointer copy only.
std::mutex g_currentLock;
std::shared_ptr<PymConnection> g_current;

bool ReceiveU32(PymMessageSource& source, u32& out) {
  u8 bytes[4];
  if (!source.Receive(bytes, 4)) return false;
  out = ByteOrder::LoadLE32(bytes);
  return true;
}

// A daemon that stays silent this long (it sends keep-alive notes while it works) is taken for
// frozen: the transfer fails and the connection drops instead of waiting for ever.
void ApplySilenceLimit(int fd, u32 ms) {
  const timeval limit{time_t(ms / 1000), suseconds_t((ms % 1000) * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// Reads the socket on the reader thread.
class SocketSource final : public PymMessageSource {
 public:
  explicit SocketSource(PymConnection& connection) : connection_(connection) {}
  bool Receive(void* buffer, u32 n) override { return connection_.Receive(buffer, n); }

 private:
  PymConnection& connection_;
};

// Consumes n bytes that nobody wants.
bool Discard(PymMessageSource& source, u32 n) {
  std::vector<u8> sink(std::min(n, kTransferChunk));
  while (n > 0) {
    const u32 piece = std::min(n, kTransferChunk);
    if (!source.Receive(sink.data(), piece)) return false;
    n -= piece;
  }
  return true;
}

// The length and payload of a notification whose kind has been read.
bool ReadNotificationBody(PymMessageSource& source, PymNotification& out) {
  u32 length = 0;
  if (!ReceiveU32(source, length)) return false;
  if (length > kMaxMessageLength) {
    LogPrintf("PymClient> notification of %u bytes is over the limit; dropping the connection\n",
              length);
    return false;
  }
  // The buffer grows with the bytes that really arrive, not with the length announced.
  std::vector<u8> piece(std::min(length, kTransferChunk));
  for (u32 left = length; left > 0;) {
    const u32 n = std::min(left, kTransferChunk);
    if (!source.Receive(piece.data(), n)) return false;
    if (out.payload.Write(piece.data(), n) != n) return false;
    left -= n;
  }
  out.payload.Seek(0, 0);
  return true;
}

}  // namespace

namespace {

// The main-thread call queued for one notification. It holds the connection weakly: a call that
// runs after the connection has gone finds nothing to do, and one that runs before keeps the
// connection alive until the notification has been applied.
class QueuedNotificationCall final : public TCXCallbackBase {
 public:
  explicit QueuedNotificationCall(std::weak_ptr<PymConnection> connection)
      : connection_(std::move(connection)) {}
  int Invoke(intptr_t) override {
    if (const auto connection = connection_.lock()) connection->DispatchNextQueued();
    return 0;
  }

 private:
  std::weak_ptr<PymConnection> connection_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Transactions

PymClientTransaction::PymClientTransaction(PymConnection& connection, PymTransactionCallback* cb,
                                           ResultsLog* results, bool keep)
    : owner(connection), callback(cb), keepResultsLog(keep ? 1 : 0), log(results) {}

PymClientTransaction::~PymClientTransaction() { Unregister(); }

void PymClientTransaction::Register() {
  {
    Qel::SingleLock guard(owner.registryLock_);
    if (registered) return;
    // An id still in use after a wrap of the counter is skipped.
    do {
      id = owner.nextId_++;
      if (owner.nextId_ == 0) owner.nextId_ = 1;
    } while (owner.transactions_.count(id) != 0);
    KESTRO_ASSERT(id != kPostTransactionId);
    owner.transactions_[id] = this;
    registered = 1;
  }
  // Registered even when null, so that a log kept for an earlier use of the id gets nothing.
  RegisterResultsLog(id, log);
}

void PymClientTransaction::Unregister() {
  for (;;) {
    // A question that is being answered keeps the transaction, and its callback, in place.
    questionsDone.Wait();
    Qel::SingleLock guard(owner.registryLock_);
    if (questions != 0) continue;
    if (registered) {
      if (!keepResultsLog) UnregisterResultsLog(id);
      owner.transactions_.erase(id);
      registered = 0;
      failed = 0;
    }
    return;
  }
}

bool PymClientTransaction::ReceiveReply(PymConnection& connection, u32 id, u32 length,
                                        std::vector<u8>* body) {
  Qel::SingleLock guard(connection.registryLock_);
  const auto found = connection.transactions_.find(id);
  if (found == connection.transactions_.end()) {
    LogPrintf(
        "PymClientTransaction::ReceiveReply> received reply for unknown clientTransactionID=%d",
        int(id));
    return false;
  }
  PymClientTransaction* tx = found->second;
  KESTRO_ASSERT(tx->registered && tx->id == id);
  // Unregistered here, under the lock, so the log's registration goes too (unless kept).
  if (!tx->keepResultsLog) UnregisterResultsLog(id);
  connection.transactions_.erase(found);
  tx->registered = 0;
  tx->failed = 0;
  tx->length = length;
  tx->bodyRead = body != nullptr ? 1 : 0;
  if (body != nullptr) tx->body.swap(*body);
  tx->event.Set();
  return true;
}

void PymConnection::SetNextTransactionIdForTest(u32 id) {
  Qel::SingleLock guard(registryLock_);
  nextId_ = id != 0 ? id : 1;
}

bool PymConnection::TransactionWaited(u64 generation, u32 ms) {
  Qel::SingleLock guard(registryLock_);
  const auto since = std::chrono::steady_clock::now() - std::chrono::milliseconds(ms);
  return std::any_of(transactions_.begin(), transactions_.end(), [&](const auto& entry) {
    return entry.second->connection == generation && entry.second->sent <= since;
  });
}

// Under the registry lock: fails every transaction sent on connection `generation`.
void PymConnection::FailPendingTransactions(u64 generation) {
  Qel::SingleLock guard(registryLock_);
  for (auto& [id, tx] : transactions_) {
    if (tx->connection != generation) continue;
    tx->failed = 1;
    tx->event.Set();
  }
}

// ---------------------------------------------------------------------------------------------
// The object

PymConnection::PymConnection(const PymClientOptions& options, u32 connectPauseMs)
    : options_(options), connectPauseMs_(connectPauseMs) {}

PymConnection::~PymConnection() {
  Disconnect(true);
  // The reader has ended: nothing queues notifications or starts question threads any more.
  JoinQuestionThreads();
  DestroyQueuedNotifications();
  KESTRO_ASSERT(transactions_.empty());
}

std::shared_ptr<PymConnection> PymConnection::GetCurrent() {
  std::lock_guard<std::mutex> guard(g_currentLock);
  return g_current;
}

void PymConnection::SetCurrent(std::shared_ptr<PymConnection> connection) {
  std::shared_ptr<PymConnection> old;
  {
    std::lock_guard<std::mutex> guard(g_currentLock);
    old = std::move(g_current);
    g_current = std::move(connection);
  }
  // A withdrawn connection may go here, outside the lock: its end joins threads.
}

PymClientOptions PymConnection::GetOptions() {
  Qel::SingleLock guard(optionsLock_);
  return options_;
}

void PymConnection::ForbidDaemonStart() {
  startForbidden_.store(true);
  Qel::SingleLock guard(optionsLock_);
  options_.mayStartDaemon = 0;
}

void PymConnection::GetHandshakeWords(u32* first, u32* second) {
  Qel::SingleLock guard(handshakeLock_);
  if (first) *first = handshakeWords_[0];
  if (second) *second = handshakeWords_[1];
}

// ---------------------------------------------------------------------------------------------
// Transfers

// Moves n bytes in pieces; the transport's state and socket are checked before each piece.
// `*done` (when given) counts the bytes moved.
bool PymConnection::Transfer(bool sending, u8* data, u32 n, u32* done) {
  if (n == 0) return true;
  TCPTransport* t = transport_.load();
  while (n > 0) {
    if (!t || t->GetState() != TCPTransport::kConnected || t->GetSocket() < 0) return false;
    const u32 piece = std::min(n, kTransferChunk);
    const int r = sending ? t->Send(data, piece) : t->Recv(data, piece);
    if (sending ? r < 0 : r <= 0) {
      t->MarkFailed();
      return false;
    }
    KESTRO_ASSERT(u32(r) <= piece);
    data += r;
    n -= u32(r);
    if (done) *done += u32(r);
  }
  return true;
}

bool PymConnection::Send(const void* buffer, u32 n) {
  return Transfer(true, static_cast<u8*>(const_cast<void*>(buffer)), n);
}

bool PymConnection::Receive(void* buffer, u32 n) {
  return Transfer(false, static_cast<u8*>(buffer), n);
}

bool PymConnection::SendU32(u32 value) {
  u8 bytes[4];
  ByteOrder::StoreLE32(bytes, value);
  return Send(bytes, 4);
}

bool PymConnection::ReceiveOrDrop(void* buffer, u32 n) {
  if (Receive(buffer, n)) return true;
  Disconnect(true);
  return false;
}

// ---------------------------------------------------------------------------------------------
// Connection

i32 PymConnection::ReaderMain(Qel::Thread& self, u64 generation) {
  SocketSource source(*this);
  bool closeTransport = false;
  bool silent = false;
  for (;;) {
    readerEvent_.Wait();
    if (self.IsEndRequested() || !transport_.load()) break;
    if (!AwaitMessage(self, generation)) {
      silent = true;
      closeTransport = true;
      break;
    }
    if (self.IsEndRequested()) break;
    errno = 0;
    const PymMessageResult result = ReadDaemonMessage(source);
    if (result == PymMessageResult::kFailed || result == PymMessageResult::kUnknownTag) {
      silent = errno == EAGAIN || errno == EWOULDBLOCK;
      closeTransport = true;
      break;
    }
    if (self.IsEndRequested()) break;
  }
  if (closeTransport) {
    if (TCPTransport* t = transport_.load()) t->Close();
  }
  connected_.store(false);
  readerEvent_.Set();
  // Silence is no verdict on an idle connection, whose daemon owes it nothing: only on one whose
  // request went unanswered for the whole limit, through which the daemon sends notes while it
  // works.
  const u32 limitMs = g_silenceLimitMs.load();
  if (silent && limitMs != 0 && TransactionWaited(generation, limitMs)) frozenMs_.store(limitMs);
  FailPendingTransactions(generation);
  return 0;
}

// Silence is a verdict only while a request waits: an idle connection, or one whose install
// writes a package's files for longer than the limit, is owed nothing, and ending it would end
// the install's hold on its assets. A daemon that dies closes the socket, which ends the wait.
bool PymConnection::AwaitMessage(Qel::Thread& self, u64 generation) {
  TCPTransport* t = transport_.load();
  const auto begun = std::chrono::steady_clock::now();
  while (t != nullptr && !self.IsEndRequested()) {
    const u32 limitMs = g_silenceLimitMs.load();
    // Short slices, so that a request sent during the wait is judged close to its own limit.
    const u32 sliceMs = limitMs == 0 ? 1000 : std::clamp(limitMs / 4, 10u, 1000u);
    if (t->WaitReadable(sliceMs)) return true;
    const auto silentFor = std::chrono::steady_clock::now() - begun;
    // A reply that came while this process was stopped is no silence.
    if (limitMs != 0 && silentFor >= std::chrono::milliseconds(limitMs) &&
        TransactionWaited(generation, limitMs)) {
      return t->WaitReadable(0);
    }
  }
  return true;
}

namespace {

// True when the daemon has closed or reset the connection (waiting messages alone leave it open).
bool PeerHasClosed(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return fd < 0 || (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0);
}

// Whether the process that `note` names holds the store's lock now and is alive, with `seen` the
// holder as the system's lock table shows it (0 for one of another pid namespace, which the table
// shows as none). A note that a killed daemon left, whose port another program may have taken
// since, goes with a lock that nobody holds; one left by a holder that is going, or not yet
// replaced by the daemon that took the store after it, names another process than the holder.
bool NotedHolderHolds(const std::string& databasePath, const Platform::ServingNote& note,
                      u32& seen) {
  if (const auto pause = g_notePause.load()) pause();
  bool unseen = false;
  const u32 holder = StoreLockHolder(databasePath.c_str(), note, &unseen);
  seen = unseen ? 0 : holder;
  return holder != 0 && (unseen || (Platform::IsProcessAlive(holder) &&
                                    Platform::OwnNamespaceProcessId(holder) == note.process));
}

// A daemon at its connection limit is asked again after these pauses, doubling from the first.
constexpr u32 kBusyFirstPauseMs = 20;
constexpr u32 kBusyLongestPauseMs = 1000;
// The pause before the one more try at the holder's port after it closed a connection unanswered.
constexpr u32 kHolderRetryPauseMs = 300;

// Reads away what the socket holds now, without waiting; at most 16 MB, so that a daemon that
// keeps sending cannot hold the close.
void DiscardWaiting(int fd) {
  u8 sink[4096];
  for (u32 taken = 0; fd >= 0 && taken < (16u << 20);) {
    const ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    if (n <= 0 && !(n < 0 && errno == EINTR)) return;
    if (n > 0) taken += u32(n);
  }
}

}  // namespace

bool PymConnection::Stands(u64 generation) {
  TCPTransport* t = transport_.load();
  return connected_.load() && generation_.load() == generation && t != nullptr &&
         t->GetState() == TCPTransport::kConnected;
}

bool PymConnection::IsReaderThread() {
  return reader_ && reader_->GetId() == Qel::Thread::CurrentId();
}

bool PymConnection::Connect() {
  Qel::SingleLock guard(lock_);
  if (closed_.load()) return false;
  if (TCPTransport* t = transport_.load()) {
    // Without a reader nobody has seen the daemon end the connection; ask the socket.
    if (connected_.load() && t->GetState() == TCPTransport::kConnected &&
        (readerStarted_.load() || !PeerHasClosed(t->GetSocket()))) {
      return true;
    }
    // The reader has ended or a transfer failed: start afresh rather than fail this try.
    Disconnect(true);
  }
  holderAnswer_.store(HandshakeEnd::kNone);
  // Each later command of a batch would wait the whole limit again for a daemon that stays
  // frozen.
  if (frozenMs_.load() != 0) {
    handshakeEnd_.store(HandshakeEnd::kSilent);
    return false;
  }
  // A daemon at its connection limit serves again once a connection of another command ends:
  // it is waited for as a slow one is, within the silence limit, and never replaced.
  const auto begun = std::chrono::steady_clock::now();
  for (u32 pauseMs = kBusyFirstPauseMs; !ConnectOnce();
       pauseMs = std::min(pauseMs * 2, kBusyLongestPauseMs)) {
    const u32 limitMs = g_silenceLimitMs.load();
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - begun)
                            .count();
    if (handshakeEnd_.load() != HandshakeEnd::kBusy || (limitMs != 0 && waited >= limitMs)) {
      return false;
    }
    Qel::Sleep(limitMs != 0 ? std::min(pauseMs, u32(limitMs - waited)) : pauseMs);
  }
  return true;
}

// One try of Connect, under the connection lock.
bool PymConnection::ConnectOnce() {
  handshakeEnd_.store(HandshakeEnd::kNone);
  const std::string databasePath = GetDatabasePath().CStr();
  u32 port = 0;
  u32 owner = 0;
  if (OpenDiscoveryBlock(databasePath.c_str())) {
    port = GetDatabaseOwnerPort();
    owner = GetDatabaseOwner();
    CloseDiscoveryBlock();
  }
  const bool recorded = port != 0;
  bool ok = recorded && ShakeHands(port, databasePath);
  if (!ok && !HandshakeWasSilent() && handshakeEnd_.load() != HandshakeEnd::kBusy) {
    // Where discovery shows no daemon that answers (another pid namespace cleared it, another
    // folder of named objects or another path to the store holds its record), the daemon that
    // holds the store says where it serves in the store's lock file.
    Platform::ServingNote note;
    u32 seen = 0;
    if (ReadStoreNote(databasePath.c_str(), note, nullptr) == Platform::NoteRead::kFound &&
        NotedHolderHolds(databasePath, note, seen)) {
      if (note.port != port) {
        port = note.port;
        owner = note.process;
        ok = ShakeHands(port, databasePath);
      }
      // What answered at the holder's port keeps the store and does not serve this command: a
      // daemon started now could only wait for the lock, and another try would end the same way.
      // A daemon that stops empties its note before it ends a connection: one that ended this one
      // so is not taken for a refusal. A killed one resets what it had queued a moment before the
      // system lets go of its lock, so a close is tried once more before it is taken so. The daemon
      // this command started may have taken the store meanwhile and serve other commands: it is
      // tried again as any daemon that did not answer, and not ended.
      const auto othersHold = [&] {
        return ReadStoreNote(databasePath.c_str(), note, nullptr) == Platform::NoteRead::kFound &&
               note.port == port && NotedHolderHolds(databasePath, note, seen) &&
               (seen == 0 || seen != GetStartedPymDaemon());
      };
      for (u32 round = 0; !ok &&
                          (handshakeEnd_.load() == HandshakeEnd::kClosed ||
                           handshakeEnd_.load() == HandshakeEnd::kWrongAnswer) &&
                          othersHold();
           ++round) {
        if (round == 1 || handshakeEnd_.load() == HandshakeEnd::kWrongAnswer) {
          holderAnswer_.store(handshakeEnd_.load());
          holderSeen_.store(seen);
          holderNoted_.store(note.process);
          // Nor is a daemon this command started left to wait for that lock, to take the store
          // later from under the tools that the holder serves.
          EndStartedPymDaemon();
          return false;
        }
        Qel::Sleep(kHolderRetryPauseMs);
        ok = ShakeHands(port, databasePath);
      }
    }
  }
  if (!ok) {
    // Once the daemon was asked to close, nothing brings it back; a busy one is there.
    if (!recorded && !GetPymDaemonStarted() && !startForbidden_.load() &&
        handshakeEnd_.load() != HandshakeEnd::kBusy) {
      StartPymDaemon();
    }
    return false;
  }
  // A daemon started for this connection gives way to the one that answered: the command waits
  // for it to go, so that it leaves no daemon behind that a close right after it would meet.
  if (GetPymDaemonStarted()) AwaitStartedPymDaemonGivingWay(owner, kGiveWayWaitMs);
  SetPymDaemonStarted(false);
  connected_.store(true);
  readerEvent_.Set();
  KESTRO_ASSERT(!reader_);
  readerGeneration_ = generation_.load();
  return true;
}

// Connects to `port` and shakes hands; on failure the transport is dropped again. Runs under the
// connection lock.
bool PymConnection::ShakeHands(u32 port, const std::string& databasePath) {
  handshakeEnd_.store(HandshakeEnd::kNone);
  if (port == 0 || port > 0xFFFF) return false;
  port_.store(port);
  auto* transport = new TCPTransport(kDaemonHost, u16(port));
  if (transport->GetSocket() >= 0) {
    // Frames go out in two writes; without this the second waits for the first's ACK.
    int one = 1;
    setsockopt(transport->GetSocket(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ApplySilenceLimit(transport->GetSocket(), g_silenceLimitMs.load());
  }
  transport_.store(transport);
  generation_.fetch_add(1);

  // The greeting goes out in one write: every command starts with it, and each write of its own
  // costs a system call and a wake-up of the daemon.
  const std::vector<u8> hello = HandshakeHello(databasePath, GetOptions().isClient);
  const bool reached = transport->GetState() == TCPTransport::kConnected;
  // errno is read below only as left by this handshake's own calls.
  errno = 0;
  bool ok = Send(hello.data(), u32(hello.size()));
  u8 answer[kHandshakeAnswerSize];
  u8 tags[2][4];
  ByteOrder::StoreLE32(tags[0], kTagDaemon);
  ByteOrder::StoreLE32(tags[1], kTagBusy);
  const auto tagOf = [&](u32 got) {
    return std::memcmp(answer, tags[0], got) == 0   ? 0
           : std::memcmp(answer, tags[1], got) == 0 ? 1
                                                    : -1;
  };
  // The tag is judged piece by piece as it comes: a program that sends a few other bytes and
  // then waits is not waited out as a silent daemon.
  u32 got = 0;
  while (ok && got < 4 && tagOf(got) >= 0) {
    const int r = transport->Recv(answer + got, 4 - got);
    if (r > 0) {
      got += u32(r);
    } else {
      ok = false;
    }
  }
  const bool wrong = tagOf(got) < 0;
  const bool busy = ok && tagOf(got) == 1;
  ok = ok && !wrong && !busy && Receive(answer + 4, 4 * kHandshakeWordCount);
  if (!ok) {
    // An end of the stream and a reset before any answer are one: a peer that read the greeting
    // and closed, with the greeting read or not.
    const int cause = errno;
    handshakeEnd_.store(wrong                                     ? HandshakeEnd::kWrongAnswer
                        : busy                                    ? HandshakeEnd::kBusy
                        : !reached                                ? HandshakeEnd::kNone
                        : cause == EAGAIN || cause == EWOULDBLOCK ? HandshakeEnd::kSilent
                        : cause == 0 || cause == ECONNRESET || cause == EPIPE
                            ? HandshakeEnd::kClosed
                            : HandshakeEnd::kNone);
    if (HandshakeWasSilent()) frozenMs_.store(g_silenceLimitMs.load());
    Disconnect(true);
    return false;
  }
  Qel::SingleLock words(handshakeLock_);
  handshakeWords_[0] = ByteOrder::LoadLE32(answer + 4);
  handshakeWords_[1] = ByteOrder::LoadLE32(answer + 8);
  return true;
}

void PymConnection::TakeSilenceLimit() {
  Qel::SingleLock guard(lock_);
  // The daemon is judged afresh under the new limit.
  frozenMs_.store(0);
  if (TCPTransport* t = transport_.load(); t && t->GetSocket() >= 0) {
    ApplySilenceLimit(t->GetSocket(), g_silenceLimitMs.load());
  }
}

// The reader starts with the first frame sent on a connection, or when someone asks whether the
// connection still stands: a command that asks the daemon nothing (version, help texts) then
// starts and joins no thread. Runs under the connection lock.
bool PymConnection::StartReader() {
  KESTRO_ASSERT(lock_.IsLockedByCurrentThread());
  if (reader_) return true;
  const u64 generation = readerGeneration_;
  reader_ = std::make_unique<Qel::Thread>(
      [this, generation](Qel::Thread& self) { return ReaderMain(self, generation); });
  if (!reader_->Start()) {
    reader_.reset();
    Disconnect(true);
    return false;
  }
  readerStarted_.store(true);
  return true;
}

bool PymConnection::IsConnected() {
  if (connected_.load() && !readerStarted_.load()) {
    Qel::SingleLock guard(lock_);
    if (connected_.load() && transport_.load()) StartReader();
  }
  return connected_.load();
}

void PymConnection::Disconnect(bool lost) {
  Qel::SingleLock guard(lock_);
  if (IsReaderThread()) return;
  TCPTransport* t = transport_.load();
  if (t) {
    if (!lost) SendU32(kGoodbyeWord);
    // Messages that no reader took are read away first: closing over unread bytes would reset
    // the connection instead of ending it, and the daemon might lose the goodbye.
    if (!readerStarted_.load()) DiscardWaiting(t->GetSocket());
    t->Close();
  }
  if (reader_) {
    reader_->RequestEnd();
    readerEvent_.Set();
    reader_->Join();
    reader_.reset();
  }
  readerStarted_.store(false);
  connected_.store(false);
  transport_.store(nullptr);
  delete t;
}

void PymConnection::Close() {
  Qel::SingleLock guard(lock_);
  closed_.store(true);
  Disconnect(false);
}

// Sends one request frame with up to kConnectTries connection tries. Runs under the connection
// lock; `tx` is null for a post. The frame is copied once into a block of its exact size and goes
// out in pieces: a failure before the opcode and id are out is tried again on a new connection, a
// failure after that drops the connection and fails the request.
bool PymConnection::SendFrame(u32 opcode, TStream& request, PymClientTransaction* tx) {
  KESTRO_ASSERT(lock_.IsLockedByCurrentThread());
  KESTRO_ASSERT(tx == nullptr || tx->registered);
  const u32 position = request.Tell();
  const u32 length = request.GetLength();
  const u32 n = length > position ? length - position : 0;
  if (n > kMaxMessageLength) {
    LogPrintf("PymClient> request payload of %u bytes is over the limit\n", n);
    return false;
  }
  std::unique_ptr<u8[]> frame(new u8[size_t(n) + kFrameHeaderSize]);
  ByteOrder::StoreLE32(frame.get(), opcode);
  ByteOrder::StoreLE32(frame.get() + 4, tx ? tx->id : kPostTransactionId);
  ByteOrder::StoreLE32(frame.get() + 8, n);
  if (n > 0 && request.Read(frame.get() + kFrameHeaderSize, n) != n) return false;

  const auto unreached = [] {
    g_unreachedRequests.fetch_add(1);
    return false;
  };
  // Nothing of an install goes on another connection, nor to another daemon: the command says
  // why it stops (PymPinnedConnectionEnded).
  if (const u64 pinned = g_pinnedConnection.load(); pinned != 0 && !Stands(pinned)) return false;
  PymConnectTries tries;
  for (u32 attempt = 0; tries.Continue(attempt); ++attempt) {
    if (attempt == 1) {
      if (!GetOptions().mayStartDaemon) return unreached();
      // One start until a connection succeeds: a daemon needs time to publish itself.
      if (!GetPymDaemonStarted()) StartPymDaemon();
      Qel::Sleep(connectPauseMs_);
    } else if (attempt > 1) {
      Qel::Sleep(connectPauseMs_);
    }
    if (!Connect()) {
      if (GaveUp()) return unreached();
      continue;
    }
    if (!StartReader()) continue;
    if (tx) {
      // From here on the end of this connection fails the transaction.
      Qel::SingleLock guard(registryLock_);
      tx->failed = 0;
      tx->event.Reset();
      tx->connection = generation_.load();
      tx->sent = std::chrono::steady_clock::now();
    }
    u32 sent = 0;
    if (Transfer(true, frame.get(), n + kFrameHeaderSize, &sent)) return true;
    Disconnect(true);
    if (sent >= 8) {
      g_lostRequests.fetch_add(1);
      return false;
    }
  }
  return unreached();
}

bool PymConnection::Transact(u32 opcode, TStream& request, TStream& reply,
                             PymTransactionCallback* callback, ResultsLog* log,
                             bool keepResultsLog) {
  t_replyRefusal.clear();
  PymClientTransaction tx(*this, callback, log, keepResultsLog);
  tx.Register();
  Qel::SingleLock lock(lock_);
  if (!SendFrame(opcode, request, &tx)) return false;
  const u64 generation = tx.connection;
  t_lastConnection = generation;
  lock.Unlock();

  tx.event.Wait();
  if (tx.failed) {
    g_lostRequests.fetch_add(1);
    return false;
  }
  const u32 length = tx.length;
  const u64 limit = ReplyLimit(opcode);
  const auto refuse = [&] {
    LogPrintf("PymTransact> reply of %u bytes is over the limit; dropping the connection\n",
              length);
    t_replyRefusal = "the answer of " + std::to_string(length) + " bytes is more than the " +
                     std::to_string(limit) + " bytes that this process can take";
    Disconnect(true);
    return false;
  };
  // A short body came with the reply: the reader never waited for this thread.
  if (tx.bodyRead) {
    if (length > limit) return refuse();
    return length == 0 || reply.Write(tx.body.data(), length) == length;
  }

  lock.Lock();
  // The reply was handed over on a connection that has since been dropped: its bytes are gone.
  if (generation_.load() != generation || !transport_.load()) {
    g_lostRequests.fetch_add(1);
    return false;
  }
  // The reader waits for this body to be read: it cleared its event before the hand-over.
  KESTRO_ASSERT(!tx.registered);
  if (length > limit) return refuse();
  bool stored = true;
  std::unique_ptr<u8[]> piece(new u8[std::min(length, kTransferChunk)]);
  for (u32 left = length; left > 0;) {
    const u32 n = std::min(left, kTransferChunk);
    if (!ReceiveOrDrop(piece.get(), n)) {
      g_lostRequests.fetch_add(1);
      return false;
    }
    // A reply that cannot be stored is still read to its end, so the stream stays in step.
    if (stored && reply.Write(piece.get(), n) != n) stored = false;
    left -= n;
  }
  lock.Unlock();
  readerEvent_.Set();
  return stored;
}

bool PymConnection::Post(u32 opcode, TStream& request) {
  Qel::SingleLock lock(lock_);
  return SendFrame(opcode, request, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Reading daemon messages

bool PymReadNotification(PymMessageSource& source, PymNotification& out) {
  return ReceiveU32(source, out.kind) && ReadNotificationBody(source, out);
}

PymMessageResult PymConnection::ReadDaemonMessage(PymMessageSource& source) {
  // The tag and the word after it come in one read: both messages have at least two more words
  // (kind and length, id and length), and a tag that is neither ends the connection anyway.
  u8 head[8];
  if (!source.Receive(head, sizeof(head))) return PymMessageResult::kFailed;
  const u32 tag = ByteOrder::LoadLE32(head);
  if (tag == kTagNotify) {
    auto n = std::make_unique<PymNotification>();
    n->kind = ByteOrder::LoadLE32(head + 4);
    if (!ReadNotificationBody(source, *n)) return PymMessageResult::kFailed;
    QueueNotification(std::move(n));
    return PymMessageResult::kHandled;
  }
  if (tag != kTagReply) return PymMessageResult::kUnknownTag;
  const u32 id = ByteOrder::LoadLE32(head + 4);
  u32 length = 0;
  if (!ReceiveU32(source, length)) return PymMessageResult::kFailed;
  // A short body is read here and goes with the reply, which spares the requester and this
  // thread a hand-over each way; a long one is read by the requester, straight into its reply.
  if (length <= kTransferChunk) {
    std::vector<u8> body(length);
    if (length != 0 && !source.Receive(body.data(), length)) return PymMessageResult::kFailed;
    PymClientTransaction::ReceiveReply(*this, id, length, &body);
    return PymMessageResult::kHandled;
  }
  readerEvent_.Reset();
  if (PymClientTransaction::ReceiveReply(*this, id, length, nullptr)) {
    return PymMessageResult::kHandedOver;
  }
  readerEvent_.Set();
  // Nobody waits for this body: consume it so that the next tag is read in step.
  if (length > kMaxMessageLength) {
    LogPrintf("PymClient> reply of %u bytes is over the limit; dropping the connection\n", length);
    return PymMessageResult::kFailed;
  }
  return Discard(source, length) ? PymMessageResult::kHandled : PymMessageResult::kFailed;
}

// ---------------------------------------------------------------------------------------------
// Notifications

void PymConnection::QueueNotification(std::unique_ptr<PymNotification> notification) {
  if (!notification) return;
  if (notification->kind == kNoteResults || notification->kind == kNoteUrlDone) {
    // Applied here, in arrival order, before any later reply is handed over.
    DispatchNotification(*notification);
    return;
  }
  {
    Qel::SingleLock guard(queueLock_);
    queue_.push_back(std::move(notification));
  }
  std::weak_ptr<PymConnection> self = weak_from_this();
  if (self.expired()) return;
  const TCXCallback call(new QueuedNotificationCall(std::move(self)));
  GetDispatcher().Dispatch(0, kNotificationCallFlags, call);
}

bool PymConnection::DispatchNextQueued() {
  std::unique_ptr<PymNotification> n;
  {
    Qel::SingleLock guard(queueLock_);
    if (queue_.empty()) return false;
    n = std::move(queue_.front());
    queue_.pop_front();
  }
  DispatchNotification(*n);
  return true;
}

void PymConnection::DestroyQueuedNotifications() {
  std::deque<std::unique_ptr<PymNotification>> doomed;
  Qel::SingleLock guard(queueLock_);
  doomed.swap(queue_);
}

// Results are parsed once, outside every lock; only the append happens under the registry lock,
// which keeps a log that its owner deletes meanwhile from being written.
void PymConnection::AppendResults(u32 requestId, TStream& payload) {
  std::vector<ResultsLogEntry> entries = ResultsLog::ReadEntries(payload);
  Qel::SingleLock guard(GetResultsLogRegistryLock());
  if (ResultsLog* target = FindResultsLog(requestId)) target->AppendEntries(std::move(entries));
}

void PymConnection::AnswerQuestion(const Question& q) {
  PymClientTransaction* tx = nullptr;
  {
    Qel::SingleLock guard(registryLock_);
    const auto found = transactions_.find(q.transactionId);
    if (found != transactions_.end()) {
      tx = found->second;
      // The owner does not leave Transact while a question uses its callback.
      if (tx->questions++ == 0) tx->questionsDone.Reset();
    }
  }
  u32 answer = kAnswerUnknownTransaction;
  if (tx) {
    answer = tx->callback ? tx->callback->Ask(q.text, Qel::String(), q.kuid, nullptr)
                          : kAnswerNoCallback;
  }
  TBuffer request(new Qel::DynamicBuffer(8), true);
  request.WriteU32(q.transactionId);
  request.WriteU32(answer);
  request.Seek(0, 0);
  Post(kOpAnswer, request);
  if (tx) {
    Qel::SingleLock guard(registryLock_);
    KESTRO_ASSERT(tx->questions > 0);
    if (--tx->questions == 0) tx->questionsDone.Set();
  }
}

void PymConnection::StartQuestionThread(Question q) {
  Qel::SingleLock guard(questionsLock_);
  std::erase_if(questionThreads_,
                [](const std::unique_ptr<Qel::Thread>& t) { return !t->IsRunning(); });
  auto thread = std::make_unique<Qel::Thread>([this, q = std::move(q)](Qel::Thread&) {
    AnswerQuestion(q);
    return 0;
  });
  if (thread->Start()) questionThreads_.push_back(std::move(thread));
}

void PymConnection::JoinQuestionThreads() {
  std::vector<std::unique_ptr<Qel::Thread>> threads;
  {
    Qel::SingleLock guard(questionsLock_);
    threads.swap(questionThreads_);
  }
  for (auto& t : threads) t->Join();
}

void PymConnection::DispatchNotification(PymNotification& n) {
  TStream& payload = n.payload;
  switch (n.kind) {
    case kNoteMessage: {
      u32 value = 0;
      payload.ReadU32(value);
      if (auto callback = GetOptions().messageCallback) callback(value);
      break;
    }
    case kNoteCommandHost: {
      const PymCommandHostCallback callback = g_commandHost.load();
      if (!callback) break;
      const u64 connection = GetConnectionNumber();
      TBuffer reply(new Qel::DynamicBuffer(512), true);
      callback(payload, reply);
      reply.Seek(0, 0);
      // The daemon waits for the reply on the connection that brought the command; posted on a
      // new one, it would answer nothing and make this process a client the daemon never asked.
      if (connection == 0 || GetConnectionNumber() != connection) {
        LogPrintf(
            "PymClient> the connection ended while a command-host command ran; its reply "
            "is dropped\n");
        break;
      }
      Post(kOpCommandHostReply, reply);
      break;
    }
    case kNoteQuestion: {
      Question q;
      payload.ReadU32(q.transactionId);
      payload.ReadString(q.text);
      q.kuid = KUID::Read(payload);
      StartQuestionThread(std::move(q));
      break;
    }
    case kNoteResults: {
      u32 requestId = 0;
      if (!payload.ReadU32(requestId)) break;
      AppendResults(requestId, payload);
      break;
    }
    case kNoteUrlDone: {
      const PymUrlCompletionHook hook = g_urlHook.load();
      u64 requestId = 0;
      if (!hook || !payload.ReadU64(requestId)) break;
      hook(requestId, payload);
      break;
    }
    default:
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// The request functions over the current connection

bool PymConnect() {
  const auto c = PymConnection::GetCurrent();
  return c && c->Connect();
}

void PymDisconnect(bool lost) {
  if (const auto c = PymConnection::GetCurrent()) c->Disconnect(lost);
}

bool PymTransact(u32 opcode, TStream& request, TStream& reply, PymTransactionCallback* callback,
                 ResultsLog* log, bool keepResultsLog) {
  const auto c = PymConnection::GetCurrent();
  return c && c->Transact(opcode, request, reply, callback, log, keepResultsLog);
}

bool PymPost(u32 opcode, TStream& request) {
  const auto c = PymConnection::GetCurrent();
  return c && c->Post(opcode, request);
}

bool SendToDaemon(const void* buffer, u32 n) {
  const auto c = PymConnection::GetCurrent();
  return c && c->Send(buffer, n);
}

bool ReceiveFromDaemon(void* buffer, u32 n) {
  const auto c = PymConnection::GetCurrent();
  return c && c->Receive(buffer, n);
}

bool PymSendOrDrop(const void* buffer, u32 n) {
  if (SendToDaemon(buffer, n)) return true;
  PymDisconnect(true);
  return false;
}

bool PymReceiveOrDrop(void* buffer, u32 n, bool drop) {
  if (ReceiveFromDaemon(buffer, n)) return true;
  if (drop) PymDisconnect(true);
  return false;
}

bool PymIsConnected() {
  const auto c = PymConnection::GetCurrent();
  return c && c->IsConnected();
}

void PymGetHandshakeWords(u32* first, u32* second) {
  if (const auto c = PymConnection::GetCurrent()) {
    c->GetHandshakeWords(first, second);
    return;
  }
  if (first) *first = 0;
  if (second) *second = 0;
}

void PymSetSilenceLimit(u32 ms) {
  g_silenceLimitMs.store(ms);
  if (const auto c = PymConnection::GetCurrent()) c->TakeSilenceLimit();
}

u32 PymGetSilenceLimit() { return g_silenceLimitMs.load(); }

void PymPinInstallConnection() {
  u64 none = 0;
  if (t_lastConnection != 0) g_pinnedConnection.compare_exchange_strong(none, t_lastConnection);
}

void PymUnpinInstallConnection() { g_pinnedConnection.store(0); }

bool PymPinnedConnectionEnded() {
  const u64 pinned = g_pinnedConnection.load();
  if (pinned == 0) return false;
  const auto c = PymConnection::GetCurrent();
  return !c || !c->Stands(pinned);
}

u64 PymConnectionNumber() {
  const auto c = PymConnection::GetCurrent();
  return c ? c->GetConnectionNumber() : 0;
}

void PymSetReplyLimits(u32 general, u64 freeMemory) {
  g_replyLimit.store(general != 0 ? general : kMaxMessageLength);
  g_freeMemoryOverride.store(freeMemory);
}

u32 PymCountLostRequests() { return g_lostRequests.load(); }

u32 PymCountUnreachedRequests() { return g_unreachedRequests.load(); }

PymConnectTries::PymConnectTries() : begun_(std::chrono::steady_clock::now()) {}

bool PymConnectTries::Continue(u32 tried) {
  // A daemon this process started that has ended will not come. It may have ended for another
  // daemon that serves the store: one try after its end finds that one, and then no more.
  if (GetPymDaemonStarted() && !IsStartedPymDaemonAlive()) return !std::exchange(ended_, true);
  if (tried < kConnectTries) return true;
  if (!IsStartedPymDaemonAlive()) return false;
  const u32 limitMs = g_silenceLimitMs.load();
  return limitMs == 0 ||
         std::chrono::steady_clock::now() - begun_ < std::chrono::milliseconds(limitMs);
}

Qel::String PymLastReplyRefusal() { return Qel::String(t_replyRefusal.c_str()); }

void PymSetCommandHostCallback(PymCommandHostCallback callback) { g_commandHost.store(callback); }

void PymSetUrlCompletionHook(PymUrlCompletionHook hook) { g_urlHook.store(hook); }

void PymSetNotePauseForTest(void (*pause)()) { g_notePause.store(pause); }
