#include "daemon/server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "platform/byte_order.h"
#include "pymclient/pym_protocol.h"
#include "qel/log.h"

namespace PymDaemonSrv {

namespace {

namespace pp = PymProtocol;

Qel::Log& DaemonLog() { return Qel::Log::Get("PymDaemon"); }

// Said rather than shown by a bare close, which a tool takes for a refusal of its store: it waits
// and tries again. One write that never waits, into the fresh socket's empty buffer; a peer gone
// already learns nothing it needs.
void SayBusy(int fd) {
  u8 busy[pp::kHandshakeAnswerSize] = {};
  ByteOrder::StoreLE32(busy, pp::kTagBusy);
  (void)send(fd, busy, sizeof busy, MSG_DONTWAIT | MSG_NOSIGNAL);
}

constexpr auto kShortageLogInterval = std::chrono::minutes(1);
// The listener looks for long-running requests this often.
constexpr int kKeepAliveSweepMs = 1000;

// Accept failures that last until something else lets go of a resource.
bool IsResourceShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Descriptors kept free for the work of requests (the store's journal, fetched files, the log's
// rotation, the sanitizers' own checks) when connections are many.
constexpr u32 kDescriptorReserve = 16;

u32 OpenDescriptors() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return 0;
  u32 count = 0;
  while (const dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(folder);
  return count > 0 ? count - 1 : 0;  // less the folder's own
}

// A crowd of peers meets a refusal rather than a daemon that cannot open its own files: the
// connections served at once fit in the descriptors left beyond those held now and the reserve.
u32 ConnectionsThatFit(u32 wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return wanted;
  const u64 held = u64(OpenDescriptors()) + kDescriptorReserve;
  const u64 left = limit.rlim_cur > held ? limit.rlim_cur - held : 0;
  return u32(std::min<u64>(std::max<u64>(left, 1), wanted));
}

}  // namespace

Server::Server(RequestHandlers& handlers, ConnectionPolicy policy, u32 maxConnections)
    : handlers_(handlers),
      policy_(std::move(policy)),
      listener_{[this] { Stop(); }, [this] { Wake(); }},
      maxConnections_(ConnectionsThatFit(maxConnections)) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
  }
  if (maxConnections_ < maxConnections) {
    DaemonLog().Printf(Qel::Log::kMessage,
                       "PymDaemon> open-file limit allows %u connections at once, not %u",
                       maxConnections_, maxConnections);
  }
}

Server::~Server() {
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    for (auto& c : connections_) c->Shutdown();
  }
  // Destroying a connection joins its thread, which may still call back into this object.
  std::vector<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    connections.swap(connections_);
  }
  connections.clear();
  if (listenFd_ >= 0) close(listenFd_);
  if (wakeRead_ >= 0) close(wakeRead_);
  if (wakeWrite_ >= 0) close(wakeWrite_);
}

bool Server::Listen(u16 port, std::string* error) {
  auto fail = [&](const char* what) {
    if (error != nullptr) *error = std::string(what) + ": " + std::strerror(errno);
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
    return false;
  };
  if (wakeRead_ < 0) return fail("pipe");
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return fail("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return fail("bind");
  }
  if (listen(listenFd_, SOMAXCONN) != 0) return fail("listen");
  socklen_t length = sizeof address;
  if (getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return fail("getsockname");
  }
  port_ = ntohs(address.sin_port);
  return true;
}

void Server::Wake() {
  if (wakeWrite_ < 0) return;
  const char byte = 1;
  // A full pipe already holds a wake-up.
  while (write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
  }
}

void Server::Stop() {
  stopping_.store(true);
  Wake();
}

void Server::ReapFinished() {
  std::vector<std::unique_ptr<Connection>> done;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if ((*it)->IsFinished()) {
        done.push_back(std::move(*it));
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Joined outside the lock: a finishing thread calls back into OnConnectionFinished.
  done.clear();
}

void Server::SendKeepAlives() {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(connectionsMutex_);
  for (auto& c : connections_) c->KeepAliveIfBusy(now);
}

void Server::Pause(u32 ms) {
  pollfd wake{wakeRead_, POLLIN, 0};
  poll(&wake, 1, int(ms));
}

bool Server::IsPeerOwner(int fd) {
  if (!policy_.ownerOnly) return true;
  uid_t owner = 0;
  return peers_.Find(fd, owner) && owner == geteuid();
}

void Server::Admit(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  size_t open;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    open = connections_.size();
  }
  if (open >= maxConnections_) {
    ReapFinished();
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    open = connections_.size();
  }
  if (open >= maxConnections_) {
    if (!refusingLogged_) {
      DaemonLog().Printf(Qel::Log::kError,
                         "PymDaemon> %u connections open; further connections refused",
                         maxConnections_);
      refusingLogged_ = true;
    }
    SayBusy(fd);
    close(fd);
    return;
  }
  if (!IsPeerOwner(fd)) {
    DaemonLog().Printf(Qel::Log::kMessage, "PymDaemon> connection of another user refused");
    close(fd);
    return;
  }
  auto connection = std::make_unique<Connection>(fd, handlers_, listener_, policy_);
  try {
    connection->Start();
  } catch (const std::system_error& e) {
    if (!refusingLogged_) {
      DaemonLog().Printf(Qel::Log::kError, "PymDaemon> no thread for a connection (%s); refused",
                         e.what());
      refusingLogged_ = true;
    }
    SayBusy(fd);
    return;  // The connection closes its socket.
  }
  refusingLogged_ = false;
  std::lock_guard<std::mutex> lock(connectionsMutex_);
  connections_.push_back(std::move(connection));
}

void Server::Run() {
  if (listenFd_ < 0) return;
  u32 backoffMs = 0;
  while (!stopping_.load()) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    const int ready = poll(fds, 2, kKeepAliveSweepMs);
    const int pollError = errno;
    SendKeepAlives();
    if (tickHook_) tickHook_();
    if (ready < 0) {
      if (pollError == EINTR) continue;
      DaemonLog().Printf(Qel::Log::kError, "PymDaemon> poll failed: %s", std::strerror(pollError));
      break;
    }
    if (fds[1].revents != 0) {
      char sink[64];
      while (read(wakeRead_, sink, sizeof sink) > 0) {
      }
      ReapFinished();
    }
    if (stopping_.load()) break;
    if (fds[0].revents & POLLIN) {
      const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        backoffMs = 0;
        Admit(fd);
      } else if (IsResourceShortage(errno)) {
        // The waiting peer stays queued and the listener stays readable: without a pause this
        // loop would spin. A shortage comes and goes with every connection that ends, so it is
        // reported at most once a minute.
        const auto now = std::chrono::steady_clock::now();
        if (!shortageLogged_ || now - lastShortageLog_ >= kShortageLogInterval) {
          DaemonLog().Printf(Qel::Log::kError, "PymDaemon> cannot accept connections: %s",
                             std::strerror(errno));
          shortageLogged_ = true;
          lastShortageLog_ = now;
        }
        backoffMs = backoffMs == 0 ? kAcceptBackoffFirstMs
                                   : std::min(backoffMs * 2, kAcceptBackoffLongestMs);
        Pause(backoffMs);
      }
    }
  }

  if (stoppingHook_) stoppingHook_();
  close(listenFd_);
  listenFd_ = -1;
  std::vector<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    connections.swap(connections_);
  }
  for (auto& c : connections) c->Shutdown();
  connections.clear();
}

}  // namespace PymDaemonSrv
