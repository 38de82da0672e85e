// Which local user a loopback peer runs as: the owner of the peer's socket in the kernel's table
// of TCP sockets (/proc/net/tcp and tcp6), found by the connection's two addresses.
#pragma once

#include <sys/types.h>

namespace PymDaemonSrv {

// The user id of the process at the far end of the connected loopback socket `fd`. False when
// the peer's socket is not in the table (it closed, or it is not on this machine).
bool FindPeerOwner(int fd, uid_t& owner);

}  // namespace PymDaemonSrv
