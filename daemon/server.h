// The loopback listener: accepts clients, gives each its own connection, and on Stop ends every
// connection and waits for it before Run returns.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "daemon/connection.h"
#include "qel/types.h"

namespace PymDaemonSrv {

class RequestHandlers;

class Server : private ConnectionListener {
 public:
  explicit Server(RequestHandlers& handlers);
  ~Server() override;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds 127.0.0.1 at `port` (0: a free port of the system's choice) and listens.
  bool Listen(u16 port, std::string* error);
  u16 Port() const { return port_; }

  // Called once on the thread of Run when stopping begins, before any connection is closed.
  void SetStoppingHook(std::function<void()> hook) { stoppingHook_ = std::move(hook); }

  // Serves until Stop (or a close request); then closes the listener, ends every connection and
  // waits for their threads.
  void Run();
  // Safe from any thread and from a signal handler.
  void Stop();

 private:
  void OnCloseRequested() override { Stop(); }
  void OnConnectionFinished() override;
  void Wake();
  void ReapFinished();

  RequestHandlers& handlers_;
  int listenFd_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  u16 port_ = 0;
  std::atomic<bool> stopping_{false};
  std::function<void()> stoppingHook_;
  std::mutex connectionsMutex_;
  std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace PymDaemonSrv
