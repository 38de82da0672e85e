#include "platform/datagram_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace Platform {

namespace {

sockaddr_in ToSockaddr(const DatagramAddress& address) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = address.port;
  out.sin_addr.s_addr = address.host;
  return out;
}

}  // namespace

DatagramAddress LoopbackAddress(std::uint16_t port) {
  return DatagramAddress{htonl(INADDR_LOOPBACK), htons(port)};
}

int OpenDatagramSocket(const DatagramAddress& local, int bufferBytes) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return -1;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    close(fd);
    return -1;
  }
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
  const sockaddr_in address = ToSockaddr(local);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void CloseDatagramSocket(int fd) {
  if (fd >= 0) close(fd);
}

DatagramAddress DatagramLocalAddress(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return DatagramAddress{address.sin_addr.s_addr, address.sin_port};
}

ssize_t SendDatagram(int fd, const void* data, std::size_t size, const DatagramAddress& to) {
  const sockaddr_in address = ToSockaddr(to);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const ssize_t sent = sendto(fd, data, size, MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (sent >= 0) return sent;
    if (errno != EINTR) break;
  }
  return -1;
}

DatagramRead ReceiveDatagram(int fd, void* buffer, std::size_t capacity) {
  DatagramRead read;
  for (int attempt = 0; attempt < 2; ++attempt) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    // MSG_TRUNC makes the result the datagram's full length, so a cut one is recognised.
    const ssize_t got = recvfrom(fd, buffer, capacity, MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (got >= 0) {
      read.status = DatagramRead::kReceived;
      read.length = std::size_t(got);
      if (fromLength >= sizeof from && from.sin_family == AF_INET)
        read.from = DatagramAddress{from.sin_addr.s_addr, from.sin_port};
      return read;
    }
    if (errno == EINTR) continue;
    read.status =
        errno == EAGAIN || errno == EWOULDBLOCK ? DatagramRead::kNothing : DatagramRead::kFailed;
    return read;
  }
  return read;
}

}  // namespace Platform
