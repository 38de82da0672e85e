// The dispatcher: the commands that need no daemon, error entries of commands whose daemon went
// away or refused a write, the crash guard and the start-up folder helpers.
#include "frontend/command_dispatcher.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "assetdata/results_log.h"
#include "core/app_globals.h"
#include "daemon/daemon_test_util.h"
#include "daemon/request_handlers.h"
#include "daemon/server.h"
#include "frontend/application.h"
#include "pymclient/pym_test_util.h"
#include "qel/file.h"
#include "support/scratch_folder.h"
#include "support/sqlite_disk_faults.h"
#include "support/thread_watchdog.h"

namespace {

struct Dispatched {
  int result = 0;
  std::string out;
  std::vector<ResultsLogEntry> entries;
};

Dispatched Dispatch(std::vector<std::string> args) {
  args.insert(args.begin(), "/opt/kestro/bin/KestroUtil");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ResultsLog log;
  EngineContext context;
  Dispatched d;
  ::testing::internal::CaptureStdout();
  d.result = RunCommand(&log, &context, int(args.size()), argv.data());
  d.out = ::testing::internal::GetCapturedStdout();
  d.entries = log.GetEntries();
  return d;
}

TEST(RunCommand, WordsCompareLowerCasedAndFailuresGiveOneErrorEntry) {
  EXPECT_EQ(Dispatch({"InstalledBuildNumber"}).result, 48249);
  const Dispatched echo = Dispatch({"ECHO", "A b", "", "C"});
  EXPECT_EQ(echo.out, "A b  C \n");
  EXPECT_TRUE(echo.entries.empty());
  const std::string invalid =
      "Invalid argument, please check the help for the list of valid argument";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, invalid},
      {{"nosuch"}, invalid},
      {{""}, invalid},
      {{"help"}, invalid},
      {{"registeraccount", "user"}, invalid},
      {{"version2"}, invalid},
      {{"InstallFromPath"}, "Missing input path parameter."},
      // The expression is missing after the switch: fails before searching.
      {{"searchbycategory", "-A"}, "Missing category parameter."},
  };
  for (const auto& [args, text] : cases) {
    SCOPED_TRACE(args.empty() ? "(no word)" : args[0]);
    const Dispatched d = Dispatch(args);
    EXPECT_EQ(d.result, -1);
    ASSERT_EQ(d.entries.size(), 1u);
    EXPECT_EQ(std::make_tuple(d.entries[0].type, d.entries[0].text.Std(),
                              d.entries[0].property.IsNull(), d.entries[0].blankLineAfter),
              std::make_tuple(u32(ResultsLog::kError), text, true, text == invalid));
  }
}

// A daemon lost mid-request used to leave the tool failing with "OK (0 Errors, 0 Warnings)".
class LostDaemonTest : public pym_test::ScriptedDaemonTest {};

TEST_F(LostDaemonTest, ACommandWhoseDaemonWentAwaySaysSoAsAnError) {
  server_->SetAutoReply(false);
  Dispatched d;
  {
    watchdog::Task run([&] { d = Dispatch({"generatekuid"}); });
    ASSERT_TRUE(server_->WaitForFrames(1));
    server_->CloseConnections();
  }
  EXPECT_EQ(d.result, -1);
  ASSERT_EQ(d.entries.size(), 1u);
  EXPECT_EQ(d.entries[0].type, u32(ResultsLog::kError));
  EXPECT_NE(d.entries[0].text.Std().find("daemon went away"), std::string::npos);

  // A request answered on the new connection adds nothing.
  server_->SetAutoReply(true);
  EXPECT_TRUE(Dispatch({"generatekuid"}).entries.empty());
}

// The daemon itself, in this process so that its databases can find the disk full.
class FullDiskTest : public pym_test::ScriptedDaemonTest {
 protected:
  void SetUp() override {
    open_ = false;
    ScriptedDaemonTest::SetUp();
    const std::string userData = GetDatabasePath().GetFolder().CStr();
    daemon_test::MakeAsset(userData, "local", "a", daemon_test::Config("<kuid:10:1>"));
    daemon_test::WriteFile(root_ + "/KeywordsDump.dat", "KUID:10:1 \"steam;express\"\n");
    std::string error;
    ASSERT_TRUE(store_.Open(userData, &error) && daemon_.Listen(0, &error)) << error;
    runner_ = std::thread([this] { daemon_.Run(); });
    ASSERT_TRUE(server_->Publish(0, daemon_.Port()));
    ASSERT_TRUE(PymOpenDatabase(options_));
  }
  void TearDown() override {
    ScriptedDaemonTest::TearDown();
    daemon_.Stop();
    if (runner_.joinable()) runner_.join();
  }

  SqliteDiskFaults disk_;
  PymDaemonSrv::AssetStore store_;
  PymDaemonSrv::RequestHandlers handlers_{store_};
  PymDaemonSrv::Server daemon_{handlers_};
  std::thread runner_;
};

// Each command used to report success, or a KUID it did not make, on a write the disk refused.
TEST_F(FullDiskTest, ACommandWhoseWriteTheDiskRefusedSaysWhyAndFails) {
  const std::pair<std::vector<std::string>, std::string> commands[] = {
      {{"importkeywords"}, "keywords not stored"},
      {{"registeraccount", "someone", "secret"}, "settings group not written"},
      {{"generatekuid"}, "no KUID made"},
  };
  disk_.full = true;
  for (const auto& [args, reason] : commands) {
    const Dispatched d = Dispatch(args);
    ASSERT_FALSE(d.entries.empty()) << args[0];
    EXPECT_EQ(std::make_tuple(d.result, d.out, d.entries[0].type, d.entries[0].text.Std()),
              std::make_tuple(-1, "", u32(ResultsLog::kError),
                              "PymDaemon: " + reason + ": database: database or disk is full"));
  }
}

TEST(RunGuarded, ArmsTheGuardAndAnEscapingExceptionEndsTheProcessWithoutLosingOutput) {
  ASSERT_FALSE(IsCrashGuardArmed());
  EXPECT_EQ(RunGuarded([] { return IsCrashGuardArmed() ? 42 : 0; }), 42);
  EXPECT_FALSE(IsCrashGuardArmed());
  scratch::Folder dir;
  const std::string path = dir.At("out.txt");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (std::freopen(path.c_str(), "w", stdout) == nullptr) _exit(1);
    RunGuarded([]() -> int {
      std::printf("printed before the fault\n");
      throw std::runtime_error("escapes");
    });
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 156) << status;
  EXPECT_EQ(dir.Read("out.txt"), "printed before the fault\n");
}

TEST(StartupFolder, JoinsRelativePathsAndTheScopeAlwaysRestores) {
  SetStartupFolder("/home/user/work");
  EXPECT_EQ(JoinToStartupFolder("sub/pkg.cdp").Std(), "/home/user/work/sub/pkg.cdp");
  EXPECT_EQ(JoinToStartupFolder("/abs/pkg.cdp").Std(), "/abs/pkg.cdp");
  EXPECT_EQ(JoinToStartupFolder("\\abs\\pkg.cdp").Std(), "\\abs\\pkg.cdp");
  const Qel::String before = Qel::File::GetCwd();
  scratch::Folder dir;
  for (const std::string& folder : {dir.path(), std::string("/no/such/folder/anywhere")}) {
    SetStartupFolder(folder.c_str());
    {
      StartupFolderScope scope;
      EXPECT_EQ(scope.IsEntered(), folder == dir.path());
      EXPECT_EQ(Qel::File::GetCwd().Std(), scope.IsEntered() ? dir.path() : before.Std());
    }
    EXPECT_EQ(Qel::File::GetCwd(), before);
  }
  SetStartupFolder("");
}

}  // namespace
