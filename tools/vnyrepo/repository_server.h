// The stand-in repository's HTTP side: a loopback listener, a fixed pool of worker threads and a
// bounded queue of accepted peers. It answers GET for the search path, "/packages/<name>" and
// "/banners/<name>"; everything else is 404. Peers that stay silent are dropped.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "daemon/repository_index.h"

namespace VnyRepo {

struct ServerOptions {
  std::string repository;
  u16 port = 0;
  u32 threads = 4;
  // Accepted peers waiting for a worker; more are closed at once.
  u32 queueLimit = 64;
  u32 silenceSeconds = 10;
  // The whole answer must go out within this: a peer that reads slowly would otherwise hold a
  // worker for as long as it keeps taking a few bytes within each silence limit.
  u32 answerSeconds = 120;
  std::string logPath;
};

class RepositoryServer {
 public:
  explicit RepositoryServer(const ServerOptions& options);
  ~RepositoryServer();
  RepositoryServer(const RepositoryServer&) = delete;
  RepositoryServer& operator=(const RepositoryServer&) = delete;

  // Binds 127.0.0.1; false with a message.
  bool Listen(std::string& error);
  u16 Port() const { return port_; }
  // Serves until Stop.
  void Run();
  // Safe from a signal handler.
  void Stop();

  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  void Work();
  void Serve(int fd);
  // Both give up at `deadline`, the end of the answer's time.
  void SendText(int fd, int status, const char* reason, const std::string& body,
                std::chrono::steady_clock::time_point deadline);
  void SendFile(int fd, const std::string& path, std::chrono::steady_clock::time_point deadline);

  const ServerOptions options_;
  PymDaemonSrv::RepositoryIndex index_;
  int listenFd_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  u16 port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex queueMutex_;
  std::condition_variable queueReady_;
  std::deque<int> queue_;
  std::vector<std::thread> workers_;
  std::mutex logMutex_;
  FILE* log_ = nullptr;
};

}  // namespace VnyRepo
