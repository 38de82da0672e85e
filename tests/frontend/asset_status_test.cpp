// Status letters, the repair task's turn-taking, vnydeleteall over nothing, and the ending of
// tool processes by program file; vnyparse against a daemon that cannot say that it is idle.
#include "frontend/asset_status.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "assetdata/results_log.h"
#include "frontend/asset_bulk.h"
#include "frontend/package_inspection.h"
#include "frontend/pym_task_repair_database.h"
#include "platform/process.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_test_util.h"

namespace {

using namespace pym_test;  // NOLINT(build/namespaces)

TEST(AssetStatusLetters, EachFlagHasItsPlace) {
  const struct {
    std::vector<u32> flags;
    bool missing;
    bool faulty;
    const char* letters;
  } cases[] = {
      {{PymAssetInfo::kFlagInstalled, PymAssetInfo::kFlagLocallyModified}, false, false, "eIadLmf"},
      {{}, false, false, "eiadlmf"},
      {{PymAssetInfo::kFlagOpenForEdit, PymAssetInfo::kFlagInArchive, PymAssetInfo::kFlagOnVantry},
       true,
       true,
       "EiADlMF"},
  };
  for (const auto& c : cases) {
    PymAssetInfo info;
    for (const u32 flag : c.flags) info.SetFlag(flag, true);
    EXPECT_EQ(StatusLetters(info, c.missing, c.faulty), Qel::String(c.letters)) << c.letters;
  }
}

struct RecordingSink : PymTask {
  void OnStatusText(const Qel::String& text) override { texts.push_back(text); }
  void OnProgress(f32) override { ++progressCalls; }
  std::vector<Qel::String> texts;
  int progressCalls = 0;
};

using RepairTaskTest = ScriptedDaemonTest;

TEST_F(RepairTaskTest, OnlyTheFirstRepairWorksAndAnEndedRepairCallsNoHook) {
  ReplyWith(PymProtocol::kOpRepairProgress, {0, 0, 0, 0, 0, 0, 0, 0, 0});
  PymTaskRepairDatabase first(PymProtocol::kRepairDefault, nullptr);
  {
    PymTaskRepairDatabase second(PymProtocol::kRepairDefault, nullptr);
    RecordingSink sink;
    second.RunInline(&sink);
    ASSERT_EQ(sink.texts.size(), 1u);
    EXPECT_TRUE(PymTaskRepairDatabase::IsRepairRunning());
  }
  RecordingSink sink;
  first.RunInline(&sink);
  EXPECT_TRUE(sink.texts.empty());
  EXPECT_EQ(sink.progressCalls, 0);
  EXPECT_FALSE(PymTaskRepairDatabase::IsRepairRunning());
  size_t starts = 0;
  for (const auto& f : server_->GetFrames()) starts += f.opcode == PymProtocol::kOpStartRepair;
  EXPECT_EQ(starts, 1u);
}

TEST_F(RepairTaskTest, DeleteAllWithoutLocalAssetsSendsNoDelete) {
  ReplyWith(PymProtocol::kOpSearchAssets, {0, 0, 0, 0});
  ResultsLog log;
  EXPECT_EQ(VnyDeleteAll(&log), 0u);
  for (const auto& f : server_->GetFrames()) EXPECT_NE(f.opcode, PymProtocol::kOpDeleteAsset);
}

TEST_F(ScriptedDaemonTest, VnyParseEndsWithAnErrorWhenTheIdlePollFails) {
  server_->SetHandler([](FakePymServer& s, const FakePymServer::Frame& f) {
    if (f.opcode == PymProtocol::kOpIsIdleReached) s.CloseConnections();
    return f.opcode == PymProtocol::kOpIsIdleReached;
  });
  ResultsLog log;
  EXPECT_FALSE(VnyParsePackage("/none.cdp", log));
  EXPECT_EQ(log.GetErrorCount(), 1u);
}

// Only a copy of the very file ends, and only after the wait: a file of the same name in a
// folder that differs in case belongs to another installation. The parameter: where it runs.
class TerminateProcesses : public testing::TestWithParam<std::string> {};

TEST_P(TerminateProcesses, EndsOnlyOtherCopiesOfThatFileAndOnlyAfterTheWait) {
  scratch::Folder folder;
  for (const std::string at : {"/ra", "/Ra"}) {
    std::filesystem::create_directories(folder.path() + at);
    std::filesystem::copy_file("/bin/sleep", folder.path() + at + "/sleeper");
  }
  const std::string program = folder.path() + GetParam() + "/sleeper";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(program.c_str(), "sleeper", "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Until the child runs the copy, it is this program: wait for the switch.
  while (Platform::ProcessProgramPath(u32(child)) != program) usleep(1000);
  const Qel::String closed(folder.path() + "/ra/sleeper");
  TerminateProcessesByName(closed, 0);
  EXPECT_EQ(waitpid(child, nullptr, WNOHANG), 0) << "a wait of 0 ends nothing";
  TerminateProcessesByName(closed, 200);
  if (GetParam() != "/ra") {
    usleep(100000);  // time for an ending that should not come
    EXPECT_EQ(waitpid(child, nullptr, WNOHANG), 0) << "another installation's copy";
    kill(child, SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
}

INSTANTIATE_TEST_SUITE_P(Folders, TerminateProcesses, testing::Values("/ra", "/Ra"));

}  // namespace
