// Which local user a loopback peer runs as: the owner of the peer's socket in the kernel's table
// of TCP sockets, found by the connection's two addresses. The kernel is asked for that one
// socket over a socket-diagnostics netlink socket opened once; where that is not to be had, the
// text tables /proc/net/tcp and tcp6 are searched.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

namespace PymDaemonSrv {

class PeerOwnerFinder {
 public:
  PeerOwnerFinder();
  ~PeerOwnerFinder();
  PeerOwnerFinder(const PeerOwnerFinder&) = delete;
  PeerOwnerFinder& operator=(const PeerOwnerFinder&) = delete;

  // The user id of the process at the far end of the connected loopback socket `fd`. False when
  // the peer's socket is not found (it closed, or it is not on this machine). Works with no
  // descriptor left to the process. One thread at a time.
  bool Find(int fd, uid_t& owner);

 private:
  bool AskKernel(const sockaddr_in& peer, const sockaddr_in& self, uid_t& owner);

  int netlink_ = -1;
  // Held in reserve for reading the text tables when descriptors run out.
  int spare_ = -1;
};

}  // namespace PymDaemonSrv
