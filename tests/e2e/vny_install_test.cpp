// installfromvny end to end: the tool, the stand-in daemon fetching over HTTP, and the stand-in
// repository server on loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "daemon/http_responder.h"
#include "support/install_root.h"
#include "support/thread_watchdog.h"

namespace {

using kestro_test::InstallRoot;

constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class VnyInstall : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    source_ = std::make_unique<InstallRoot>(KESTRO_BINARY_DIR, kDataDir);
    target_ = std::make_unique<InstallRoot>(KESTRO_BINARY_DIR, kDataDir);
    for (int i = 1; i <= 3; ++i) {
      source_->WriteFile(
          "UserData/local/a" + std::to_string(i) + "/config.txt",
          "kuid <kuid:400600:" + std::to_string(i) +
              ">\nkind \"scenery\"\ncategory-class \"SI\"\n" +
              (i == 1 ? "kuid-table\n{\n0 <kuid:400600:2>\n1 <kuid:400600:3>\n}\n" : ""));
    }
    target_->WriteFile("Repository/placeholder", "");
    for (int i = 1; i <= 3; ++i) {
      const std::string n = std::to_string(i);
      source_->Run(
          {"createcdp", target_->Root() + "/Repository/a" + n + ".cdp", "<kuid:400600:" + n + ">"});
    }
    const std::string portFile = target_->Root() + "/repository.port";
    const std::string program = std::string(KESTRO_BINARY_DIR) + "/vnyrepo";
    const std::string root = target_->Root();
    const char* argv[] = {program.c_str(), "--root",         root.c_str(),
                          "--port-file",   portFile.c_str(), nullptr};
    // A failed spawn leaves pid 0, which kill() reads as the whole process group: the runner's.
    ASSERT_EQ(
        posix_spawn(&server_, program.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ),
        0);
    ASSERT_TRUE(watchdog::Eventually([&] { return access(portFile.c_str(), R_OK) == 0; }));
    port_ = std::stoi(scratch::ReadAll(portFile));
  }
  static void TearDownTestSuite() {
    if (server_ > 0) {
      kill(server_, SIGTERM);
      waitpid(server_, nullptr, 0);
    }
    target_.reset();
    source_.reset();
  }
  static void PointAt(const InstallRoot& root, int port) {
    root.WriteFile("repository.txt",
                   "query-host \"http://127.0.0.1:" + std::to_string(port) + "\"\n");
  }
  static std::string ServerLog() {
    // Beside the served folder: a log inside it would be served to anyone.
    return scratch::ReadAll(target_->Root() + "/vnyrepo.log");
  }

  static inline std::unique_ptr<InstallRoot> source_;
  static inline std::unique_ptr<InstallRoot> target_;
  static inline pid_t server_ = 0;
  static inline int port_ = 0;
};

TEST_F(VnyInstall, InstallsAnAssetWithItsDependenciesAndOnlyOnce) {
  PointAt(*target_, port_);
  // Before the install only the search that leaves out the "local" condition finds them.
  EXPECT_EQ(Count(target_->Run({"searchbycategory", "-a", "SI"}).out, "<kuid:400600:"), 3u);
  EXPECT_EQ(target_->Run({"searchbycategory", "SI"}).exitCode, 255);
  // What the repository offers is known to status as on the repository (D), not installed.
  const auto offered = target_->Run({"status", "<kuid:400600:2>"});
  EXPECT_EQ(offered.exitCode, 0) << offered.out;
  EXPECT_EQ(offered.out.rfind("+ <kuid:400600:2> : eiaDl", 0), 0u) << offered.out;
  const auto first = target_->Run({"installfromvny", "<kuid:400600:1>"});
  EXPECT_EQ(first.exitCode, 0) << first.out;
  EXPECT_EQ(Count(first.out, "Installed asset <kuid:400600:"), 3u) << first.out;
  const size_t fetches = Count(ServerLog(), "GET ");
  const auto second = target_->Run({"installfromvny", "<kuid:400600:1>"});
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(Count(second.out, "Installed asset"), 0u) << second.out;
  const auto installed = target_->Run({"status", "<kuid:400600:2>"});
  EXPECT_EQ(installed.out.rfind("+ <kuid:400600:2> : eIaDl", 0), 0u) << installed.out;
  EXPECT_EQ(Count(ServerLog(), "GET "), fetches);
}

TEST_F(VnyInstall, FailuresEndWithTheirMessage) {
  InstallRoot fresh(KESTRO_BINARY_DIR, kDataDir);
  // Offers one item whose package is missing.
  std::string base;
  daemon_test::HttpResponder missing([&base](const std::string& head) {
    const std::string answer = "0\n{\nlatest-version <kuid:400600:5>\nlatest-version-path \"" +
                               base + "/packages/gone.cdp\"\n}\n";
    const bool search = head.rfind("GET /kestro/", 0) == 0;
    return daemon_test::HttpResponder::Response(search ? 200 : 404, search ? answer : "");
  });
  base = missing.Base();
  struct Case {
    int port;
    const char* kuid;
    const char* message;
  } const cases[] = {
      {port_, "<kuid:400600:99>",
       "- <NULL> : The repository does not offer <kuid:400600:99>.\n"},
      {port_, "garbage", "- <NULL> : Invalid AssetID.\n"},
      {1, "<kuid:400600:1>", "- <NULL> : Failed to query VNY for <kuid:400600:1>\n"},
      {missing.Port(), "<kuid:400600:5>",
       "- <NULL> : Failed to resolve download path for <kuid:400600:5>\n"},
  };
  for (const Case& c : cases) {
    PointAt(fresh, c.port);
    const auto run = fresh.Run({"installfromvny", c.kuid});
    EXPECT_EQ(run.exitCode, 255) << c.kuid;
    EXPECT_EQ(Count(run.out, "Installed asset"), 0u) << run.out;
    EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
  }
}

}  // namespace
