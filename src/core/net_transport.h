// Stream connections: the abstract transport and plain TCP.
#pragma once

#include <atomic>

#include "core/transport_limits.h"
#include "qel/types.h"

class NetTransport {
 public:
  NetTransport() = default;
  NetTransport(const NetTransport&) = delete;
  NetTransport& operator=(const NetTransport&) = delete;

  // Up to `length` bytes; the count, 0 when the peer closed, negative on failure.
  virtual int Recv(void* buffer, u32 length) = 0;
  // As Recv, leaving the bytes queued.
  virtual int Peek(void* buffer, u32 length) = 0;
  // The count sent, negative on failure.
  virtual int Send(const void* buffer, u32 length) = 0;
  virtual void Close() = 0;
  // A new transport of the same kind to the same host on `port`; null where the kind cannot.
  virtual NetTransport* Connect(u16 port) = 0;
  virtual ~NetTransport() = default;
  // True when received bytes wait to be read.
  virtual bool BytesAvailable() { return true; }
};

// Connects at construction; check GetState() and GetSocket() before use. The object takes no
// lock of its own, but Close from another thread is safe: it wakes a Recv or Send blocked in a
// second thread, and the socket is closed only once no call is still using it.
class TCPTransport : public NetTransport {
 public:
  static constexpr u32 kConnected = 0;
  static constexpr u32 kNotConnected = 2;
  static constexpr u32 kClosed = 5;
  static constexpr u32 kFailed = 7;

  // A null host counts as empty.
  TCPTransport(const char* host, u16 port);
  ~TCPTransport() override;

  int Recv(void* buffer, u32 length) override;
  int Peek(void* buffer, u32 length) override;
  // A peer that has gone fails the send (and the transport); it never raises SIGPIPE.
  int Send(const void* buffer, u32 length) override;
  void Close() override;
  NetTransport* Connect(u16 port) override;
  bool BytesAvailable() override;
  // Waits up to `ms` for bytes to read, or for the peer's close or a failure, which the next
  // Recv tells; false when the time passed without either.
  bool WaitReadable(u32 ms);

  u32 GetState() const { return state_.load(); }
  // Moves a connected transport to the failed state; any other state is kept.
  void MarkFailed();
  // -1 when there is none.
  int GetSocket() const { return socket_.load(); }
  const char* GetHost() const { return host_; }
  u16 GetPort() const { return port_; }

 private:
  int Receive(void* buffer, u32 length, int flags);
  void CloseSocket();

  std::atomic<u32> state_{kConnected};
  std::atomic<int> socket_{-1};
  char host_[kHostBufferSize];
  u16 port_;
  // Calls between reading the socket and leaving the system call.
  std::atomic<u32> inFlight_{0};
};
