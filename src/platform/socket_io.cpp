#include "platform/socket_io.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

namespace Platform {

namespace {

// Milliseconds left until `deadline`, at least 0; -1 (no limit) for the largest time point.
int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  if (deadline == std::chrono::steady_clock::time_point::max()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return int(std::clamp<long long>(left.count(), 0, 1LL << 30));
}

}  // namespace

bool SendAll(int fd, const void* data, std::size_t size, const void* more, std::size_t moreSize) {
  return SendAllBy(fd, data, size, more, moreSize, std::chrono::steady_clock::time_point::max(),
                   nullptr) == SendResult::kSent;
}

SendResult SendAllBy(int fd, const void* data, std::size_t size, const void* more,
                     std::size_t moreSize, std::chrono::steady_clock::time_point deadline,
                     bool* partial) {
  const bool limited = deadline != std::chrono::steady_clock::time_point::max();
  if (partial != nullptr) *partial = false;
  iovec parts[2] = {{const_cast<void*>(data), size}, {const_cast<void*>(more), moreSize}};
  int first = 0;
  int count = moreSize != 0 ? 2 : 1;
  while (first < count && parts[first].iov_len == 0) ++first;
  while (first < count) {
    if (limited) {
      pollfd p{fd, POLLOUT, 0};
      const int ready = poll(&p, 1, MillisecondsLeft(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return SendResult::kFailed;
      if (ready == 0) return SendResult::kTimedOut;
    }
    msghdr message{};
    message.msg_iov = parts + first;
    message.msg_iovlen = std::size_t(count - first);
    ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL | (limited ? MSG_DONTWAIT : 0));
    if (sent < 0 && (errno == EINTR || (limited && (errno == EAGAIN || errno == EWOULDBLOCK)))) {
      continue;
    }
    // Nothing sent of a non-empty rest is a failure too, never a reason to spin.
    if (sent <= 0) return SendResult::kFailed;
    if (partial != nullptr) *partial = true;
    while (first < count && std::size_t(sent) >= parts[first].iov_len) {
      sent -= ssize_t(parts[first].iov_len);
      ++first;
    }
    if (first < count) {
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + sent;
      parts[first].iov_len -= std::size_t(sent);
    }
  }
  if (partial != nullptr) *partial = false;
  return SendResult::kSent;
}

bool ReceiveAll(int fd, void* data, std::size_t size, bool* peerClosed) {
  char* at = static_cast<char*>(data);
  if (peerClosed != nullptr) *peerClosed = false;
  while (size > 0) {
    const ssize_t got = ReceiveSome(fd, at, size);
    if (got <= 0) {
      if (peerClosed != nullptr) *peerClosed = got == 0;
      return false;
    }
    at += got;
    size -= std::size_t(got);
  }
  return true;
}

ssize_t ReceiveSome(int fd, void* data, std::size_t size) {
  ssize_t got;
  do {
    got = recv(fd, data, size, 0);
  } while (got < 0 && errno == EINTR);
  return got;
}

AskResult AskLoopback(std::uint16_t port, const void* request, std::size_t requestSize,
                      void* answer, std::size_t answerSize, std::uint32_t limitMs) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return AskResult::kRefused;
  const timeval limit{time_t(limitMs / 1000), suseconds_t(limitMs % 1000 * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int rc;
  while ((rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address)) != 0 &&
         errno == EINTR) {
  }
  AskResult result = AskResult::kRefused;
  if (rc == 0) {
    result = SendAll(fd, request, requestSize) && ReceiveAll(fd, answer, answerSize)
                 ? AskResult::kAnswered
                 : AskResult::kSilent;
  }
  close(fd);
  return result;
}

}  // namespace Platform
