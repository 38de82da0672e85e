// The loopback listener: accepts clients, gives each its own connection, and on Stop ends every
// connection and waits for it before Run returns.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "daemon/connection.h"
#include "daemon/daemon_limits.h"
#include "daemon/peer_owner.h"
#include "qel/types.h"

namespace PymDaemonSrv {

class RequestHandlers;

class Server {
 public:
  explicit Server(RequestHandlers& handlers, ConnectionPolicy policy = ConnectionPolicy(),
                  u32 maxConnections = kDefaultMaxConnections);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds 127.0.0.1 at `port` (0: a free port of the system's choice) and listens.
  bool Listen(u16 port, std::string* error);
  u16 Port() const { return port_; }

  // Called once on the thread of Run when stopping begins, before any connection is closed.
  void SetStoppingHook(std::function<void()> hook) { stoppingHook_ = std::move(hook); }
  // Called on the thread of Run at least once a second while serving (after every wake-up).
  void SetTickHook(std::function<void()> hook) { tickHook_ = std::move(hook); }

  // Serves until Stop (or a close request); then closes the listener, ends every connection and
  // waits for their threads.
  void Run();
  // Safe from any thread and from a signal handler.
  void Stop();

 private:
  void Wake();
  void ReapFinished();
  // Takes over an accepted socket: serves it on a thread of its own, or closes it when the cap is
  // reached or no thread can be had.
  void Admit(int fd);
  // Keep-alive notes for the requests that have been running long.
  void SendKeepAlives();
  // Whether the peer of an accepted socket runs as this process's user.
  bool IsPeerOwner(int fd);
  // Waits for `ms` or a wake-up, whichever comes first.
  void Pause(u32 ms);

  RequestHandlers& handlers_;
  const ConnectionPolicy policy_;
  const ConnectionListener listener_;
  const u32 maxConnections_;
  // Refusals are logged once per episode, not once per connection.
  bool refusingLogged_ = false;
  bool shortageLogged_ = false;
  std::chrono::steady_clock::time_point lastShortageLog_;
  int listenFd_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  PeerOwnerFinder peers_;
  u16 port_ = 0;
  std::atomic<bool> stopping_{false};
  std::function<void()> stoppingHook_;
  std::function<void()> tickHook_;
  std::mutex connectionsMutex_;
  std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace PymDaemonSrv
