#include "pymclient/pym_connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "assetdata/results_log.h"
#include "core/core_statics.h"
#include "core/log_printf.h"
#include "core/net_transport.h"
#include "core/tcx_dispatcher.h"
#include "platform/byte_order.h"
#include "platform/invariant.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_client.h"
#include "pymclient/pym_discovery.h"
#include "pymclient/pym_protocol.h"
#include "qel/critical_section.h"
#include "qel/thread.h"

namespace {

using namespace PymProtocol;  // NOLINT(build/namespaces): the protocol's constants

// Flags of a notification handed to the main thread: run there, do not wait.
constexpr u32 kNotificationCallFlags = TCXDispatcher::kMainThreadOnly | TCXDispatcher::kAsync;

struct Connection {
  // Serialises every write to the socket and the reading of reply bodies.
  Qel::CriticalSection lock;
  std::atomic<TCPTransport*> transport{nullptr};
  std::unique_ptr<Qel::Thread> reader;
  std::atomic<bool> connected{false};
  // Gates the reader: cleared while a requester reads its reply body.
  Qel::WEvent readerEvent{true, false};
  // Counts connections, so that a reply and a failure belong to the connection they came on.
  std::atomic<u64> generation{0};
  Qel::CriticalSection handshakeLock;
  u32 handshakeWords[kHandshakeWordCount] = {0, 0};
  std::atomic<PymCommandHostCallback> commandHost{nullptr};
  std::atomic<PymUrlCompletionHook> urlHook{nullptr};
  std::atomic<u32> silenceLimitMs{kDefaultSilenceLimitMs};
  // The last connect reached a daemon that stayed silent through the handshake.
  std::atomic<bool> silentHandshake{false};
};

struct Registry {
  Qel::CriticalSection lock;
  std::unordered_map<u32, PymClientTransaction*> map;
  u32 counter = 1;
};

struct NotificationQueue {
  Qel::CriticalSection lock;
  std::deque<std::unique_ptr<PymNotification>> items;
};

struct QuestionThreads {
  Qel::CriticalSection lock;
  std::vector<std::unique_ptr<Qel::Thread>> threads;
};

// Never destroyed: threads of the connection may outlive static destruction at exit.
Connection& Conn() {
  static Connection* c = new Connection();
  return *c;
}
Registry& Reg() {
  static Registry* r = new Registry();
  return *r;
}
NotificationQueue& Queue() {
  static NotificationQueue* q = new NotificationQueue();
  return *q;
}
QuestionThreads& Questions() {
  static QuestionThreads* q = new QuestionThreads();
  return *q;
}

bool ReceiveU32(PymMessageSource& source, u32& out) {
  u8 bytes[4];
  if (!source.Receive(bytes, 4)) return false;
  out = ByteOrder::LoadLE32(bytes);
  return true;
}

bool SendU32(u32 value) {
  u8 bytes[4];
  ByteOrder::StoreLE32(bytes, value);
  return SendToDaemon(bytes, 4);
}

// A daemon that stays silent this long (it sends keep-alive notes while it works) is taken for
// frozen: the transfer fails and the connection drops instead of waiting for ever.
void ApplySilenceLimit(int fd, u32 ms) {
  const timeval limit{time_t(ms / 1000), suseconds_t((ms % 1000) * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// Moves n bytes in pieces; the transport's state and socket are checked before each piece.
// `*done` (when given) counts the bytes moved.
bool Transfer(bool sending, u8* data, u32 n, u32* done = nullptr) {
  if (n == 0) return true;
  TCPTransport* t = Conn().transport.load();
  while (n > 0) {
    if (!t || t->GetState() != TCPTransport::kConnected || t->GetSocket() < 0) return false;
    const u32 piece = std::min(n, kTransferChunk);
    const int r = sending ? t->Send(data, piece) : t->Recv(data, piece);
    if (sending ? r < 0 : r <= 0) {
      t->MarkFailed();
      return false;
    }
    data += r;
    n -= u32(r);
    if (done) *done += u32(r);
  }
  return true;
}

// Reads the socket on the reader thread.
class SocketSource final : public PymMessageSource {
 public:
  bool Receive(void* buffer, u32 n) override { return ReceiveFromDaemon(buffer, n); }
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

// Under the registry lock: fails every transaction sent on connection `generation`.
void FailPendingTransactions(u64 generation) {
  Registry& r = Reg();
  Qel::SingleLock guard(r.lock);
  for (auto& [id, tx] : r.map) {
    if (tx->connection != generation) continue;
    tx->failed = 1;
    tx->event.Set();
  }
}

i32 ReaderMain(Qel::Thread& self, u64 generation) {
  Connection& c = Conn();
  SocketSource source;
  bool closeTransport = false;
  for (;;) {
    c.readerEvent.Wait();
    if (self.IsEndRequested() || !c.transport.load()) break;
    const PymMessageResult result = PymReadDaemonMessage(source);
    if (result == PymMessageResult::kFailed || result == PymMessageResult::kUnknownTag) {
      closeTransport = true;
      break;
    }
    if (self.IsEndRequested()) break;
  }
  if (closeTransport) {
    if (TCPTransport* t = c.transport.load()) t->Close();
  }
  c.connected.store(false);
  c.readerEvent.Set();
  FailPendingTransactions(generation);
  return 0;
}

bool IsReaderThread() {
  Connection& c = Conn();
  return c.reader && c.reader->GetId() == Qel::Thread::CurrentId();
}

// Sends one request frame with up to kConnectTries connection tries. Runs under the connection
// lock; `tx` is null for a post. The frame is copied once into a block of its exact size and goes
// out in pieces: a failure before the opcode and id are out is tried again on a new connection, a
// failure after that drops the connection and fails the request.
bool SendFrame(u32 opcode, TStream& request, PymClientTransaction* tx) {
  Connection& c = Conn();
  KESTRO_ASSERT(c.lock.IsLockedByCurrentThread());
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

  for (u32 attempt = 0; attempt < kConnectTries; ++attempt) {
    if (attempt == 1) {
      if (!PymGetClientOptions().mayStartDaemon) return false;
      // One start until a connection succeeds: a daemon needs time to publish itself.
      if (!GetPymDaemonStarted()) StartPymDaemon();
      Qel::Sleep(PymGetConnectPauseMs());
    } else if (attempt > 1) {
      Qel::Sleep(PymGetConnectPauseMs());
    }
    if (!PymConnect()) {
      if (PymHandshakeWasSilent()) return false;
      continue;
    }
    if (tx) {
      // From here on the end of this connection fails the transaction.
      Qel::SingleLock guard(Reg().lock);
      tx->failed = 0;
      tx->event.Reset();
      tx->connection = c.generation.load();
    }
    u32 sent = 0;
    if (Transfer(true, frame.get(), n + kFrameHeaderSize, &sent)) return true;
    PymDisconnect(true);
    if (sent >= 8) return false;
  }
  return false;
}

void AppendResults(u32 requestId, TStream& payload) {
  // Read outside every lock; only the append happens under the registry lock, which keeps a
  // log that its owner deletes meanwhile from being written.
  ResultsLog results;
  ResultsLog::Read(payload, results);
  Qel::SingleLock guard(GetResultsLogRegistryLock());
  ResultsLog* target = FindResultsLog(requestId);
  if (!target) return;
  TBuffer copy(new Qel::DynamicBuffer(), true);
  results.Write(copy);
  copy.Seek(0, 0);
  ResultsLog::Read(copy, *target);
}

struct Question {
  u32 transactionId = 0;
  Qel::String text;
  KUID kuid;
};

void AnswerQuestion(const Question& q) {
  Registry& r = Reg();
  PymClientTransaction* tx = nullptr;
  {
    Qel::SingleLock guard(r.lock);
    const auto found = r.map.find(q.transactionId);
    if (found != r.map.end()) {
      tx = found->second;
      // The owner does not leave PymTransact while a question uses its callback.
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
  PymPost(kOpAnswer, request);
  if (tx) {
    Qel::SingleLock guard(r.lock);
    if (--tx->questions == 0) tx->questionsDone.Set();
  }
}

void StartQuestionThread(Question q) {
  QuestionThreads& qt = Questions();
  Qel::SingleLock guard(qt.lock);
  std::erase_if(qt.threads, [](const std::unique_ptr<Qel::Thread>& t) { return !t->IsRunning(); });
  auto thread = std::make_unique<Qel::Thread>([q = std::move(q)](Qel::Thread&) {
    AnswerQuestion(q);
    return 0;
  });
  if (thread->Start()) qt.threads.push_back(std::move(thread));
}

int RunQueuedNotification(intptr_t) {
  std::unique_ptr<PymNotification> n;
  {
    NotificationQueue& q = Queue();
    Qel::SingleLock guard(q.lock);
    if (q.items.empty()) return 0;
    n = std::move(q.items.front());
    q.items.pop_front();
  }
  PymDispatchNotification(*n);
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Transactions

PymClientTransaction::PymClientTransaction(PymTransactionCallback* cb, ResultsLog* results,
                                           bool keep)
    : callback(cb), keepResultsLog(keep ? 1 : 0), log(results) {}

PymClientTransaction::~PymClientTransaction() { Unregister(); }

void PymClientTransaction::Register() {
  Registry& r = Reg();
  {
    Qel::SingleLock guard(r.lock);
    if (registered) return;
    // An id still in use after a wrap of the counter is skipped.
    do {
      id = r.counter++;
      if (r.counter == 0) r.counter = 1;
    } while (r.map.count(id) != 0);
    r.map[id] = this;
    registered = 1;
  }
  // Registered even when null, so that a log kept for an earlier use of the id gets nothing.
  RegisterResultsLog(id, log);
}

void PymClientTransaction::Unregister() {
  Registry& r = Reg();
  for (;;) {
    // A question that is being answered keeps the transaction, and its callback, in place.
    questionsDone.Wait();
    Qel::SingleLock guard(r.lock);
    if (questions != 0) continue;
    if (registered) {
      if (!keepResultsLog) UnregisterResultsLog(id);
      r.map.erase(id);
      registered = 0;
      failed = 0;
    }
    return;
  }
}

void PymSetNextTransactionIdForTest(u32 id) {
  Registry& r = Reg();
  Qel::SingleLock guard(r.lock);
  r.counter = id != 0 ? id : 1;
}

bool PymClientTransaction::ReceiveReply(u32 id) {
  Registry& r = Reg();
  Qel::SingleLock guard(r.lock);
  const auto found = r.map.find(id);
  if (found == r.map.end()) {
    LogPrintf(
        "PymClientTransaction::ReceiveReply> received reply for unknown clientTransactionID=%d",
        int(id));
    return false;
  }
  PymClientTransaction* tx = found->second;
  // Unregistered here, under the lock, so the log's registration goes too (unless kept).
  if (!tx->keepResultsLog) UnregisterResultsLog(id);
  r.map.erase(found);
  tx->registered = 0;
  tx->failed = 0;
  tx->event.Set();
  return true;
}

// ---------------------------------------------------------------------------------------------
// Transfers

bool SendToDaemon(const void* buffer, u32 n) {
  return Transfer(true, static_cast<u8*>(const_cast<void*>(buffer)), n);
}

bool ReceiveFromDaemon(void* buffer, u32 n) { return Transfer(false, static_cast<u8*>(buffer), n); }

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

// ---------------------------------------------------------------------------------------------
// Connection

bool PymIsConnected() { return Conn().connected.load(); }

void PymGetHandshakeWords(u32* first, u32* second) {
  Connection& c = Conn();
  Qel::SingleLock guard(c.handshakeLock);
  if (first) *first = c.handshakeWords[0];
  if (second) *second = c.handshakeWords[1];
}

void PymSetSilenceLimit(u32 ms) { Conn().silenceLimitMs.store(ms); }

bool PymHandshakeWasSilent() { return Conn().silentHandshake.load(); }

bool PymConnect() {
  Connection& c = Conn();
  Qel::SingleLock guard(c.lock);
  if (TCPTransport* t = c.transport.load()) {
    if (c.connected.load() && t->GetState() == TCPTransport::kConnected) return true;
    // The reader has ended or a transfer failed: start afresh rather than fail this try.
    PymDisconnect(true);
  }
  c.silentHandshake.store(false);
  const std::string databasePath = GetDatabasePath().CStr();
  if (!OpenDiscoveryBlock(databasePath.c_str())) return false;
  const u32 port = GetDatabaseOwnerPort();
  CloseDiscoveryBlock();
  if (port == 0) {
    if (!GetPymDaemonStarted()) StartPymDaemon();
    return false;
  }
  if (port > 0xFFFF) return false;

  auto* transport = new TCPTransport(kDaemonHost, u16(port));
  if (transport->GetSocket() >= 0) {
    // Frames go out in two writes; without this the second waits for the first's ACK.
    int one = 1;
    setsockopt(transport->GetSocket(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ApplySilenceLimit(transport->GetSocket(), c.silenceLimitMs.load());
  }
  c.transport.store(transport);
  const u64 generation = c.generation.fetch_add(1) + 1;

  const u32 isClient = PymGetClientOptions().isClient;
  bool ok = SendU32(kTagClient) && SendU32(kProtocolVersion) && SendU32(kBuildNumber) &&
            SendU32(isClient) && SendU32(u32(databasePath.size())) &&
            SendToDaemon(databasePath.data(), u32(databasePath.size()));
  u8 answer[4 + 4 * kHandshakeWordCount];
  ok = ok && ReceiveFromDaemon(answer, 4) && ByteOrder::LoadLE32(answer) == kTagDaemon &&
       ReceiveFromDaemon(answer + 4, 4 * kHandshakeWordCount);
  if (!ok) {
    // The socket's silence limit ran out (rather than the daemon closing or answering wrong).
    c.silentHandshake.store(errno == EAGAIN || errno == EWOULDBLOCK);
    PymDisconnect(true);
    return false;
  }
  {
    Qel::SingleLock words(c.handshakeLock);
    c.handshakeWords[0] = ByteOrder::LoadLE32(answer + 4);
    c.handshakeWords[1] = ByteOrder::LoadLE32(answer + 8);
  }
  SetPymDaemonStarted(false);
  c.connected.store(true);
  c.readerEvent.Set();
  c.reader = std::make_unique<Qel::Thread>(
      [generation](Qel::Thread& self) { return ReaderMain(self, generation); });
  if (!c.reader->Start()) {
    c.reader.reset();
    PymDisconnect(true);
    return false;
  }
  return true;
}

void PymDisconnect(bool lost) {
  Connection& c = Conn();
  Qel::SingleLock guard(c.lock);
  if (IsReaderThread()) return;
  TCPTransport* t = c.transport.load();
  if (t) {
    if (!lost) SendU32(kGoodbyeWord);
    t->Close();
  }
  if (c.reader) {
    c.reader->RequestEnd();
    c.readerEvent.Set();
    c.reader->Join();
    c.reader.reset();
  }
  c.connected.store(false);
  c.transport.store(nullptr);
  delete t;
}

bool PymTransact(u32 opcode, TStream& request, TStream& reply, PymTransactionCallback* callback,
                 ResultsLog* log, bool keepResultsLog) {
  Connection& c = Conn();
  PymClientTransaction tx(callback, log, keepResultsLog);
  tx.Register();
  Qel::SingleLock lock(c.lock);
  if (!PymIsClientOpen()) return false;
  if (!SendFrame(opcode, request, &tx)) return false;
  const u64 generation = tx.connection;
  lock.Unlock();

  tx.event.Wait();
  if (tx.failed) return false;

  lock.Lock();
  // The reply was handed over on a connection that has since been dropped: its bytes are gone.
  if (c.generation.load() != generation || !c.transport.load()) return false;
  u32 length = 0;
  if (!PymReceiveOrDrop(&length, 4, true)) return false;
  if (length > kMaxMessageLength) {
    LogPrintf("PymTransact> reply of %u bytes is over the limit; dropping the connection\n",
              length);
    PymDisconnect(true);
    return false;
  }
  bool stored = true;
  std::unique_ptr<u8[]> piece(new u8[std::min(length, kTransferChunk)]);
  for (u32 left = length; left > 0;) {
    const u32 n = std::min(left, kTransferChunk);
    if (!PymReceiveOrDrop(piece.get(), n, true)) return false;
    // A reply that cannot be stored is still read to its end, so the stream stays in step.
    if (stored && reply.Write(piece.get(), n) != n) stored = false;
    left -= n;
  }
  lock.Unlock();
  c.readerEvent.Set();
  return stored;
}

bool PymPost(u32 opcode, TStream& request) {
  Connection& c = Conn();
  Qel::SingleLock lock(c.lock);
  if (!PymIsClientOpen()) return false;
  return SendFrame(opcode, request, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Reading daemon messages

namespace {

// The length and payload of a notification whose kind has been read.
bool PymReadNotificationBody(PymMessageSource& source, PymNotification& out) {
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

bool PymReadNotification(PymMessageSource& source, PymNotification& out) {
  return ReceiveU32(source, out.kind) && PymReadNotificationBody(source, out);
}

PymMessageResult PymReadDaemonMessage(PymMessageSource& source) {
  Connection& c = Conn();
  // The tag and the word after it come in one read: both messages have at least two more words
  // (kind and length, id and length), and a tag that is neither ends the connection anyway.
  u8 head[8];
  if (!source.Receive(head, sizeof(head))) return PymMessageResult::kFailed;
  const u32 tag = ByteOrder::LoadLE32(head);
  if (tag == kTagNotify) {
    auto n = std::make_unique<PymNotification>();
    n->kind = ByteOrder::LoadLE32(head + 4);
    if (!PymReadNotificationBody(source, *n)) return PymMessageResult::kFailed;
    PymQueueNotification(std::move(n));
    return PymMessageResult::kHandled;
  }
  if (tag != kTagReply) return PymMessageResult::kUnknownTag;
  const u32 id = ByteOrder::LoadLE32(head + 4);
  c.readerEvent.Reset();
  if (PymClientTransaction::ReceiveReply(id)) return PymMessageResult::kHandedOver;
  c.readerEvent.Set();
  // Nobody waits for this body: consume it so that the next tag is read in step.
  u32 length = 0;
  if (!ReceiveU32(source, length)) return PymMessageResult::kFailed;
  if (length > kMaxMessageLength) {
    LogPrintf("PymClient> reply of %u bytes is over the limit; dropping the connection\n", length);
    return PymMessageResult::kFailed;
  }
  return Discard(source, length) ? PymMessageResult::kHandled : PymMessageResult::kFailed;
}

// ---------------------------------------------------------------------------------------------
// Notifications

void PymSetCommandHostCallback(PymCommandHostCallback callback) {
  Conn().commandHost.store(callback);
}

void PymSetUrlCompletionHook(PymUrlCompletionHook hook) { Conn().urlHook.store(hook); }

TCXCallback NewPymNotificationCallback() { return TCXCallback(&RunQueuedNotification); }

void PymQueueNotification(std::unique_ptr<PymNotification> notification) {
  if (!notification) return;
  if (notification->kind == kNoteResults || notification->kind == kNoteUrlDone) {
    // Applied here, in arrival order, before any later reply is handed over.
    PymDispatchNotification(*notification);
    return;
  }
  {
    NotificationQueue& q = Queue();
    Qel::SingleLock guard(q.lock);
    q.items.push_back(std::move(notification));
  }
  const TCXCallback call = NewPymNotificationCallback();
  GetDispatcher().Dispatch(0, kNotificationCallFlags, call);
}

void PymDispatchNotification(PymNotification& n) {
  TStream& payload = n.payload;
  switch (n.kind) {
    case kNoteMessage: {
      u32 value = 0;
      payload.ReadU32(value);
      if (auto callback = PymGetClientOptions().messageCallback) callback(value);
      break;
    }
    case kNoteCommandHost: {
      const PymCommandHostCallback callback = Conn().commandHost.load();
      if (!callback) break;
      TBuffer reply(new Qel::DynamicBuffer(512), true);
      callback(payload, reply);
      reply.Seek(0, 0);
      PymPost(kOpCommandHostReply, reply);
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
      const PymUrlCompletionHook hook = Conn().urlHook.load();
      u64 requestId = 0;
      if (!hook || !payload.ReadU64(requestId)) break;
      hook(requestId, payload);
      break;
    }
    default:
      break;
  }
}

void PymDestroyQueuedNotifications() {
  NotificationQueue& q = Queue();
  std::deque<std::unique_ptr<PymNotification>> doomed;
  {
    Qel::SingleLock guard(q.lock);
    doomed.swap(q.items);
  }
}

void PymJoinQuestionThreads() {
  QuestionThreads& qt = Questions();
  std::vector<std::unique_ptr<Qel::Thread>> threads;
  {
    Qel::SingleLock guard(qt.lock);
    threads.swap(qt.threads);
  }
  for (auto& t : threads) t->Join();
}
