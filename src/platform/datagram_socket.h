// Non-blocking IPv4 datagram sockets: open with the options the online transport needs, send to
// an address, and read one datagram with its real length.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace Platform {

// An IPv4 address and port, both in network byte order.
struct DatagramAddress {
  std::uint32_t host = 0;
  std::uint16_t port = 0;

  bool operator==(const DatagramAddress& o) const { return host == o.host && port == o.port; }
};

// 127.0.0.1 with the given port (host byte order).
DatagramAddress LoopbackAddress(std::uint16_t port);

// Makes a non-blocking, close-on-exec UDP socket with both buffers of `bufferBytes`, bound to
// `local` (port 0 takes any free port). The address is never shared: two sockets on one port
// would split its datagrams between them, so a port in use fails. The descriptor, or -1 when any
// step but the buffer sizes failed; nothing stays open then.
int OpenDatagramSocket(const DatagramAddress& local, int bufferBytes);
void CloseDatagramSocket(int fd);

// The address the socket is bound to; port 0 when it cannot be read.
DatagramAddress DatagramLocalAddress(int fd);

// Sends one datagram. The count sent, or -1 when the socket refused it (a full buffer
// included: datagrams are not queued here). A signal that interrupts the call is retried once.
ssize_t SendDatagram(int fd, const void* data, std::size_t size, const DatagramAddress& to);

struct DatagramRead {
  enum Status { kReceived, kNothing, kFailed };
  Status status = kNothing;
  // The datagram's real length, which exceeds the buffer when it was cut short.
  std::size_t length = 0;
  DatagramAddress from;

  bool Truncated(std::size_t capacity) const { return status == kReceived && length > capacity; }
};

// Reads one waiting datagram into `buffer`; never blocks. kNothing when none waits (or a
// signal interrupted the call twice), kFailed on any other error.
DatagramRead ReceiveDatagram(int fd, void* buffer, std::size_t capacity);

}  // namespace Platform
