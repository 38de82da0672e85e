// A one-peer-at-a-time HTTP responder on loopback for tests of URL fetching: each request head is
// handed to the test's function, whose text goes back as the whole response; an empty text
// keeps the peer waiting, silent, until it gives up.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "platform/socket_io.h"

namespace daemon_test {

class HttpResponder {
 public:
  using Answer = std::function<std::string(const std::string& head)>;

  explicit HttpResponder(Answer answer) : answer_(std::move(answer)) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 8);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      for (int peer; (peer = accept(fd_, nullptr, nullptr)) >= 0; close(peer)) {
        char head[4096] = {};
        Platform::ReceiveSome(peer, head, sizeof head - 1);
        const std::string reply = answer_(head);
        if (reply.empty()) {
          while (Platform::ReceiveSome(peer, head, sizeof head) > 0) {
          }
        }
        Platform::SendAll(peer, reply.data(), reply.size());
      }
    });
  }
  ~HttpResponder() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  HttpResponder(const HttpResponder&) = delete;
  HttpResponder& operator=(const HttpResponder&) = delete;

  int Port() const { return port_; }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }

  static std::string Response(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) +
           " X\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
  }

 private:
  Answer answer_;
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace daemon_test
