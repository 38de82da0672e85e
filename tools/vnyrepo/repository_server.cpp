#include "repository_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "platform/socket_io.h"
#include "repository_answer.h"
#include "repository_request.h"

namespace VnyRepo {

namespace {

constexpr size_t kFileChunk = 64 * 1024;
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
  for (std::thread& worker : workers_) worker.join();
  for (const int fd : queue_) close(fd);
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
  while (!stopping_.load()) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (poll(p, 2, -1) < 0 && errno != EINTR) break;
    if (stopping_.load()) break;
    if ((p[0].revents & POLLIN) == 0) continue;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      Log("accept failed: %s; pausing %d ms", std::strerror(errno), backoffMs);
      poll(&p[1], 1, backoffMs);
      backoffMs = std::min(backoffMs * 2, kAcceptBackoffLongestMs);
      continue;
    }
    backoffMs = kAcceptBackoffFirstMs;
    const timeval limit{time_t(options_.silenceSeconds), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (queue_.size() >= options_.queueLimit) {
      Log("%zu peers waiting already; one more closed", queue_.size());
      close(fd);
      continue;
    }
    queue_.push_back(fd);
    queueReady_.notify_one();
  }
  std::lock_guard<std::mutex> lock(queueMutex_);
  stopping_.store(true);
  queueReady_.notify_all();
}

void RepositoryServer::Work() {
  for (;;) {
    int fd = -1;
    {
      std::unique_lock<std::mutex> lock(queueMutex_);
      queueReady_.wait(lock, [this] { return stopping_.load() || !queue_.empty(); });
      if (stopping_.load()) return;
      fd = queue_.front();
      queue_.pop_front();
    }
    Serve(fd);
    shutdown(fd, SHUT_RDWR);
    close(fd);
  }
}

namespace {

// Logs why an answer stopped short; true when it went out whole.
bool Sent(RepositoryServer& server, Platform::SendResult result, const char* what) {
  if (result == Platform::SendResult::kSent) return true;
  if (result == Platform::SendResult::kTimedOut) {
    server.Log("%s: peer too slow to take the answer; dropped", what);
  } else {
    server.Log("%s: answer not sent: %s", what, std::strerror(errno));
  }
  return false;
}

}  // namespace

void RepositoryServer::SendText(int fd, int status, const char* reason, const std::string& body,
                                std::chrono::steady_clock::time_point deadline) {
  const std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                           "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  Sent(*this,
       Platform::SendAllBy(fd, head.data(), head.size(), body.data(), body.size(), deadline,
                           nullptr),
       reason);
}

void RepositoryServer::SendFile(int fd, const std::string& path,
                                std::chrono::steady_clock::time_point deadline) {
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  struct stat st {};
  if (file < 0 || fstat(file, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (file >= 0) close(file);
    SendText(fd, 404, "Not Found", "not found\n", deadline);
    return;
  }
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
      "Content-Length: " +
      std::to_string(st.st_size) + "\r\nConnection: close\r\n\r\n";
  bool sent = Sent(*this,
                   Platform::SendAllBy(fd, head.data(), head.size(), nullptr, 0, deadline, nullptr),
                   path.c_str());
  std::vector<char> chunk(kFileChunk);
  for (off_t left = st.st_size; sent && left > 0;) {
    const ssize_t n = read(file, chunk.data(), chunk.size());
    if (n <= 0) {
      Log("%s: read failed", path.c_str());
      break;
    }
    sent = Sent(*this,
                Platform::SendAllBy(fd, chunk.data(), size_t(n), nullptr, 0, deadline, nullptr),
                path.c_str());
    left -= n;
  }
  close(file);
}

void RepositoryServer::Serve(int fd) {
  std::string head;
  char buffer[1024];
  // The whole head, not only each piece of it, must come within the silence limit: a peer that
  // trickles bytes would otherwise hold a worker for hours.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options_.silenceSeconds);
  for (RequestHeadState state = CheckRequestHead(head); state != RequestHeadState::kComplete;
       state = CheckRequestHead(head)) {
    if (std::chrono::steady_clock::now() > deadline) {
      Log("peer too slow with its request; dropped");
      return;
    }
    if (state == RequestHeadState::kTooLarge) {
      SendText(fd, 431, "Request Header Fields Too Large", "request too large\n", deadline);
      Log("request head over %zu bytes refused", kMaxRequestHead);
      return;
    }
    const ssize_t n = Platform::ReceiveSome(fd, buffer, sizeof buffer);
    if (n <= 0) {
      if (n < 0) Log("peer dropped: %s", std::strerror(errno));
      return;
    }
    head.append(buffer, size_t(n));
  }
  const RepositoryRequest request = ParseRequestHead(head);
  const auto answerBy =
      std::chrono::steady_clock::now() + std::chrono::seconds(options_.answerSeconds);
  using Kind = RepositoryRequest::Kind;
  if (request.kind == Kind::kBadRequest) {
    SendText(fd, 400, "Bad Request", "only GET is served\n", answerBy);
    Log("bad request line refused");
    return;
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
    SendText(fd, 200, "OK",
             BuildSearchAnswer(findNewest, request.criteria, request.dependencyLevel,
                               "http://127.0.0.1:" + std::to_string(port_)),
             answerBy);
  } else if (request.kind == Kind::kPackage || request.kind == Kind::kBanner) {
    SendFile(fd, options_.repository + "/" + request.name, answerBy);
  } else {
    SendText(fd, 404, "Not Found", "not found\n", answerBy);
  }
}

}  // namespace VnyRepo
