// The tool as the daemon's command host, against the stand-in daemon: a `pymcommandhost` process
// registers, the daemon hands it commands, and each reply is read back with its results log.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "assetdata/results_log.h"
#include "core/app_globals.h"
#include "core/buffer_stream.h"
#include "core/networking.h"
#include "daemon/command_host_registry.h"
#include "daemon/daemon_test_util.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_client.h"
#include "pymclient/pym_connection.h"
#include "support/install_root.h"
#include "support/thread_watchdog.h"

namespace {

namespace fs = std::filesystem;
using daemon_test::Bytes;
using kestro_test::InstallRoot;

constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";
constexpr u32 kKey = 0x1234;
const std::vector<KUID> kAssets = {KUID(700, 1, 0), KUID(700, 2, 0), KUID(700, 3, 0)};
const KUID kMissing(700, 9, 0);

class CommandHostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SetMainThread();
    InitNetworking();
  }
  void SetUp() override {
    root_ = std::make_unique<InstallRoot>(KESTRO_BINARY_DIR, kDataDir);
    ASSERT_TRUE(root_->IsReady()) << root_->Error();
    for (size_t i = 0; i < kAssets.size(); ++i) {
      const std::string folder = "UserData/local/a" + std::to_string(i) + "/";
      root_->WriteFile(folder + "config.txt", "kuid " + std::string(kAssets[i].ToString().CStr()) +
                                                  "\nkind \"scenery\"\nkestro-build 3.6\n");
      root_->WriteFile(folder + "notes.txt", std::string(100 * (i + 1), 'x'));
    }
    ASSERT_TRUE(InitInstallPaths(Qel::File::Path(root_->Root().c_str())));
    CreateUserDataFolders();
    ASSERT_TRUE(PymOpenDatabase(PymClientOptions()));
  }
  void TearDown() override {
    PymCloseDatabase();
    PymDisconnect(true);
    root_->StopDaemons();
    ReleaseContentDatabases();
    ClearInstallPaths();
    root_.reset();
  }

  // Hands the command to the registered host; the outcome, the reply's log and its other fields.
  u32 Send(const Bytes& command, ResultsLog& log, std::vector<u8>& fields) {
    Qel::DynamicBuffer out;
    Qel::DynamicBuffer in;
    TBuffer request(&out, false);
    TBuffer reply(&in, false);
    request.WriteU32(60000);
    request.WriteBytes(command.data.data(), u32(command.data.size()));
    request.Rewind();
    if (!PymTransact(PymDaemonSrv::kOpRunHostCommand, request, reply, nullptr, nullptr, false)) {
      return ~0u;
    }
    reply.Rewind();
    u32 outcome = ~0u;
    reply.ReadU32(outcome);
    if (reply.Tell() < in.GetDataSize()) ResultsLog::Read(reply, log);
    fields.assign(in.GetData() + reply.Tell(), in.GetData() + in.GetDataSize());
    return outcome;
  }

  std::unique_ptr<InstallRoot> root_;
};

Bytes ArchiveCommand(u32 id, const std::string& path, const std::vector<KUID>& kuids) {
  Bytes b;
  b.U32(id).U32(kKey).Text(path).U32(u32(kuids.size()));
  for (const KUID& kuid : kuids) b.Kuid(kuid);
  return b;
}

std::string Texts(ResultsLog& log) {
  std::string all;
  for (const ResultsLogEntry& e : log.GetEntries()) all += std::string(e.text.CStr()) + "\n";
  return all;
}

TEST_F(CommandHostTest, ServesEveryCommandAndRefusesHostileArchives) {
  kestro_test::ToolRun run;
  watchdog::Task host([&] { run = root_->Run({"pymcommandhost"}); });
  ResultsLog log;
  std::vector<u8> fields;
  // An unknown command gets an empty reply; it also tells when the host has registered.
  ASSERT_TRUE(watchdog::Eventually([&] { return Send(Bytes().U32(7), log, fields) == 0; }));
  EXPECT_TRUE(fields.empty());

  const std::string archive = root_->Root() + "/three.karc";
  const std::string empty = root_->Root() + "/empty.karc";
  EXPECT_EQ(Send(ArchiveCommand(2, archive, kAssets), log, fields), 0u);
  EXPECT_EQ(fields, Bytes().U32(1).data);
  EXPECT_EQ(Send(ArchiveCommand(2, empty, {}), log, fields), 0u);
  EXPECT_EQ(fields, Bytes().U32(1).data);
  EXPECT_EQ(log.GetErrorCount(), 0u) << Texts(log);
  EXPECT_EQ(fs::file_size(empty), 28u);

  ASSERT_TRUE(PymDeleteAsset(kAssets[0], true, nullptr));
  EXPECT_EQ(Send(ArchiveCommand(3, archive, {kAssets[0], kMissing}), log, fields), 0u);
  EXPECT_EQ(fields, Bytes().U32(1).Kuid(kMissing).data);
  EXPECT_TRUE(IsAssetInstalled(kAssets[0]));
  EXPECT_EQ(log.GetErrorCount(), 0u) << Texts(log);

  const std::string bytes = scratch::ReadAll(archive);
  const std::string folder = root_->Root() + "/UserData/local/a1";
  const std::string hostile = root_->Root() + "/hostile.karc";
  const std::string terminator(8, '\xFF');
  const u32 firstEnd = ByteOrder::LoadLE32(bytes.data() + 28);
  struct Case {
    const char* what;
    std::function<std::string()> archive;  // written to `hostile` when set
    Bytes command;
    std::vector<u8> fields;
    const char* text;
  };
  const Bytes wantOne = Bytes().U32(1).Kuid(kAssets[1]);
  const Case cases[] = {
      {"length off by one", [&] { return bytes + "x"; }, {}, wantOne.data, "cannot be read"},
      {"version 2",
       [&] { return bytes.substr(0, 4) + '\x02' + bytes.substr(5); },
       {},
       wantOne.data,
       "Unsupported archive version 2"},
      {"backward end offset",
       [&] { return bytes.substr(0, 28) + std::string("\x14\0\0\0", 4) + bytes.substr(32); },
       {},
       wantOne.data,
       "cannot be read"},
      {"truncated entry",
       [&] {
         std::string cut = bytes.substr(0, firstEnd + 20) + terminator;
         ByteOrder::StoreLE32(reinterpret_cast<u8*>(cut.data()) + 12, u32(cut.size()));
         return cut;
       },
       {},
       wantOne.data,
       "cannot be read"},
      {"another request's key", [&] { return bytes; },
       Bytes().U32(3).U32(kKey + 1).Text(hostile).U32(1).Kuid(kAssets[1]), wantOne.data,
       "cannot be read"},
      {"validate", nullptr, Bytes().U32(0).Name("local").Text(folder), {1}, "nothing else"},
      {"validate without configuration",
       nullptr,
       Bytes().U32(0).Name("local").Text(folder + "/none"),
       {0},
       "Unable to read the asset"},
      {"texture conversion", nullptr, Bytes().U32(1).Name("local").Text(folder),
       Bytes().U32(0).data, "no texture was converted"},
  };
  for (const Case& c : cases) {
    if (c.archive) root_->WriteFile("hostile.karc", c.archive());
    ResultsLog caseLog;
    const Bytes command =
        c.command.data.empty() ? ArchiveCommand(3, hostile, {kAssets[1]}) : c.command;
    EXPECT_EQ(Send(command, caseLog, fields), 0u) << c.what;
    EXPECT_EQ(fields, c.fields) << c.what;
    EXPECT_NE(Texts(caseLog).find(c.text), std::string::npos) << c.what << ": " << Texts(caseLog);
  }

  ASSERT_TRUE(PymCloseDaemon());
  host.Join();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("OK (0 Errors, 0 Warnings)"), std::string::npos) << run.out;
}

}  // namespace
