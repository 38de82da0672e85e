// The stand-in repository's hold on its workers: a peer that takes its answer too slowly is
// dropped when the answer's time is up, so the next peer is served.
#include "vnyrepo/repository_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/scratch_folder.h"
#include "support/thread_watchdog.h"

namespace {

int ConnectTo(u16 port, int receiveBuffer) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  // A small window, so that the answer cannot all sit in the kernel's buffers.
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string Ask(int fd, const std::string& path) {
  const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
  if (write(fd, request.data(), request.size()) != ssize_t(request.size())) return {};
  return request;
}

TEST(RepositoryServer, APeerThatStopsReadingIsDroppedWhenTheAnswersTimeIsUp) {
  scratch::Folder folder;
  const std::string repository = folder.path() + "/Repository";
  std::filesystem::create_directories(repository);
  {
    std::ofstream big(repository + "/big.cdp", std::ios::binary);
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 64; ++i) big << block;
  }
  VnyRepo::ServerOptions options;
  options.repository = repository;
  options.threads = 1;
  // Far longer than the watchdog: only the bound on the whole answer can free the worker.
  options.silenceSeconds = 3600;
  options.answerSeconds = 1;
  options.logPath = folder.path() + "/vnyrepo.log";
  VnyRepo::RepositoryServer server(options);
  std::string error;
  ASSERT_TRUE(server.Listen(error)) << error;
  std::thread serving([&] { server.Run(); });

  const int stalled = ConnectTo(server.Port(), 4096);
  ASSERT_GE(stalled, 0);
  ASSERT_FALSE(Ask(stalled, "/packages/big.cdp").empty());
  // The only worker is held by the peer that reads nothing; the next one must still be answered.
  std::string answer;
  {
    watchdog::Task next([&] {
      const int fd = ConnectTo(server.Port(), 0);
      if (fd < 0 || Ask(fd, "/nothing").empty()) return;
      char buffer[256];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, size_t(n));
      close(fd);
    });
  }
  EXPECT_EQ(answer.rfind("HTTP/1.1 404", 0), 0u) << answer;
  close(stalled);
  server.Stop();
  serving.join();
  EXPECT_NE(scratch::ReadAll(options.logPath).find("too slow to take the answer"), std::string::npos);
}

}  // namespace
