// The one connection to the daemon: handshake, request frames, transactions and posts, the
// reader thread with its hand-over of reply bodies, and the daemon's notifications.
#pragma once

#include <memory>

#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "core/thread_call.h"
#include "qel/dynamic_buffer.h"
#include "qel/string.h"
#include "qel/types.h"
#include "qel/wevent.h"

class ResultsLog;
class TStream;

// Lets the daemon ask the caller of a transaction a question while the request runs.
class PymTransactionCallback {
 public:
  virtual ~PymTransactionCallback() = default;
  // For a question from the daemon, `second` is empty and `log` is null.
  virtual u32 Ask(const Qel::String& question, const Qel::String& second, const KUID& kuid,
                  ResultsLog* log) = 0;
};

// One outstanding transaction; it lives on the caller's stack for the length of PymTransact.
class PymClientTransaction {
 public:
  PymClientTransaction(PymTransactionCallback* callback, ResultsLog* log, bool keepResultsLog);
  // Unregisters, waiting for a question that still uses the callback.
  ~PymClientTransaction();
  PymClientTransaction(const PymClientTransaction&) = delete;
  PymClientTransaction& operator=(const PymClientTransaction&) = delete;

  // Takes the next id, enters it in the map and registers the log for it.
  void Register();
  // Waits until no question thread uses the transaction; then, only when registered, drops the
  // log's registration (unless kept), removes the id from the map and clears the registered and
  // failed flags.
  void Unregister();
  // Under the registry lock: hands a reply to its waiting transaction. False (logged) when the
  // id is unknown.
  static bool ReceiveReply(u32 id);

  u32 id = 0;
  Qel::WEvent event{true, false};
  PymTransactionCallback* callback;
  u8 keepResultsLog;
  u8 registered = 0;
  u8 failed = 0;
  ResultsLog* log;
  // The connection the request was sent on; only that connection's end fails it.
  u64 connection = 0;
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

// Connects and shakes hands under the connection lock; true at once while connected.
bool PymConnect();
// Drops the connection; without `lost` the daemon gets the goodbye word first. Does nothing on
// the reader thread.
void PymDisconnect(bool lost);
// Sends `request` from its position to its end as `opcode`, waits for the reply and writes the
// body to `reply`. True when the reply body was received in full.
bool PymTransact(u32 opcode, TStream& request, TStream& reply, PymTransactionCallback* callback,
                 ResultsLog* log, bool keepResultsLog);
// One-way request: true when the whole frame was written.
bool PymPost(u32 opcode, TStream& request);

// Move exactly n bytes over the connection.
bool SendToDaemon(const void* buffer, u32 n);
bool ReceiveFromDaemon(void* buffer, u32 n);
// As above, dropping the connection (lost) on failure; receiving only when `drop` is set.
bool PymSendOrDrop(const void* buffer, u32 n);
bool PymReceiveOrDrop(void* buffer, u32 n, bool drop);

// How long the daemon may stay silent (kDefaultSilenceLimitMs unless set) before a transfer
// fails and the connection drops; 0 waits for ever. Applies to connections made afterwards (a
// receive already waiting keeps the limit it began with). An idle connection that drops is made
// afresh by the next request.
void PymSetSilenceLimit(u32 ms);

// True when the last PymConnect reached a daemon that stayed silent through the handshake for
// the silence limit: it is frozen, and each further try would wait as long again.
bool PymHandshakeWasSilent();

// Set after the handshake, cleared when the reader thread ends.
bool PymIsConnected();
// The two words of the daemon's handshake answer.
void PymGetHandshakeWords(u32* first, u32* second);

// Called on the main thread with a command-host request (positioned at the command id); what it
// writes into the reply is posted back as kOpCommandHostReply. Null: such requests are dropped.
using PymCommandHostCallback = void (*)(TStream& request, TBuffer& reply);
void PymSetCommandHostCallback(PymCommandHostCallback callback);
// Called on the reader thread with a URL request's id and the rest of its completion. Null
// (completion handling off): such notifications are dropped. It must not send requests.
using PymUrlCompletionHook = void (*)(u64 requestId, TStream& rest);
void PymSetUrlCompletionHook(PymUrlCompletionHook hook);

// Hands a notification over: kinds 3 and 4 are applied at once, the others are queued for the
// main thread (one thread call per notification). Takes ownership.
void PymQueueNotification(std::unique_ptr<PymNotification> notification);
// The thread call that takes the oldest queued notification and dispatches it.
TCXCallback NewPymNotificationCallback();
// Applies a notification by kind.
void PymDispatchNotification(PymNotification& notification);
void PymDestroyQueuedNotifications();
// Waits for the question threads to finish.
void PymJoinQuestionThreads();
// The id the next transaction takes (0 becomes 1). For tests of the id wrap.
void PymSetNextTransactionIdForTest(u32 id);

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
PymMessageResult PymReadDaemonMessage(PymMessageSource& source);
// Reads the payload of a notification (kind, length, bytes); false on a failed receive or a
// length over the limit.
bool PymReadNotification(PymMessageSource& source, PymNotification& out);
