// One client connection: a reader thread that shakes hands, reads request frames and answers
// them, and a write lock that keeps every outgoing message whole.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "daemon/daemon_limits.h"
#include "daemon/note_channel.h"
#include "qel/types.h"

namespace PymDaemonSrv {

class RequestHandlers;

// What a connection demands of its peer.
struct ConnectionPolicy {
  // The resolved database folder that handshakes must name; empty accepts any.
  std::string databaseFolder;
  // Serve only peers that run as the daemon's own user (the server checks before it starts a
  // connection).
  bool ownerOnly = true;
  u32 handshakeSeconds = kDefaultHandshakeSeconds;
  u32 idleSeconds = kDefaultIdleSeconds;
};

// What a connection tells its server. Plain functions rather than an interface: the calls must
// also work when the process has no descriptor left, where a sanitizer build cannot check a
// virtual call.
struct ConnectionListener {
  // A client asked the daemon to close; called after that request's reply was sent.
  std::function<void()> onCloseRequested;
  // The reader thread is about to end.
  std::function<void()> onFinished;
};

class Connection {
 public:
  // Takes over the connected socket.
  Connection(int fd, RequestHandlers& handlers, const ConnectionListener& listener,
             const ConnectionPolicy& policy);
  // Ends the connection, waits for its thread and closes the socket.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Throws std::system_error when no thread can be started; the socket is then still ours.
  void Start();
  // Wakes a blocked read and lets the thread end; safe from any thread, any number of times.
  void Shutdown();
  void Join();
  bool IsFinished() const { return finished_.load(); }
  // Sends a keep-alive note (kind 0, value 0) when a request has been running for the interval
  // since it began or since the last note. For the server's loop: it never blocks, and skips a
  // turn when the socket is being written or is full.
  void KeepAliveIfBusy(std::chrono::steady_clock::time_point now);

 private:
  void Run();
  bool Handshake();
  // Waits until the socket is readable; false when the peer stays silent past the limit.
  bool WaitReadable();
  // Serves frames until the goodbye word, a failure or a shutdown.
  void Serve();
  // Handles one request and sends its results and reply; false when the connection must end.
  bool Answer(u32 opcode, u32 id, const std::vector<u8>& payload);
  // Answers a package request on a thread of its own, so that the next requests are read and the
  // packages made side by side; false (nothing started) when this connection or the process has
  // as many running as it may, or no thread starts.
  bool AnswerBeside(u32 opcode, u32 id, std::vector<u8>& payload);
  // Waits until no request of this connection runs beside the reader.
  void WaitForSideRequests();
  // Counts the requests running; the first one starts the keep-alive clock, the last stops it.
  void MarkBusy(bool begin);
  // Exactly n bytes; false when the peer closed or the socket failed.
  bool ReadExact(void* out, size_t n);
  bool ReadU32(u32& out);
  // A payload of `length` bytes, grown as the bytes arrive rather than allocated up front.
  bool ReadPayload(u32 length, std::vector<u8>& out);
  // One message: the three header words and the body, written under the write lock. A message
  // not out by `deadline` ends the connection. Whole messages in `lead` go first, in one send
  // with this one.
  bool SendMessage(u32 tag, u32 word, const u8* body, size_t size,
                   std::chrono::steady_clock::time_point deadline =
                       std::chrono::steady_clock::time_point::max(),
                   std::vector<u8>* lead = nullptr);

  const int fd_;
  // Names the connection to the handlers; never 0.
  u64 id_ = 0;
  RequestHandlers& handlers_;
  const ConnectionListener& listener_;
  const ConnectionPolicy& policy_;
  // Until the handshake is done every read must come before this moment.
  std::chrono::steady_clock::time_point handshakeDeadline_;
  bool shookHands_ = false;
  std::thread thread_;
  DeadlineMutex writeMutex_;
  // Notes of work that goes on after its request (URL transfers); closed when the peer goes.
  std::shared_ptr<NoteChannel> notes_;
  std::atomic<bool> finished_{false};
  // When the running requests began (steady-clock ticks); 0 while none runs.
  std::atomic<i64> busySince_{0};
  // Requests running (under busyMutex_), and those of them beside the reader.
  std::mutex busyMutex_;
  std::condition_variable sideDone_;
  u32 busy_ = 0;
  u32 beside_ = 0;
  // The last keep-alive note; used by the server's loop only.
  std::chrono::steady_clock::time_point lastNote_{};
  std::atomic<bool> shutdown_{false};
  // Bytes received ahead of the reader.
  std::vector<u8> inBuffer_;
  size_t inStart_ = 0;
  size_t inEnd_ = 0;
};

}  // namespace PymDaemonSrv
