// The dispatcher without a daemon: the command table, the commands that need none, error
// entries, the crash guard and the start-up folder helpers.
#include "frontend/command_dispatcher.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "assetdata/results_log.h"
#include "core/app_globals.h"
#include "frontend/application.h"
#include "qel/file.h"

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

TEST(CommandTable, HoldsEveryWordInDispatchOrder) {
  int count = 0;
  const char* const* words = GetCommandWords(&count);
  std::string joined;
  for (int i = 0; i < count; ++i) joined += std::string(words[i]) + " ";
  EXPECT_EQ(joined,
            "version installedversionlo installedversionhi installedbuildnumberlo "
            "installedbuildnumberhi echo installedversion installedbuildnumber registeraccount "
            "closepymdaemon installcdp installfrompath installfromvny importconsists edit "
            "printconfig compile pymcommandhost encrypt listbuilds commit revert delete "
            "generatekuid repairdatabase compresstexture authors searchbycategory status "
            "validate createcdp vnyparse vnyparsefolder vnydeleteall backupkeywords "
            "importkeywords ");
}

TEST(RunCommand, CommandWordsCompareLowerCased) {
  EXPECT_EQ(Dispatch({"InstalledBuildNumber"}).result, 48249);
  const Dispatched echo = Dispatch({"ECHO", "A b", "", "C"});
  EXPECT_EQ(echo.out, "A b  C \n");
  EXPECT_TRUE(echo.entries.empty());
}

TEST(RunCommand, WordsThatMatchNothingGiveOneErrorEntry) {
  const std::vector<std::vector<std::string>> cases = {
      {"nosuch"}, {""}, {"help"}, {"registeraccount", "user"}, {"version2"}};
  for (const auto& args : cases) {
    const Dispatched d = Dispatch(args);
    EXPECT_EQ(d.result, -1) << args[0];
    ASSERT_EQ(d.entries.size(), 1u) << args[0];
    EXPECT_EQ(d.entries[0].type, ResultsLog::kError);
    EXPECT_EQ(d.entries[0].text.Std(),
              "Invalid argument, please check the help for the list of valid argument\n");
    EXPECT_TRUE(d.entries[0].property.IsNull());
  }
  // No command word at all.
  ResultsLog log;
  char program[] = "KestroUtil";
  char* argv[] = {program, nullptr};
  EXPECT_EQ(RunCommand(&log, nullptr, 1, argv), -1);
  EXPECT_EQ(log.GetErrorCount(), 1u);
}

TEST(RunCommand, CommandsOfLaterBuildsFailWithTheirWord) {
  const Dispatched d = Dispatch({"InstallCDP", "package.cdp"});
  EXPECT_EQ(d.result, -1);
  ASSERT_EQ(d.entries.size(), 1u);
  EXPECT_EQ(d.entries[0].type, ResultsLog::kError);
  EXPECT_EQ(d.entries[0].text.Std(), "installcdp: not available in this build");
}

TEST(RunCommand, CategorySearchWithoutExpressionAfterTheSwitchFailsBeforeSearching) {
  const Dispatched d = Dispatch({"searchbycategory", "-A"});
  EXPECT_EQ(d.result, -1);
  ASSERT_EQ(d.entries.size(), 1u);
  EXPECT_EQ(d.entries[0].text.Std(), "Missing category parameter.");
}

TEST(RunGuarded, ReturnsTheResultAndLeavesTheGuardAsItWas) {
  ASSERT_FALSE(IsCrashGuardArmed());
  EXPECT_EQ(RunGuarded([] { return IsCrashGuardArmed() ? 42 : 0; }), 42);
  EXPECT_EQ(RunGuarded([] { return -1; }), -1);
  EXPECT_FALSE(IsCrashGuardArmed());
}

TEST(RunGuarded, AnEscapingExceptionEndsTheProcessWithoutLosingOutput) {
  const std::string path = "/tmp/run_guarded_test_" + std::to_string(getpid()) + ".txt";
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
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  EXPECT_EQ(text.str(), "printed before the fault\n");
  std::remove(path.c_str());
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
  SetStartupFolder("/tmp");
  {
    StartupFolderScope scope;
    EXPECT_TRUE(scope.IsEntered());
    EXPECT_EQ(Qel::File::GetCwd().Std(), "/tmp");
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
