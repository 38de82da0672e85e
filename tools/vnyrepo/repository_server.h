// The stand-in repository's HTTP side: a loopback listener whose one thread reads every peer's
// request and writes every answer without blocking, and a fixed pool of worker threads that only
// make answers. A peer that reads its answer slowly therefore holds no worker. It answers GET for
// the search path, "/packages/<name>" and "/banners/<name>"; everything else is 404. Peers that
// stay silent, or take longer than their time, are dropped.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
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
  // Peers served at once (reading, waiting for a worker or taking their answer); more are closed
  // at once.
  u32 connectionLimit = 64;
  u32 silenceSeconds = 10;
  // The whole answer must go out within this: a peer that reads slowly would otherwise stay for
  // as long as it keeps taking a few bytes within each silence limit.
  u32 answerSeconds = 120;
  std::string logPath;
};

// What goes back to a peer: the head (and a text body), then a file's bytes as the peer takes
// them.
struct Answer {
  std::string bytes;
  int file = -1;
  off_t fileLeft = 0;
  // Names the answer in the log.
  std::string what;
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
  using Clock = std::chrono::steady_clock;
  struct Connection {
    enum class Phase { kReading, kWorking, kWriting };
    int fd = -1;
    Phase phase = Phase::kReading;
    std::string head;
    Answer answer;
    size_t sent = 0;
    // Reading: when the whole head must have come; writing: when the whole answer must be gone.
    Clock::time_point deadline;
    // Writing: when the peer last took a byte.
    Clock::time_point lastProgress;
  };
  struct Job {
    u64 id = 0;
    std::string head;
  };

  void Work();
  Answer Prepare(const std::string& head);
  Answer TextAnswer(int status, const char* reason, const std::string& body);
  Answer FileAnswer(const std::string& path);

  void Accept(int& backoffMs, Clock::time_point& pausedUntil);
  void TakeFinished();
  void StartWriting(Connection& connection, Answer answer);
  // Both return false when the connection is over.
  bool ReadHead(u64 id, Connection& connection);
  bool WriteAnswer(Connection& connection);
  // Drops the connections past their time; the poll wait until the next one is due.
  int DropLateOnes();
  void Close(Connection& connection);

  const ServerOptions options_;
  PymDaemonSrv::RepositoryIndex index_;
  int listenFd_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  u16 port_ = 0;
  std::atomic<bool> stopping_{false};
  // Owned by the thread in Run.
  std::map<u64, Connection> connections_;
  u64 nextId_ = 0;
  // Shared with the workers.
  std::mutex queueMutex_;
  std::condition_variable queueReady_;
  std::deque<Job> jobs_;
  std::deque<std::pair<u64, Answer>> finished_;
  std::vector<std::thread> workers_;
  std::mutex logMutex_;
  FILE* log_ = nullptr;
};

}  // namespace VnyRepo
