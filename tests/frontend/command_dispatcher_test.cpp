// The dispatcher without a daemon: the commands that need none, error
// entries, the crash guard and the start-up folder helpers.
#include "frontend/command_dispatcher.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "assetdata/results_log.h"
#include "core/app_globals.h"
#include "frontend/application.h"
#include "qel/file.h"
#include "support/scratch_folder.h"

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

TEST(RunCommand, CommandWordsCompareLowerCased) {
  EXPECT_EQ(Dispatch({"InstalledBuildNumber"}).result, 48249);
  const Dispatched echo = Dispatch({"ECHO", "A b", "", "C"});
  EXPECT_EQ(echo.out, "A b  C \n");
  EXPECT_TRUE(echo.entries.empty());
}

TEST(RunCommand, FailuresGiveOneErrorEntry) {
  const std::string invalid =
      "Invalid argument, please check the help for the list of valid argument\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"nosuch"}, invalid},
      {{""}, invalid},
      {{"help"}, invalid},
      {{"registeraccount", "user"}, invalid},
      {{"version2"}, invalid},
      {{"InstallCDP", "package.cdp"}, "installcdp: not available in this build"},
      // The expression is missing after the switch: fails before searching.
      {{"searchbycategory", "-A"}, "Missing category parameter."},
  };
  for (const auto& [args, text] : cases) {
    const Dispatched d = Dispatch(args);
    EXPECT_EQ(d.result, -1) << args[0];
    ASSERT_EQ(d.entries.size(), 1u) << args[0];
    EXPECT_EQ(d.entries[0].type, ResultsLog::kError);
    EXPECT_EQ(d.entries[0].text.Std(), text);
    EXPECT_TRUE(d.entries[0].property.IsNull());
  }
  // No command word at all.
  ResultsLog log;
  char program[] = "KestroUtil";
  char* argv[] = {program, nullptr};
  EXPECT_EQ(RunCommand(&log, nullptr, 1, argv), -1);
  EXPECT_EQ(log.GetErrorCount(), 1u);
}

TEST(RunGuarded, ReturnsTheResultAndLeavesTheGuardAsItWas) {
  ASSERT_FALSE(IsCrashGuardArmed());
  EXPECT_EQ(RunGuarded([] { return IsCrashGuardArmed() ? 42 : 0; }), 42);
  EXPECT_EQ(RunGuarded([] { return -1; }), -1);
  EXPECT_FALSE(IsCrashGuardArmed());
}

TEST(RunGuarded, AnEscapingExceptionEndsTheProcessWithoutLosingOutput) {
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
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 156);
  EXPECT_EQ(dir.Read("out.txt"), "printed before the fault\n");
}

TEST(StartupFolder, RelativePathsJoinTheStartupFolder) {
  SetStartupFolder("/home/user/work");
  EXPECT_EQ(JoinToStartupFolder("pkg.cdp").Std(), "/home/user/work/pkg.cdp");
  EXPECT_EQ(JoinToStartupFolder("sub/dir").Std(), "/home/user/work/sub/dir");
  EXPECT_EQ(JoinToStartupFolder("/abs/pkg.cdp").Std(), "/abs/pkg.cdp");
  EXPECT_EQ(JoinToStartupFolder("\\abs\\pkg.cdp").Std(), "\\abs\\pkg.cdp");
  SetStartupFolder("");
}

TEST(StartupFolder, TheScopeEntersAndAlwaysRestores) {
  const Qel::String before = Qel::File::GetCwd();
  scratch::Folder dir;
  SetStartupFolder(dir.path().c_str());
  {
    StartupFolderScope scope;
    EXPECT_TRUE(scope.IsEntered());
    EXPECT_EQ(Qel::File::GetCwd().Std(), dir.path());
  }
  EXPECT_EQ(Qel::File::GetCwd(), before);

  SetStartupFolder("/no/such/folder/anywhere");
  {
    StartupFolderScope scope;
    EXPECT_FALSE(scope.IsEntered());
    EXPECT_EQ(Qel::File::GetCwd(), before);
  }
  EXPECT_EQ(Qel::File::GetCwd(), before);
  SetStartupFolder("");
}

}  // namespace
