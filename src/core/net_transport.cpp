#include "core/net_transport.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "core/networking.h"

namespace {

// Counts a call as using the socket for as long as it lives; the last one out wakes a closer
// waiting for the count to reach 0.
class InFlight {
 public:
  explicit InFlight(std::atomic<u32>& count) : count_(count) { count_.fetch_add(1); }
  ~InFlight() {
    if (count_.fetch_sub(1) == 1) count_.notify_all();
  }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

 private:
  std::atomic<u32>& count_;
};

size_t ClampLength(u32 length) { return length > INT_MAX ? INT_MAX : length; }

// A connect interrupted by a signal goes on in the background; wait for its outcome.
bool ConnectSocket(int fd, const sockaddr_in& address) {
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return true;
  if (errno != EINTR) return false;
  pollfd p{fd, POLLOUT, 0};
  while (poll(&p, 1, -1) < 0) {
    if (errno != EINTR) return false;
  }
  int error = 0;
  socklen_t size = sizeof(error);
  return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

}  // namespace

TCPTransport::TCPTransport(const char* host, u16 port) : port_(port) {
  host_[0] = '\0';
  const char* name = host ? host : "";
  const size_t length = strnlen(name, kHostBufferSize);
  if (length >= kHostBufferSize) {
    state_.store(kNotConnected);
    return;
  }
  std::memcpy(host_, name, length + 1);
  sockaddr_in address;
  if (!ResolveHost(Qel::String(host_), port, &address)) {
    state_.store(kNotConnected);
    return;
  }
  // Close-on-exec: processes we start must not keep our connections open.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    state_.store(kNotConnected);
    return;
  }
  if (!ConnectSocket(fd, address)) {
    close(fd);
    state_.store(kNotConnected);
    return;
  }
  socket_.store(fd);
}

TCPTransport::~TCPTransport() { CloseSocket(); }

void TCPTransport::MarkFailed() {
  u32 expected = kConnected;
  state_.compare_exchange_strong(expected, kFailed);
}

int TCPTransport::Receive(void* buffer, u32 length, int flags) {
  InFlight use(inFlight_);
  const int fd = socket_.load();
  ssize_t n = -1;
  if (fd >= 0) {
    do {
      n = recv(fd, buffer, ClampLength(length), flags);
    } while (n < 0 && errno == EINTR);
  }
  if (n < 0) MarkFailed();
  return static_cast<int>(n);
}

int TCPTransport::Recv(void* buffer, u32 length) { return Receive(buffer, length, 0); }

int TCPTransport::Peek(void* buffer, u32 length) { return Receive(buffer, length, MSG_PEEK); }

int TCPTransport::Send(const void* buffer, u32 length) {
  InFlight use(inFlight_);
  const int fd = socket_.load();
  ssize_t n = -1;
  if (fd >= 0) {
    do {
      n = send(fd, buffer, ClampLength(length), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
  }
  if (n < 0) MarkFailed();
  return static_cast<int>(n);
}

void TCPTransport::Close() {
  state_.store(kClosed);
  CloseSocket();
}

void TCPTransport::CloseSocket() {
  const int fd = socket_.exchange(-1);
  if (fd < 0) return;
  // Wakes a call blocked on the socket in another thread; a plain close would not.
  shutdown(fd, SHUT_RDWR);
  // Closing while a call still uses the number could hand that call a reused descriptor. The
  // shutdown above ends a blocked call at once, so this wait is short; it is woken, not polled.
  for (u32 n = inFlight_.load(); n != 0; n = inFlight_.load()) inFlight_.wait(n);
  close(fd);
}

NetTransport* TCPTransport::Connect(u16 port) { return new TCPTransport(host_, port); }

bool TCPTransport::WaitReadable(u32 ms) {
  InFlight use(inFlight_);
  const int fd = socket_.load();
  if (fd < 0) return true;
  pollfd p{fd, POLLIN, 0};
  const int r = poll(&p, 1, ms > u32(INT_MAX) ? INT_MAX : int(ms));
  // A signal ends the wait early, as a time that passed: the caller waits again.
  return r > 0 || (r < 0 && errno != EINTR);
}

bool TCPTransport::BytesAvailable() {
  InFlight use(inFlight_);
  const int fd = socket_.load();
  int count = 0;
  return fd >= 0 && ioctl(fd, FIONREAD, &count) == 0 && count > 0;
}
