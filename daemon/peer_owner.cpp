#include "daemon/peer_owner.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace PymDaemonSrv {

namespace {

// "0100007F:1F90": the address as the kernel prints its 32-bit word, the port in host order.
struct Endpoint {
  u_int32_t address = 0;
  unsigned port = 0;
};

// An address of /proc/net/tcp (8 hex digits) or /proc/net/tcp6 (32, IPv4-mapped only).
bool ParseEndpoint(const char* text, Endpoint& out) {
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr) return false;
  const size_t length = size_t(colon - text);
  std::string hex;
  if (length == 8) {
    hex.assign(text, 8);
  } else if (length == 32 && std::strncmp(text, "0000000000000000FFFF0000", 24) == 0) {
    hex.assign(text + 24, 8);
  } else {
    return false;
  }
  char* end = nullptr;
  out.address = u_int32_t(std::strtoul(hex.c_str(), &end, 16));
  if (*end != '\0') return false;
  out.port = unsigned(std::strtoul(colon + 1, &end, 16));
  return end != colon + 1;
}

bool Same(const Endpoint& a, const sockaddr_in& b) {
  return a.address == b.sin_addr.s_addr && a.port == ntohs(b.sin_port);
}

bool SearchTable(const char* table, const sockaddr_in& peer, const sockaddr_in& self,
                 uid_t& owner) {
  FILE* file = std::fopen(table, "re");
  if (file == nullptr) return false;
  char line[512];
  bool found = false;
  // The header line fails to parse and is skipped like any other foreign line.
  while (!found && std::fgets(line, sizeof line, file) != nullptr) {
    char local[64];
    char remote[64];
    unsigned long uid = 0;
    if (std::sscanf(line, " %*s %63s %63s %*s %*s %*s %*s %lu", local, remote, &uid) != 3) {
      continue;
    }
    Endpoint l;
    Endpoint r;
    if (ParseEndpoint(local, l) && ParseEndpoint(remote, r) && Same(l, peer) && Same(r, self)) {
      owner = uid_t(uid);
      found = true;
    }
  }
  std::fclose(file);
  return found;
}

}  // namespace

bool FindPeerOwner(int fd, uid_t& owner) {
  sockaddr_in peer{};
  sockaddr_in self{};
  socklen_t peerLength = sizeof peer;
  socklen_t selfLength = sizeof self;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&self), &selfLength) != 0 ||
      peer.sin_family != AF_INET || self.sin_family != AF_INET) {
    return false;
  }
  return SearchTable("/proc/net/tcp", peer, self, owner) ||
         SearchTable("/proc/net/tcp6", peer, self, owner);
}

}  // namespace PymDaemonSrv
