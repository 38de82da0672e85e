// The stand-in repository's hold on its workers: peers that take their answers slowly hold none
// of them, and one that takes too long is dropped when the answer's time is up.
#include "vnyrepo/repository_server.h"
#include "vnyrepo/repository_request.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

// Reads the whole answer to `path` on a fresh connection.
std::string Fetch(u16 port, const std::string& path) {
  std::string answer;
  const int fd = ConnectTo(port, 0);
  if (fd < 0 || Ask(fd, path).empty()) return answer;
  char buffer[256];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, size_t(n));
  close(fd);
  return answer;
}

// A repository with a package far larger than the socket buffers, and a server of it.
class RepositoryServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    repository_ = folder_.path() + "/Repository";
    std::filesystem::create_directories(repository_);
    std::ofstream big(repository_ + "/big.cdp", std::ios::binary);
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 64; ++i) big << block;
  }
  void TearDown() override {
    for (const int fd : stalled_) close(fd);
    if (server_) server_->Stop();
    if (serving_.joinable()) serving_.join();
  }

  void Start(u32 threads, u32 answerSeconds) {
    options_.repository = repository_;
    options_.threads = threads;
    // Far longer than the watchdog: only the bound on the whole answer can drop a peer.
    options_.silenceSeconds = 3600;
    options_.answerSeconds = answerSeconds;
    options_.logPath = folder_.path() + "/vnyrepo.log";
    server_ = std::make_unique<VnyRepo::RepositoryServer>(options_);
    std::string error;
    ASSERT_TRUE(server_->Listen(error)) << error;
    serving_ = std::thread([this] { server_->Run(); });
  }
  // Peers that ask for the package and read nothing of it.
  void Stall(int count) {
    for (int i = 0; i < count; ++i) {
      const int fd = ConnectTo(server_->Port(), 4096);
      ASSERT_GE(fd, 0);
      stalled_.push_back(fd);
      ASSERT_FALSE(Ask(fd, "/packages/big.cdp").empty());
    }
  }
  // The answer to `path`; a peer never answered ends the test program.
  std::string FetchWatched(const std::string& path) {
    std::string answer;
    watchdog::Task next([&] { answer = Fetch(server_->Port(), path); });
    return answer;
  }

  scratch::Folder folder_;
  std::string repository_;
  VnyRepo::ServerOptions options_;
  std::unique_ptr<VnyRepo::RepositoryServer> server_;
  std::thread serving_;
  std::vector<int> stalled_;
};

TEST_F(RepositoryServerTest, APeerThatStopsReadingIsDroppedWhenTheAnswersTimeIsUp) {
  Start(1, 1);
  Stall(1);
  // It must be dropped whether or not anyone else comes.
  EXPECT_TRUE(watchdog::Eventually([&] {
    return scratch::ReadAll(options_.logPath).find("too slow to take the answer") !=
           std::string::npos;
  }));
  EXPECT_EQ(FetchWatched("/nothing").rfind("HTTP/1.1 404", 0), 0u);
}

TEST_F(RepositoryServerTest, SlowReadersHoldNoWorkerFromAFreshSearch) {
  Start(4, 3600);
  // One more than there are workers, each with most of a package still to take.
  Stall(5);
  const std::string answer =
      FetchWatched(std::string(VnyRepo::kSearchPath) + "?SearchCriteria=1:2&DependencyLevel=0");
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK", 0), 0u) << answer;
  EXPECT_NE(answer.find("none"), std::string::npos) << answer;
}

}  // namespace
