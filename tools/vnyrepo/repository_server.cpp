#include "repository_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "repository_answer.h"
#include "repository_request.h"

namespace VnyRepo {

namespace {

constexpr size_t kFileChunk = 64 * 1024;
constexpr size_t kTurnBytes = 1024 * 1024;
// After a failed accept the listener waits before it tries again, doubling up to the longest.
constexpr int kAcceptBackoffFirstMs = 10;
constexpr int kAcceptBackoffLongestMs = 1000;

}  // namespace

RepositoryServer::RepositoryServer(const ServerOptions& options)
    : options_(options), index_(options.repository) {
  if (!options_.logPath.empty()) log_ = std::fopen(options_.logPath.c_str(), "a");
}

RepositoryServer::~RepositoryServer() {
  Stop();
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queueReady_.notify_all();
  }
  for (std::thread& worker : workers_) worker.join();
  for (auto& entry : connections_) Close(entry.second);
  for (auto& entry : finished_) {
    if (entry.second.file >= 0) close(entry.second.file);
  }
  for (const int fd : {listenFd_, wakeRead_, wakeWrite_}) {
    if (fd >= 0) close(fd);
  }
  if (log_ != nullptr) std::fclose(log_);
}

void RepositoryServer::Log(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  const std::time_t now = std::time(nullptr);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::gmtime(&now));
  std::lock_guard<std::mutex> lock(logMutex_);
  FILE* out = log_ != nullptr ? log_ : stderr;
  std::fprintf(out, "%s vnyrepo> %s\n", stamp, text);
  std::fflush(out);
}

bool RepositoryServer::Listen(std::string& error) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::strerror(errno);
    return false;
  }
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(options_.port);
  const int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  socklen_t length = sizeof address;
  if (listenFd_ < 0 ||
      bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, 64) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = std::strerror(errno);
    return false;
  }
  port_ = ntohs(address.sin_port);
  return true;
}

void RepositoryServer::Stop() {
  stopping_.store(true);
  if (wakeWrite_ >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(wakeWrite_, &byte, 1);
  }
}

void RepositoryServer::Run() {
  for (u32 i = 0; i < std::max<u32>(options_.threads, 1); ++i) {
    workers_.emplace_back([this] { Work(); });
  }
  int backoffMs = kAcceptBackoffFirstMs;
  Clock::time_point acceptPausedUntil;
  std::vector<pollfd> polled;
  std::vector<u64> ids;
  while (!stopping_.load()) {
    TakeFinished();
    const int waitMs = DropLateOnes();
    polled.clear();
    ids.clear();
    polled.push_back({wakeRead_, POLLIN, 0});
    // A negative descriptor is skipped by poll: the listener rests while accepting backs off.
    const auto now = Clock::now();
    int timeoutMs = waitMs;
    if (now < acceptPausedUntil) {
      timeoutMs = std::min<int>(
          timeoutMs,
          int(std::chrono::duration_cast<std::chrono::milliseconds>(acceptPausedUntil - now)
                  .count()) + 1);
    }
    polled.push_back({now >= acceptPausedUntil ? listenFd_ : -1, POLLIN, 0});
    for (const auto& [id, connection] : connections_) {
      if (connection.phase == Connection::Phase::kWorking) continue;
      const short events = connection.phase == Connection::Phase::kReading ? POLLIN : POLLOUT;
      polled.push_back({connection.fd, events, 0});
      ids.push_back(id);
    }
    if (poll(polled.data(), polled.size(), timeoutMs) < 0 && errno != EINTR) {
      Log("poll failed: %s", std::strerror(errno));
      break;
    }
    if (stopping_.load()) break;
    if ((polled[0].revents & POLLIN) != 0) {
      char drained[64];
      while (read(wakeRead_, drained, sizeof drained) > 0) {
      }
    }
    if ((polled[1].revents & POLLIN) != 0) Accept(backoffMs, acceptPausedUntil);
    for (size_t i = 0; i < ids.size(); ++i) {
      if (polled[i + 2].revents == 0) continue;
      auto it = connections_.find(ids[i]);
      Connection& connection = it->second;
      const bool going = connection.phase == Connection::Phase::kReading
                             ? ReadHead(it->first, connection)
                             : WriteAnswer(connection);
      if (!going) {
        Close(connection);
        connections_.erase(it);
      }
    }
  }
  std::lock_guard<std::mutex> lock(queueMutex_);
  stopping_.store(true);
  queueReady_.notify_all();
}

void RepositoryServer::Accept(int& backoffMs, Clock::time_point& pausedUntil) {
  const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) {
    if (errno == EINTR || errno == EAGAIN) return;
    Log("accept failed: %s; pausing %d ms", std::strerror(errno), backoffMs);
    pausedUntil = Clock::now() + std::chrono::milliseconds(backoffMs);
    backoffMs = std::min(backoffMs * 2, kAcceptBackoffLongestMs);
    return;
  }
  backoffMs = kAcceptBackoffFirstMs;
  if (connections_.size() >= std::max<u32>(options_.connectionLimit, 1)) {
    Log("%zu peers served already; one more closed", connections_.size());
    close(fd);
    return;
  }
  Connection connection;
  connection.fd = fd;
  // The whole head, not only each piece of it, must come within the silence limit: a peer that
  // trickles bytes would otherwise stay for hours.
  connection.deadline = Clock::now() + std::chrono::seconds(options_.silenceSeconds);
  connections_.emplace(nextId_++, std::move(connection));
}

void RepositoryServer::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(queueMutex_);
      queueReady_.wait(lock, [this] { return stopping_.load() || !jobs_.empty(); });
      if (stopping_.load()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    Answer answer = Prepare(job.head);
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      finished_.emplace_back(job.id, std::move(answer));
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(wakeWrite_, &byte, 1);
  }
}

void RepositoryServer::TakeFinished() {
  std::deque<std::pair<u64, Answer>> finished;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    finished.swap(finished_);
  }
  for (auto& [id, answer] : finished) {
    auto it = connections_.find(id);
    if (it == connections_.end()) {
      if (answer.file >= 0) close(answer.file);
      continue;
    }
    StartWriting(it->second, std::move(answer));
  }
}

void RepositoryServer::StartWriting(Connection& connection, Answer answer) {
  connection.phase = Connection::Phase::kWriting;
  connection.answer = std::move(answer);
  connection.sent = 0;
  connection.lastProgress = Clock::now();
  connection.deadline = connection.lastProgress + std::chrono::seconds(options_.answerSeconds);
}

bool RepositoryServer::ReadHead(u64 id, Connection& connection) {
  char buffer[1024];
  for (;;) {
    const ssize_t n = recv(connection.fd, buffer, sizeof buffer, 0);
    if (n == 0) return false;
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      Log("peer dropped: %s", std::strerror(errno));
      return false;
    }
    connection.head.append(buffer, size_t(n));
    const RequestHeadState state = CheckRequestHead(connection.head);
    if (state == RequestHeadState::kTooLarge) {
      Log("request head over %zu bytes refused", kMaxRequestHead);
      StartWriting(connection,
                   TextAnswer(431, "Request Header Fields Too Large", "request too large\n"));
      return true;
    }
    if (state == RequestHeadState::kComplete) {
      connection.phase = Connection::Phase::kWorking;
      std::lock_guard<std::mutex> lock(queueMutex_);
      jobs_.push_back(Job{id, std::move(connection.head)});
      queueReady_.notify_one();
      return true;
    }
  }
}

bool RepositoryServer::WriteAnswer(Connection& connection) {
  Answer& answer = connection.answer;
  // A fast peer takes a bounded share of each turn, so that the others are served too.
  for (size_t budget = kTurnBytes; budget > 0;) {
    if (connection.sent == answer.bytes.size()) {
      if (answer.fileLeft <= 0) return false;
      answer.bytes.resize(size_t(std::min<off_t>(answer.fileLeft, off_t(kFileChunk))));
      const ssize_t n = read(answer.file, answer.bytes.data(), answer.bytes.size());
      if (n <= 0) {
        Log("%s: read failed", answer.what.c_str());
        return false;
      }
      answer.bytes.resize(size_t(n));
      answer.fileLeft -= n;
      connection.sent = 0;
    }
    const ssize_t n = send(connection.fd, answer.bytes.data() + connection.sent,
                           answer.bytes.size() - connection.sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      Log("%s: answer not sent: %s", answer.what.c_str(), std::strerror(errno));
      return false;
    }
    connection.sent += size_t(n);
    connection.lastProgress = Clock::now();
    budget -= std::min(budget, size_t(n));
  }
  return true;
}

int RepositoryServer::DropLateOnes() {
  const auto now = Clock::now();
  auto next = now + std::chrono::seconds(1);
  for (auto it = connections_.begin(); it != connections_.end();) {
    Connection& connection = it->second;
    auto due = connection.deadline;
    if (connection.phase == Connection::Phase::kWriting) {
      due = std::min(due, connection.lastProgress + std::chrono::seconds(options_.silenceSeconds));
    }
    if (connection.phase == Connection::Phase::kWorking || now < due) {
      if (connection.phase != Connection::Phase::kWorking) next = std::min(next, due);
      ++it;
      continue;
    }
    if (connection.phase == Connection::Phase::kReading) {
      Log("peer too slow with its request; dropped");
    } else {
      Log("%s: peer too slow to take the answer; dropped", connection.answer.what.c_str());
    }
    Close(connection);
    it = connections_.erase(it);
  }
  return int(std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count()) + 1;
}

void RepositoryServer::Close(Connection& connection) {
  if (connection.answer.file >= 0) close(connection.answer.file);
  connection.answer.file = -1;
  shutdown(connection.fd, SHUT_RDWR);
  close(connection.fd);
  connection.fd = -1;
}

Answer RepositoryServer::TextAnswer(int status, const char* reason, const std::string& body) {
  Answer answer;
  answer.bytes = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                 "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  answer.what = reason;
  return answer;
}

Answer RepositoryServer::FileAnswer(const std::string& path) {
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  struct stat st {};
  if (file < 0 || fstat(file, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (file >= 0) close(file);
    return TextAnswer(404, "Not Found", "not found\n");
  }
  Answer answer;
  answer.bytes =
      "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
      "Content-Length: " +
      std::to_string(st.st_size) + "\r\nConnection: close\r\n\r\n";
  answer.file = file;
  answer.fileLeft = st.st_size;
  answer.what = path;
  return answer;
}

Answer RepositoryServer::Prepare(const std::string& head) {
  const RepositoryRequest request = ParseRequestHead(head);
  using Kind = RepositoryRequest::Kind;
  if (request.kind == Kind::kBadRequest) {
    Log("bad request line refused");
    return TextAnswer(400, "Bad Request", "only GET is served\n");
  }
  // Every request line goes to the log: which packages were fetched is what a user looks for.
  Log("%s", request.line.c_str());
  if (request.kind == Kind::kSearch) {
    std::vector<std::string> skipped;
    index_.Refresh(&skipped);
    for (const std::string& package : skipped) {
      Log("%s: not a readable package (or too large); not offered", package.c_str());
    }
    const auto findNewest = [this](const KUID& kuid, PymDaemonSrv::RepositoryAsset& out) {
      return index_.FindNewest(kuid, out);
    };
    return TextAnswer(200, "OK",
                      BuildSearchAnswer(findNewest, request.criteria, request.dependencyLevel,
                                        "http://127.0.0.1:" + std::to_string(port_)));
  }
  if (request.kind == Kind::kPackage || request.kind == Kind::kBanner) {
    return FileAnswer(options_.repository + "/" + request.name);
  }
  return TextAnswer(404, "Not Found", "not found\n");
}

}  // namespace VnyRepo
