// One client connection: a reader thread that shakes hands, reads request frames and answers
// them, and a write lock that keeps every outgoing message whole.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "qel/types.h"

namespace PymDaemonSrv {

class RequestHandlers;

class ConnectionListener {
 public:
  virtual ~ConnectionListener() = default;
  // A client asked the daemon to close; called after that request's reply was sent.
  virtual void OnCloseRequested() = 0;
  // The reader thread is about to end.
  virtual void OnConnectionFinished() = 0;
};

class Connection {
 public:
  // Takes over the connected socket.
  Connection(int fd, RequestHandlers& handlers, ConnectionListener& listener);
  // Ends the connection, waits for its thread and closes the socket.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Start();
  // Wakes a blocked read and lets the thread end; safe from any thread, any number of times.
  void Shutdown();
  void Join();
  bool IsFinished() const { return finished_.load(); }

 private:
  void Run();
  bool Handshake();
  // Serves frames until the goodbye word, a failure or a shutdown.
  void Serve();
  // Exactly n bytes; false when the peer closed or the socket failed.
  bool ReadExact(void* out, size_t n);
  bool ReadU32(u32& out);
  // A payload of `length` bytes, grown as the bytes arrive rather than allocated up front.
  bool ReadPayload(u32 length, std::vector<u8>& out);
  // One message: the three header words and the body, written under the write lock.
  bool SendMessage(u32 tag, u32 word, const u8* body, size_t size);

  const int fd_;
  RequestHandlers& handlers_;
  ConnectionListener& listener_;
  std::thread thread_;
  std::mutex writeMutex_;
  std::atomic<bool> finished_{false};
  std::atomic<bool> shutdown_{false};
  // Bytes received ahead of the reader.
  std::vector<u8> inBuffer_;
  size_t inStart_ = 0;
  size_t inEnd_ = 0;
};

}  // namespace PymDaemonSrv
