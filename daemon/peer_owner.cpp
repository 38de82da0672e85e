#include "daemon/peer_owner.h"

#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

PeerOwnerFinder::PeerOwnerFinder()
    : netlink_(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)),
      spare_(open("/dev/null", O_RDONLY | O_CLOEXEC)) {
  // An answer that never comes must not hold up the listener.
  const timeval limit{1, 0};
  if (netlink_ >= 0) setsockopt(netlink_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

PeerOwnerFinder::~PeerOwnerFinder() {
  if (netlink_ >= 0) close(netlink_);
  if (spare_ >= 0) close(spare_);
}

bool PeerOwnerFinder::AskKernel(const sockaddr_in& peer, const sockaddr_in& self, uid_t& owner) {
  if (netlink_ < 0) return false;
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } question{};
  question.header.nlmsg_len = sizeof question;
  question.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  // Without a dump flag the kernel looks up exactly the one socket.
  question.header.nlmsg_flags = NLM_F_REQUEST;
  question.header.nlmsg_seq = 1;
  question.request.sdiag_family = AF_INET;
  question.request.sdiag_protocol = IPPROTO_TCP;
  question.request.idiag_states = ~0u;
  // The peer's socket: its local end is our peer, its remote end is us.
  question.request.id.idiag_sport = peer.sin_port;
  question.request.id.idiag_dport = self.sin_port;
  question.request.id.idiag_src[0] = peer.sin_addr.s_addr;
  question.request.id.idiag_dst[0] = self.sin_addr.s_addr;
  question.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  question.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(netlink_, &question, sizeof question, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) != ssize_t(sizeof question)) {
    return false;
  }
  alignas(nlmsghdr) char answer[8192];
  const ssize_t got = recv(netlink_, answer, sizeof answer, 0);
  if (got < 0) return false;
  size_t left = size_t(got);
  for (auto* m = reinterpret_cast<nlmsghdr*>(answer); NLMSG_OK(m, left); m = NLMSG_NEXT(m, left)) {
    if (m->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        m->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      continue;
    }
    const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(m));
    if (diag->id.idiag_sport == peer.sin_port && diag->id.idiag_dport == self.sin_port &&
        diag->id.idiag_src[0] == peer.sin_addr.s_addr) {
      owner = uid_t(diag->idiag_uid);
      return true;
    }
  }
  return false;
}

bool PeerOwnerFinder::Find(int fd, uid_t& owner) {
  sockaddr_in peer{};
  sockaddr_in self{};
  socklen_t peerLength = sizeof peer;
  socklen_t selfLength = sizeof self;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&self), &selfLength) != 0 ||
      peer.sin_family != AF_INET || self.sin_family != AF_INET) {
    return false;
  }
  if (AskKernel(peer, self, owner)) return true;
  if (spare_ >= 0) {
    close(spare_);
    spare_ = -1;
  }
  const bool found = SearchTable("/proc/net/tcp", peer, self, owner) ||
                     SearchTable("/proc/net/tcp6", peer, self, owner);
  spare_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
  return found;
}

}  // namespace PymDaemonSrv
