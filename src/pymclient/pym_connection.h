// The connection to the daemon as an object: handshake, request frames, transactions and posts,
// the reader thread with its hand-over of reply bodies, and the daemon's notifications. The
// client owns one while it is open and publishes it as the current connection, through which the
// request functions reach the daemon.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "core/thread_call.h"
#include "pymclient/pym_protocol.h"
#include "qel/critical_section.h"
#include "qel/dynamic_buffer.h"
#include "qel/string.h"
#include "qel/thread.h"
#include "qel/types.h"
#include "qel/wevent.h"

class PymConnection;
class ResultsLog;
class TCPTransport;
class TStream;

// The settings handed to PymOpenDatabase; the connection keeps a copy for its lifetime.
struct PymClientOptions {
  // Called for every message notification; null ignores them.
  void (*messageCallback)(u32 value) = nullptr;
  // Stored, never read.
  u8 storedFlags[3] = {1, 1, 1};
  // PymTransact and PymPost may start the daemon on their second try.
  u8 mayStartDaemon = 1;
  // Sent as the fourth word of the handshake.
  u8 isClient = 1;
};

// Lets the daemon ask the caller of a transaction a question while the request runs.
class PymTransactionCallback {
 public:
  virtual ~PymTransactionCallback() = default;
  // For a question from the daemon, `second` is empty and `log` is null.
  virtual u32 Ask(const Qel::String& question, const Qel::String& second, const KUID& kuid,
                  ResultsLog* log) = 0;
};

// One outstanding transaction; it lives on the caller's stack for the length of a Transact.
class PymClientTransaction {
 public:
  PymClientTransaction(PymConnection& connection, PymTransactionCallback* callback, ResultsLog* log,
                       bool keepResultsLog);
  // Unregisters, waiting for a question that still uses the callback.
  ~PymClientTransaction();
  PymClientTransaction(const PymClientTransaction&) = delete;
  PymClientTransaction& operator=(const PymClientTransaction&) = delete;

  // Takes the next id, enters it in the connection's map and registers the log for it.
  void Register();
  // Waits until no question thread uses the transaction; then, only when registered, drops the
  // log's registration (unless kept), removes the id from the map and clears the registered and
  // failed flags.
  void Unregister();
  // Under the registry lock: hands a reply of `length` bytes to its waiting transaction, with its
  // body when the reader has read it (taken from `body`), else for the owner to read. False
  // (logged) when the id is unknown.
  static bool ReceiveReply(PymConnection& connection, u32 id, u32 length, std::vector<u8>* body);

  PymConnection& owner;
  u32 id = 0;
  Qel::WEvent event{true, false};
  PymTransactionCallback* callback;
  u8 keepResultsLog;
  u8 registered = 0;
  u8 failed = 0;
  // The reply's length, and its body when the reader read it (bodyRead).
  u32 length = 0;
  u8 bodyRead = 0;
  std::vector<u8> body;
  ResultsLog* log;
  // The connection the request was sent on; only that connection's end fails it.
  u64 connection = 0;
  std::chrono::steady_clock::time_point sent;
  // Question threads working for this transaction, and the event set when there are none.
  u32 questions = 0;
  Qel::WEvent questionsDone{true, true};
};

// A daemon notification: its kind and payload.
struct PymNotification {
  u32 kind = 0;
  Qel::DynamicBuffer buffer{512};
  TBuffer payload{&buffer, false};
};

// The reader's handling of one daemon message, over any byte source. Kept apart from the
// socket so that hostile input can be fed to it directly.
class PymMessageSource {
 public:
  virtual ~PymMessageSource() = default;
  // Exactly n bytes, or false.
  virtual bool Receive(void* buffer, u32 n) = 0;
};
enum class PymMessageResult {
  kHandled,     // a notification, or a reply whose body was consumed or handed over
  kHandedOver,  // a reply for a waiting transaction: its owner reads the body
  kFailed,      // a failed receive or an over-long length
  kUnknownTag,
};

// Called on the main thread with a command-host request (positioned at the command id); what it
// writes into the reply is posted back as kOpCommandHostReply. Null: such requests are dropped.
using PymCommandHostCallback = void (*)(TStream& request, TBuffer& reply);
// Called on the reader thread with a URL request's id and the rest of its completion. Null
// (completion handling off): such notifications are dropped. It must not send requests.
using PymUrlCompletionHook = void (*)(u64 requestId, TStream& rest);

class PymConnection : public std::enable_shared_from_this<PymConnection> {
 public:
  // `connectPauseMs` is the pause before each connection try after the first.
  PymConnection(const PymClientOptions& options, u32 connectPauseMs);
  // Drops the connection without a goodbye, joins the question threads and destroys the queued
  // notifications; main-thread calls still queued for them find nothing.
  //
  // Made through std::make_shared when the main thread must run its queued notifications: the
  // thread call queued for each holds the connection weakly and keeps it alive while it runs.
  // A connection made otherwise keeps its queue for DispatchNextQueued.
  ~PymConnection();
  PymConnection(const PymConnection&) = delete;
  PymConnection& operator=(const PymConnection&) = delete;

  // Connects and shakes hands under the connection lock; true at once while connected.
  bool Connect();
  // Drops the connection; without `lost` the daemon gets the goodbye word first. Does nothing on
  // the reader thread.
  void Disconnect(bool lost);
  // Says goodbye and drops the connection for good: requests that still hold the object fail
  // from here on instead of connecting again.
  void Close();
  // Sends `request` from its position to its end as `opcode`, waits for the reply and writes the
  // body to `reply`. True when the reply body was received in full.
  bool Transact(u32 opcode, TStream& request, TStream& reply, PymTransactionCallback* callback,
                ResultsLog* log, bool keepResultsLog);
  // One-way request: true when the whole frame was written.
  bool Post(u32 opcode, TStream& request);

  // Move exactly n bytes over the connection.
  bool Send(const void* buffer, u32 n);
  bool Receive(void* buffer, u32 n);

  // Set after the handshake, cleared when the reader thread ends (started by this call when no
  // request has started it yet, so that a daemon gone away is noticed).
  bool IsConnected();
  // The number of the connection that stands now, 0 while none does; every connection made gets
  // a new one.
  u64 GetConnectionNumber() const { return connected_.load() ? generation_.load() : 0; }
  // Whether connection `generation` stands and has not failed.
  bool Stands(u64 generation);
  // The daemon's port of the last connection made, 0 before any.
  u32 GetPort() const { return port_.load(); }
  // How a handshake that failed ended: nothing answered the connection (kNone), the peer stayed
  // silent for the silence limit, ended the connection before it answered (as a daemon does
  // that refuses a folder it cannot see as its store), or answered what no daemon does.
  // A daemon at its connection limit answers that it is busy (kBusy), and is waited for.
  enum class HandshakeEnd : u8 { kNone, kSilent, kClosed, kWrongAnswer, kBusy };
  // True when the last Connect reached a daemon that stayed silent through the handshake for the
  // silence limit: it is frozen, and each further try would wait as long again.
  bool HandshakeWasSilent() const { return handshakeEnd_.load() == HandshakeEnd::kSilent; }
  // How the last Connect's handshake ended at the port that the holder of the store's lock noted
  // (GetPort), when it ended closed or answered wrong: the holder keeps the store without
  // serving this process, so no daemon started and no further try could. kNone otherwise.
  HandshakeEnd HolderAnswer() const { return holderAnswer_.load(); }
  // The holder of the store's lock when HolderAnswer was made, as the system's lock table shows
  // it (0 when it shows none: a holder of another pid namespace), and as its lock file names it.
  u32 HolderSeen() const { return holderSeen_.load(); }
  u32 HolderNoted() const { return holderNoted_.load(); }
  // True when the last Connect ended so that no further try could help: a frozen daemon, a
  // holder that does not serve this process, or a daemon busy for the whole silence limit.
  bool GaveUp() const {
    return HandshakeWasSilent() || HandshakeWasBusy() || HolderAnswer() != HandshakeEnd::kNone;
  }
  bool HandshakeWasBusy() const { return handshakeEnd_.load() == HandshakeEnd::kBusy; }
  // The silence limit that a handshake or a request of this connection stayed silent for, after
  // which every Connect fails at once (kSilent) until a limit is set anew; 0 while none did.
  u32 FrozenMs() const { return frozenMs_.load(); }
  // Applies the silence limit in force (PymSetSilenceLimit) to the connection that stands.
  void TakeSilenceLimit();
  // The two words of the daemon's handshake answer.
  void GetHandshakeWords(u32* first, u32* second);

  PymClientOptions GetOptions();
  // Nothing starts the daemon again for this connection.
  void ForbidDaemonStart();

  // One message from `source`: a notification is queued (or applied), a reply handed to its
  // transaction or, when none waits, consumed.
  PymMessageResult ReadDaemonMessage(PymMessageSource& source);
  // Kinds 3 and 4 are applied at once, the others are queued for the main thread (one thread
  // call per notification).
  void QueueNotification(std::unique_ptr<PymNotification> notification);
  // Applies a notification by kind.
  void DispatchNotification(PymNotification& notification);
  // Takes the oldest queued notification and dispatches it; false when the queue was empty.
  bool DispatchNextQueued();
  void DestroyQueuedNotifications();
  // Waits for the question threads to finish.
  void JoinQuestionThreads();
  // The id the next transaction takes (0 becomes 1). For tests of the id wrap.
  void SetNextTransactionIdForTest(u32 id);

  // The connection the request functions use (null while the client is closed). The client
  // publishes its connection once open and withdraws it before it closes it; a caller's copy
  // keeps the object alive until its request returns.
  static std::shared_ptr<PymConnection> GetCurrent();
  static void SetCurrent(std::shared_ptr<PymConnection> connection);

 private:
  friend class PymClientTransaction;
  struct Question {
    u32 transactionId = 0;
    Qel::String text;
    KUID kuid;
  };

  bool ConnectOnce();
  bool ShakeHands(u32 port, const std::string& databasePath);
  // Whether a transaction sent on connection `generation` has waited `ms` or longer.
  bool TransactionWaited(u64 generation, u32 ms);
  bool Transfer(bool sending, u8* data, u32 n, u32* done = nullptr);
  bool SendU32(u32 value);
  bool SendFrame(u32 opcode, TStream& request, PymClientTransaction* tx);
  bool ReceiveOrDrop(void* buffer, u32 n);
  i32 ReaderMain(Qel::Thread& self, u64 generation);
  // Waits for the next message of connection `generation`; false when a request of it waited
  // unanswered for the silence limit, with nothing heard meanwhile.
  bool AwaitMessage(Qel::Thread& self, u64 generation);
  bool StartReader();
  bool IsReaderThread();
  void FailPendingTransactions(u64 generation);
  void AppendResults(u32 requestId, TStream& payload);
  void AnswerQuestion(const Question& question);
  void StartQuestionThread(Question question);

  // The copy of the options in force and the pause between connection tries.
  Qel::CriticalSection optionsLock_;
  PymClientOptions options_;
  const u32 connectPauseMs_;

  // Serialises every write to the socket and the reading of reply bodies.
  Qel::CriticalSection lock_;
  std::atomic<TCPTransport*> transport_{nullptr};
  std::unique_ptr<Qel::Thread> reader_;
  std::atomic<bool> readerStarted_{false};
  u64 readerGeneration_ = 0;  // the connection the reader is to serve; under lock_
  std::atomic<bool> connected_{false};
  std::atomic<bool> closed_{false};
  std::atomic<HandshakeEnd> handshakeEnd_{HandshakeEnd::kNone};
  std::atomic<HandshakeEnd> holderAnswer_{HandshakeEnd::kNone};
  std::atomic<u32> holderSeen_{0};
  std::atomic<u32> holderNoted_{0};
  std::atomic<u32> frozenMs_{0};
  // Set by ForbidDaemonStart: a connect that finds no daemon starts none either.
  std::atomic<bool> startForbidden_{false};
  std::atomic<u32> port_{0};
  // Gates the reader: cleared while a requester reads its reply body.
  Qel::WEvent readerEvent_{true, false};
  // Counts connections, so that a reply and a failure belong to the connection they came on.
  std::atomic<u64> generation_{0};
  Qel::CriticalSection handshakeLock_;
  u32 handshakeWords_[PymProtocol::kHandshakeWordCount] = {0, 0};

  // The transactions waiting for replies, by id.
  Qel::CriticalSection registryLock_;
  std::unordered_map<u32, PymClientTransaction*> transactions_;
  u32 nextId_ = 1;

  // Notifications of kinds the main thread handles, oldest first.
  Qel::CriticalSection queueLock_;
  std::deque<std::unique_ptr<PymNotification>> queue_;

  Qel::CriticalSection questionsLock_;
  std::vector<std::unique_ptr<Qel::Thread>> questionThreads_;
};

// The request functions over the current connection: each fails (false) at once while the
// client is closed.
bool PymConnect();
void PymDisconnect(bool lost);
bool PymTransact(u32 opcode, TStream& request, TStream& reply, PymTransactionCallback* callback,
                 ResultsLog* log, bool keepResultsLog);
bool PymPost(u32 opcode, TStream& request);
bool SendToDaemon(const void* buffer, u32 n);
bool ReceiveFromDaemon(void* buffer, u32 n);
// As above, dropping the connection (lost) on failure; receiving only when `drop` is set.
bool PymSendOrDrop(const void* buffer, u32 n);
bool PymReceiveOrDrop(void* buffer, u32 n, bool drop);
bool PymIsConnected();
void PymGetHandshakeWords(u32* first, u32* second);

// How long the daemon may stay silent (kDefaultSilenceLimitMs unless set) before a transfer
// fails and the connection drops; 0 waits for ever. Applies to the connection that stands and to
// those made afterwards (a receive already waiting keeps the limit it began with). An idle
// connection that drops is made afresh by the next request.
void PymSetSilenceLimit(u32 ms);
u32 PymGetSilenceLimit();
// The current connection's number (PymConnection::GetConnectionNumber), 0 while none stands. What
// the daemon tied to a connection, as a command host's registration, is gone with a new number.
u64 PymConnectionNumber();
// An install belongs to its command: from its first step that holds an asset (this thread's last
// transaction), every later request of the process goes on that connection or is not sent at
// all, until the command unpins it. The daemon ends an install's holds with the connection, and a
// new connection, or another daemon, would let the install write into or change a copy that is
// no longer its own.
void PymPinInstallConnection();
void PymUnpinInstallConnection();
// True when an install pinned a connection that no longer stands: the install must stop.
bool PymPinnedConnectionEnded();
// The largest reply body the client takes: `general` bytes (kMaxMessageLength unless set) for
// every request, and for the request that carries a whole package (kOpSaveAssetToCdp) up to half
// the free memory when that is more. `freeMemory` stands in for the memory the system reports
// free; 0 asks the system. Both are for tests that cannot make replies of hundreds of MB.
void PymSetReplyLimits(u32 general, u64 freeMemory);
// How many requests of this process have failed because the daemon went away after they were
// sent (the connection ended before the whole answer arrived).
u32 PymCountLostRequests();
// How many requests of this process were never sent because no daemon could be reached (it went
// away and none came back): the daemon did nothing of them.
u32 PymCountUnreachedRequests();

// The requests the daemon failed from its making on: those it went away from before answering,
// and those never sent as no daemon was there. A command whose request failed so knows nothing
// of what the daemon did, and adds no guess of its own: the dispatcher says which it was.
class DaemonFailures {
 public:
  DaemonFailures() : lost_(PymCountLostRequests()), unreached_(PymCountUnreachedRequests()) {}
  bool Lost() const { return PymCountLostRequests() != lost_; }
  bool Unreached() const { return PymCountUnreachedRequests() != unreached_; }
  bool Any() const { return Lost() || Unreached(); }

 private:
  const u32 lost_;
  const u32 unreached_;
};

// The tries of a connection loop: kConnectTries, and beyond them while the daemon this process
// started still runs (it waits for the store of a daemon that is still ending), up to the silence
// limit from the first try; once the daemon it started has ended (or could not be started), one
// more.
class PymConnectTries {
 public:
  PymConnectTries();
  // Whether to try again after `tried` failed tries.
  bool Continue(u32 tried);

 private:
  const std::chrono::steady_clock::time_point begun_;
  bool ended_ = false;
};
// Why the calling thread's last transaction failed when its reply was refused, or empty.
Qel::String PymLastReplyRefusal();
// Process-wide handlers, kept across connections.
void PymSetCommandHostCallback(PymCommandHostCallback callback);
void PymSetUrlCompletionHook(PymUrlCompletionHook hook);
// Runs `pause` (null: nothing) each time a connect has read the store's note and is about to ask
// who holds the store's lock. For tests of a command that stalls there.
void PymSetNotePauseForTest(void (*pause)());

// Reads the payload of a notification (kind, length, bytes); false on a failed receive or a
// length over the limit.
bool PymReadNotification(PymMessageSource& source, PymNotification& out);
