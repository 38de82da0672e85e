// The asset commands end to end: one installation with the stand-in daemon and a few assets,
// shared by every check of this suite; each check works on assets of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/kuid.h"
#include "pymclient/pym_protocol.h"
#include "support/command_run.h"
#include "support/fake_pym_server.h"
#include "support/install_root.h"
#include "support/scratch_folder.h"
#include "support/thread_watchdog.h"

namespace {

using kestro_test::InstallRoot;
using kestro_test::ToolRun;

constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";
constexpr const char* kClean = "OK (0 Errors, 0 Warnings)\n";

struct Asset {
  const char* folder;
  const char* kuid;
  const char* config;
};
const Asset kAssets[] = {
    {"signal", "<kuid:400100:1001>",
     "username \"Signal\"\nkind \"scenery\"\ncategory-class \"SI\"\nauthor \"Jo Bloggs\"\n"
     "kestro-build 3.5\n"},
    {"station", "<kuid2:400100:1002:1>",
     "username \"Station\"\nkind \"buildable\"\ncategory-class \"BS\"\nauthor \"Ann Other\"\n"
     "kestro-build 3.5\n"},
    {"broken", "<kuid:400100:1003>", "username \"Broken\"\nkuid-table {\n  0 <kuid:1:2>\n}\n"},
    {"coach", "<kuid:400200:1>",
     "username \"Coach\"\nkind \"traincar\"\nauthor \"ann other\"\nkestro-build 2.6\n"},
    {"victim", "<kuid:400100:1005>", "username \"Victim\"\nkind \"scenery\"\n"},
    {"crashy", "<kuid:400100:1006>", "username \"v0\"\nkind \"scenery\"\n"},
};

// A daemon that refuses gives its reason, and one that goes away leaves unknown what the request
// did, or says it was never sent: a command adds no guess of its own to any of them.
TEST(AssetCommandTexts, SayOnlyWhatIsKnownWhenTheDaemonRefusesOrGoesAway) {
  namespace pp = PymProtocol;
  InstallRoot::Layout layout;
  layout.withDaemon = false;  // the scripted daemon is the only one
  const InstallRoot root(KESTRO_BINARY_DIR, kDataDir, layout);
  ASSERT_TRUE(root.IsReady()) << root.Error();
  const std::string k = "<kuid:1:2>";
  root.WriteFile("three.txt", "edit " + k + "\nrevert " + k + "\ndelete " + k + "\n");
  root.WriteFile("asks.txt", "validate " + k + "\nstatus " + k + "\nprintconfig " + k +
                                 "\ngeneratekuid\nsearchbycategory SLIB\nlistbuilds b.txt\n");
  root.WriteFile("trains.txt", "train-0\n{\n  name \"T\"\n  list\n  {\n    car-0 " + k + "\n  }\n}\n");
  // Whatever answers the query is never reached.
  root.WriteFile("repository.txt", "query-host \"http://127.0.0.1:1\"\n");
  const auto failed = [](const std::string& line) {
    return "- " + line + "\nOK (1 Errors, 0 Warnings)\n";
  };
  const std::string lost =
      failed("<NULL> : The daemon went away before it answered; what the request did is unknown");
  const std::string gone = failed("<NULL> : The daemon went away; the request was not sent");
  // The first request of asks.txt is lost, and none of the five after it is sent.
  std::string lostThenGone = lost + "\n";
  for (int i = 0; i < 5; ++i) lostThenGone += gone + "\n";
  // The daemon's reason for refusing the edit is longer than one text of its answer can be.
  const std::string cut = " [cut: the message held 70000 bytes]";
  enum Act { kGoAway, kVanish, kRefuse };
  const struct Case {
    std::vector<std::string> args;
    u32 opcode;  // the request the daemon acts on
    Act act;
    std::string out;
  } cases[] = {
      {{"edit", k}, pp::kOpOpenAsset, kGoAway, lost},
      {{"commit", k}, pp::kOpCommitAsset, kGoAway, lost},
      {{"revert", k}, pp::kOpRevertAsset, kGoAway, lost},
      {{"createcdp", "out.cdp", k}, pp::kOpGetAssetInfo, kGoAway, lost},
      {{"importconsists", "trains.txt"}, pp::kOpCommitAsset, kGoAway, lost},
      {{"installfromvny", k}, pp::kOpStartUrlRequest, kGoAway, lost},
      {{"@three.txt"}, pp::kOpOpenAsset, kVanish, lost + "\n" + gone + "\n" + gone + "\n"},
      // Neither a reason of the command's own nor an answer follows a request that failed.
      {{"@asks.txt"}, pp::kOpGetAssetInfo, kVanish, lostThenGone},
      {{"edit", k}, pp::kOpOpenAsset, kRefuse,
       failed("<NULL> : " + std::string(65535 - cut.size(), 'x') + cut)},
  };
  for (const Case& c : cases) {
    FakePymServer daemon(root.Root() + "/UserData/assets.tdx");
    ASSERT_TRUE(daemon.Start());
    ASSERT_TRUE(daemon.Publish());
    daemon.SetHandler([&c](FakePymServer& server, const FakePymServer::Frame& f) {
      if (f.opcode == c.opcode && c.act == kRefuse) {
        const std::string reason(70000, 'x');
        server.SendNote(pp::kNoteResults,
                        FakePymServer::ResultsPayload(f.id, {{ResultsLog::kError, reason}}));
        return server.SendReply(f.id, FakePymServer::Words({~0u, ~0u, 0, 0}));
      }
      if (f.opcode == c.opcode) {
        if (c.act == kVanish) server.Unpublish();
        server.CloseConnections();
        return true;
      }
      // Opened at the folder "/x", for the request after the open to be the one that fails.
      const bool made = f.opcode == pp::kOpCreateAsset;  // a create's reply also names the KUID
      std::vector<u8> opened = made ? FakePymServer::Words({7, 0, 2, 1, 0, 2})
                                    : FakePymServer::Words({7, 0, 0, 2});
      FakePymServer::AppendBytes(opened, {'/', 'x'});
      return (made || f.opcode == pp::kOpOpenAsset) && server.SendReply(f.id, opened);
    });
    const ToolRun r = root.Run(c.args);
    EXPECT_EQ(r.out, c.out) << c.args[0];
    EXPECT_EQ(r.exitCode, 255) << c.args[0];
  }
  EXPECT_FALSE(std::filesystem::exists(root.Root() + "/b.txt")) << "a list nobody gave";
}

class AssetCommands : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new InstallRoot(KESTRO_BINARY_DIR, kDataDir);
    for (const Asset& a : kAssets) {
      root_->WriteFile(std::string("UserData/local/") + a.folder + "/config.txt",
                       std::string("kuid ") + a.kuid + "\n" + a.config);
    }
  }
  static void TearDownTestSuite() {
    delete root_;
    root_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(root_->IsReady()) << root_->Error(); }

  static ToolRun Run(const std::vector<std::string>& args) { return root_->Run(args); }
  static std::string UserData() { return root_->Root() + "/UserData"; }
  static void ExpectOut(const std::vector<std::string>& args, const std::string& out, int code) {
    const ToolRun r = Run(args);
    EXPECT_EQ(r.out, out) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_EQ(r.exitCode, code) << args[0];
  }
  static void Restart() {
    ExpectOut({"closepymdaemon"}, kClean, 0);
    EXPECT_TRUE(root_->DaemonPids().empty());
  }

  static InstallRoot* root_;
};
InstallRoot* AssetCommands::root_ = nullptr;

TEST_F(AssetCommands, StatusLettersOfInstalledEditedAndFaultyAssetsAndTheConfigDump) {
  ExpectOut({"edit", "<KUID2:400100:1002:1>"},
            "+ <kuid2:400100:1002:1> : " + UserData() + "/editing/station\n" + kClean, 0);
  const struct {
    const char* kuid;
    const char* line;
  } cases[] = {
      // The category lists of the kinds; codes that no class row of the kind knows stay.
      {"<kuid:400100:1001>", "+ <kuid:400100:1001> : eIadlmf : SY;SCEN;SI : Signal\n"},
      {"<kuid2:400100:1002:1>", "+ <kuid2:400100:1002:1> : EIadLmf : BD;BDB;FIXD;BS : Station\n"},
      {"<kuid:400100:1003>", "+ <kuid:400100:1003> : eIadlMF :  : Broken\n"},
  };
  for (const auto& c : cases) ExpectOut({"status", c.kuid}, std::string(c.line) + kClean, 0);
  ExpectOut({"status", "<kuid:9:9>"},
            std::string("- <kuid:9:9> : Unknown AssetID.\n") + "OK (1 Errors, 0 Warnings)\n", 255);
  ExpectOut({"status"}, "- <NULL> : Missing AssetID parameter.\nOK (1 Errors, 0 Warnings)\n", 255);

  ExpectOut({"revert", "<kuid2:400100:1002:1>"}, kClean, 0);
  ExpectOut({"status", "<kuid2:400100:1002:1>"},
            std::string("+ <kuid2:400100:1002:1> : eIadlmf : BD;BDB;FIXD;BS : Station\n") + kClean,
            0);
  EXPECT_FALSE(std::filesystem::exists(UserData() + "/editing/station"));
  ExpectOut({"revert", "<kuid2:400100:1002:1>"},
            "- <kuid2:400100:1002:1> : PymDaemon: not reverted: the asset is not open for "
            "editing\nOK (1 Errors, 0 Warnings)\n",
            255);
  ExpectOut({"revert", "<kuid:9:9>"}, "- <kuid:9:9> : Unknown AssetID.\nOK (1 Errors, 0 Warnings)\n",
            255);

  const ToolRun dump = Run({"printconfig", "<kuid:400100:1001>"});
  EXPECT_EQ(dump.exitCode, 0);
  EXPECT_EQ(dump.out.rfind("+ Start of <kuid:400100:1001> dump\n", 0), 0u) << dump.out;
  EXPECT_NE(dump.out.find("\"Jo Bloggs\""), std::string::npos) << dump.out;
  EXPECT_NE(dump.out.find("+ End of <kuid:400100:1001> dump\n" + std::string(kClean)),
            std::string::npos);
  ExpectOut({"printconfig", "<kuid:9:9>"},
            "- <kuid:9:9> : Asset is not local.\nOK (1 Errors, 0 Warnings)\n", 255);
}

TEST_F(AssetCommands, CommittedEditSurvivesARestart) {
  ASSERT_EQ(Run({"edit", "<kuid:400100:1001>"}).exitCode, 0);
  root_->WriteFile(
      "UserData/editing/signal/config.txt",
      "kuid <kuid:400100:1001>\n" + std::string(kAssets[0].config) + "description \"committed\"\n");
  ExpectOut({"commit", "<kuid:400100:1001>"}, kClean, 0);
  ExpectOut({"commit", "<kuid:9:9>"},
            "- <kuid:9:9> : Unknown AssetID.\nOK (1 Errors, 0 Warnings)\n", 255);
  Restart();
  EXPECT_NE(Run({"printconfig", "<kuid:400100:1001>"}).out.find("\"committed\""),
            std::string::npos);
  EXPECT_NE(scratch::ReadAll(UserData() + "/local/signal/config.txt").find("committed"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(UserData() + "/editing/signal"));
}

// The line names each folder by the name it took: beside a folder of the same name kept earlier
// that day, the next free one.
TEST_F(AssetCommands, DeleteSaysWhereTheBackupWentAndStatusAndSearchForgetTheAsset) {
  char today[16];
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  strftime(today, sizeof today, "%y-%m-%d", &local);
  const std::string earlier = UserData() + "/backups/" + today + "/local/victim";
  root_->WriteFile(earlier.substr(root_->Root().size() + 1) + "/config.txt", "kept earlier\n");
  const ToolRun deleted = Run({"delete", "<kuid:400100:1005>"});
  EXPECT_EQ(deleted.exitCode, 0);
  EXPECT_EQ(deleted.out, "; <kuid:400100:1005> : Deleted; its folders are kept in " + earlier +
                             ".1 for 5 days.\n" + kClean);
  EXPECT_NE(scratch::ReadAll(earlier + ".1/config.txt").find("Victim"), std::string::npos);
  EXPECT_EQ(scratch::ReadAll(earlier + "/config.txt"), "kept earlier\n");
  EXPECT_EQ(Run({"status", "<kuid:400100:1005>"}).exitCode, 255);
  EXPECT_EQ(Run({"searchbycategory"}).out.find("1005"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(UserData() + "/local/victim"));
  ExpectOut({"delete", "<kuid:400100:1005>"},
            "- <kuid:400100:1005> : Unknown AssetID.\nOK (1 Errors, 0 Warnings)\n", 255);
  Restart();
  EXPECT_EQ(Run({"status", "<kuid:400100:1005>"}).exitCode, 255);
}

// A closed daemon is gone, and the next command starts another.
TEST_F(AssetCommands, GeneratedKuidsNeverRepeatAcrossRestarts) {
  std::set<std::string> seen;
  std::set<pid_t> daemons;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 2; ++i) {
      const ToolRun r = Run({"generatekuid"});
      EXPECT_EQ(r.exitCode, 0);
      const std::string line = r.out.substr(0, r.out.find('\n') + 1);
      EXPECT_EQ(line.rfind("<KUID2:400000:", 0), 0u) << line;
      EXPECT_EQ(line.substr(line.size() - 4), ":0>\n") << line;
      EXPECT_TRUE(seen.insert(line).second) << line;
    }
    const auto running = root_->DaemonPids();
    ASSERT_EQ(running.size(), 1u);
    EXPECT_TRUE(daemons.insert(running[0]).second);
    Restart();
  }
}

TEST_F(AssetCommands, ImportedConsistsBecomeAssetsOnce) {
  root_->WriteFile("Consists.txt",
                   "train-0 {\n name \"Express\"\n list {\n  car-0 <kuid:400200:1>\n  num-0 3\n"
                   "  dir-0 1\n }\n}\ntrain-1 {\n name \"No list\"\n}\n");
  const ToolRun first = Run({"importconsists", "Consists.txt"});
  EXPECT_EQ(first.exitCode, 0);
  ExpectOut({"importconsists", "Consists.txt"}, kClean, 0);
  const ToolRun found = Run({"searchbycategory", "CN"});
  ASSERT_EQ(
      found.out.rfind("+ 1 : assets matching the specified criteria\n+ #0 : <kuid:400000:", 0), 0u)
      << found.out;
  const std::string kuid = found.out.substr(found.out.find("<kuid:400000:"));
  // The first run names the asset it made.
  EXPECT_EQ(first.out, "; " + kuid.substr(0, kuid.find('>') + 1) +
                           " : Created the consist \"Express\".\n" + kClean);
  const std::string dump = Run({"printconfig", kuid.substr(0, kuid.find('>') + 1)}).out;
  for (const char* part : {"\"Express\"", "car-kuid", "<kuid:400200:1>", "consist-list"}) {
    EXPECT_NE(dump.find(part), std::string::npos) << part << "\n" << dump;
  }
  // What the import wrote is valid for the shipped definitions (the installation's copy).
  std::string folder;
  for (const auto& entry : std::filesystem::directory_iterator(UserData() + "/local")) {
    if (scratch::ReadAll(entry.path() / "config.txt").find("\"Express\"") != std::string::npos) {
      folder = entry.path().string();
    }
  }
  ASSERT_FALSE(folder.empty());
  const kestro_test::CommandRun validated =
      kestro_test::RunCommand(std::string(KESTRO_BINARY_DIR) + "/tettool validate --tetdata '" +
                              root_->Bin() + "/TETData' --data " + kDataDir + " '" + folder + "'");
  EXPECT_EQ(validated.out, kClean) << scratch::ReadAll(folder + "/config.txt");
  ExpectOut({"importconsists", "missing.txt"},
            "- <NULL> : Invalid input path: " + root_->Root() +
                "/missing.txt does not exist.\nOK (1 Errors, 0 Warnings)\n",
            255);
  // A path that is there but names no file is invalid, not missing.
  root_->WriteFile("AFolder/x.txt", "");
  ExpectOut({"importconsists", "AFolder"},
            "- <NULL> : Invalid input path.\nOK (1 Errors, 0 Warnings)\n", 255);
}

// With no room for the new asset the command fails by name, and the configuration file of the
// folder the user started in stays as it was.
TEST_F(AssetCommands, AConsistThatCannotBeCreatedIsAnErrorAndWritesNothingElsewhere) {
  root_->WriteFile("Trains.txt",
                   "train-0 {\n name \"Stopper\"\n list {\n  car-0 <kuid:400200:1>\n }\n}\n");
  const std::string mine = "kind \"scenery\"\nusername \"Mine\"\n";
  root_->WriteFile("config.txt", mine);
  const std::string editing = UserData() + "/editing";
  std::filesystem::create_directories(editing);
  std::filesystem::rename(editing, editing + ".aside");
  root_->WriteFile("UserData/editing", "not a folder\n");
  const ToolRun r = Run({"importconsists", "Trains.txt"});
  std::filesystem::remove(editing);
  std::filesystem::rename(editing + ".aside", editing);
  EXPECT_EQ(r.out,
            "- <NULL> : Failed to create the consist asset \"Stopper\".\n"
            "OK (1 Errors, 0 Warnings)\n");
  EXPECT_EQ(r.exitCode, 255);
  EXPECT_EQ(scratch::ReadAll(root_->Root() + "/config.txt"), mine);
}

TEST_F(AssetCommands, ValidateChecksTheFolderAndAuthorsAreSortedAndUnique) {
  ExpectOut({"authors"}, std::string("ann other\njo bloggs\n") + kClean, 0);
  ExpectOut({"validate", "<kuid2:400100:1002:1>"}, kClean, 0);
  const ToolRun old = Run({"validate", "<kuid:400200:1>"});
  EXPECT_NE(old.out.find("- <kuid:400200:1> : "), std::string::npos) << old.out;
  EXPECT_EQ(old.exitCode, 0);
}

// Control characters in a configuration's names print escaped: a name cannot add result lines
// or move the terminal's cursor.
TEST_F(AssetCommands, NamesFromAConfigurationStayOnTheirLine) {
  const std::string forged = "\n+ <kuid:1:1> : Installed asset.\nOK (0 Errors, 0 Warnings)";
  root_->WriteFile("forge/config.txt", "kuid <kuid:400900:1010>\nkind \"scenery\"\n"
                                       "category-class \"SI\"\nusername \"Evil" + forged +
                                       "\"\nauthor \"zed\r\nok\"\n");
  ASSERT_EQ(Run({"installfrompath", root_->Root() + "/forge"}).exitCode, 0);
  ExpectOut({"status", "<kuid:400900:1010>"},
            "+ <kuid:400900:1010> : eIadlmf : SY;SCEN;SI : Evil\\n+ <kuid:1:1> : Installed "
            "asset.\\nOK (0 Errors, 0 Warnings)\n" + std::string(kClean),
            0);
  ExpectOut({"authors"}, std::string("ann other\njo bloggs\nzed\\nok\n") + kClean, 0);
  EXPECT_EQ(Run({"delete", "<kuid:400900:1010>"}).exitCode, 0);

  // A name and a tag name of the binary form (which holds what the text form cannot) stay on their
  // line whatever kind of control character they hold; the core tests show each one's escape.
  const std::pair<std::string, std::string> kCharacters[] = {
      {"\n", "\\n"}, {"\r", "\\n"}, {"\x1b[2K\x1b[1G", "\\x1b[2K\\x1b[1G"},
      {"\xC2\x85", "\\u0085"}, {"\xE2\x80\xA8", "\\u2028"}};
  const std::string line = "OK (0 Errors, 0 Warnings)";
  for (int n = 0; n < int(std::size(kCharacters)); ++n) {
    Soup config;
    config.SetNamedKUID("kuid", KUID(400900, 1100 + n, 0));
    config.SetNamedTag("kind", "scenery");
    config.SetNamedFloat("kestro-build", 3.5f);
    config.SetNamedTag("username", ("Evil" + kCharacters[n].first + line).c_str());
    config.SetNamedTag(("odd" + kCharacters[n].first + line).c_str(), "1");
    const std::string folder = root_->Root() + "/chars/" + std::to_string(n);
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(config.SaveFile(nullptr, (folder + "/config.chump").c_str(), ""));
  }
  ASSERT_EQ(Run({"installfrompath", root_->Root() + "/chars"}).exitCode, 0);
  // Tags are judged by a command host; the daemon's end ends it.
  kestro_test::ToolRun hostRun;
  watchdog::Task host([&] { hostRun = Run({"pymcommandhost"}); });
  for (int n = 0; n < int(std::size(kCharacters)); ++n) {
    const std::string kuid = "<kuid:400900:" + std::to_string(1100 + n) + ">";
    const std::string shown = kCharacters[n].second;
    ExpectOut({"status", kuid},
              "+ " + kuid + " : eIadlmf : SY;SCEN : Evil" + shown + line + "\n" + kClean, 0);
    ToolRun validate;
    EXPECT_TRUE(watchdog::Eventually([&] {
      validate = Run({"validate", kuid});
      return validate.out.find("is not a known tag") != std::string::npos;
    }));
    const std::string odd = "- " + kuid + " : 'odd" + shown + line + "' in 'scenery'";
    EXPECT_NE(validate.out.find(odd + " is not a known tag.\n"), std::string::npos) << validate.out;
    EXPECT_EQ(Run({"delete", kuid}).exitCode, 0);
  }
  Restart();
  host.Join();
}

// A result line shows the system's own texts as they are (a backslash path) and the bytes of
// names, file names and expressions without obeying them: no line break that ends a name, no
// stray byte 0x80-0x9F of a sequence that is no UTF-8, from the tool, tettool, compile and the
// category search alike.
TEST_F(AssetCommands, ResultLinesShowTextsAsTheyAreAndObeyNoneOfTheirBytes) {
  const std::string kuid = "<kuid:400900:1200>";
  const std::string folder = root_->Root() + "/strays";
  root_->WriteFile("strays/config.txt", "kuid " + kuid +
                                            "\nkind \"scenery\"\nkestro-build 3.5\nmesh-table\n{\n"
                                            "  default\n  {\n    auto-create 1\n  }\n  night\n"
                                            "  {\n    att-parent \"nosuch\"\n  }\n}\n");
  Soup config;
  ASSERT_TRUE(config.LoadFile(nullptr, (folder + "/config.txt").c_str(), nullptr));
  std::filesystem::remove(folder + "/config.txt");
  config.SetNamedTag("username", "A\xC1\x9B\x32KFORGED");
  ASSERT_TRUE(config.SaveFile(nullptr, (folder + "/config.chump").c_str(), ""));
  ASSERT_EQ(mkfifo((folder + "/notes.doc\n").c_str(), 0600), 0);
  root_->WriteFile("forge.gs", "include \"x\x1b[2K\nFORGED.gs\"\nclass A { };\n");
  const std::string tettool = std::string(KESTRO_BINARY_DIR) + "/tettool validate --tetdata '" +
                              root_->Bin() + "/TETData' --data " + kDataDir + " '" + folder + "'";
  const struct {
    std::vector<std::string> args;  // empty: tettool
    std::string shown;
  } cases[] = {
      {{"installfrompath", folder}, "(not a file or folder): notes.doc\\n\n"},
      {{"status", kuid}, " : A\\xc1\\x9b2KFORGED\n"},
      {{}, "'att-parent' has the value 'nosuch', which is not valid in 'mesh-table\\night'."},
      {{"compile", root_->Root() + "/forge.gs"}, "x\\x1b[2k\\nforged.gs."},
      {{"searchbycategory", "-a", "TR\x1bLOCO"}, "holds the control character \\x1b."},
      {{"searchbycategory", "-a", "TR\aLOCO"}, "holds the control character \\x07."},
      {{"searchbycategory", "-a", "TR\vLOCO"}, "holds the control character \\x0b."},
      {{"searchbycategory", "-a", "TR\x7fLOCO"}, "holds the control character \\x7f."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "tettool" : c.args[0]);
    const std::string out = c.args.empty() ? kestro_test::RunCommand(tettool).out : Run(c.args).out;
    EXPECT_NE(out.find(c.shown), std::string::npos) << out;
    EXPECT_EQ(out.find("\n\n"), std::string::npos) << out;
    EXPECT_FALSE(std::any_of(out.begin(), out.end(), [](const char b) {
      return u8(b) >= 0x80 && u8(b) <= 0x9F;
    })) << out;
  }
  EXPECT_EQ(Run({"delete", kuid}).exitCode, 0);
}

TEST_F(AssetCommands, RepairGivesBackEveryAssetAfterTheIndexWasLost) {
  const std::string before = Run({"searchbycategory"}).out;
  ASSERT_NE(before.find("<kuid:400100:1001>"), std::string::npos);
  for (const bool truncate : {false, true}) {
    const std::string index = UserData() + "/assets.tdx";
    if (truncate) {
      std::filesystem::resize_file(index, 0);
    } else {
      std::filesystem::remove(index);
    }
    const ToolRun r = Run({"repairdatabase"});
    EXPECT_EQ(r.out.rfind("Repairing asset database (this may take some time)\n", 0), 0u);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(Run({"searchbycategory"}).out, before) << "truncated: " << truncate;
  }
  ExpectOut({"repairdatabase", "sideways"},
            "- <NULL> : Unknown parameter.\nOK (1 Errors, 0 Warnings)\n", 255);
}

// The daemon is killed while a loop edits and commits one asset: afterwards the asset is one of
// its versions, whole, and the index names what its folder holds.
TEST_F(AssetCommands, KilledInTheMiddleOfCommitsTheAssetIsWholeAndIndexed) {
  const std::string kuid = "<kuid:400100:1006>";
  std::atomic<int> done{0};
  std::atomic<bool> stop{false};
  std::thread loop([&] {
    for (int n = 1; n <= 40 && !stop.load(); ++n) {
      if (Run({"edit", kuid}).exitCode == 0) {
        root_->WriteFile(
            "UserData/editing/crashy/config.txt",
            "kuid " + kuid + "\nusername \"v" + std::to_string(n) + "\"\nkind \"scenery\"\n");
        Run({"commit", kuid});
      }
      done.store(n);
    }
  });
  for (int kills = 0; kills < 3; ++kills) {
    const int target = done.load() + 2;
    while (done.load() < target && done.load() < 40) std::this_thread::yield();
    for (const pid_t pid : root_->DaemonPids()) kill(pid, SIGKILL);
  }
  stop.store(true);
  loop.join();
  // Whole: the file as one of the loop's writes left it, first line to last.
  auto whole = [](const std::string& text) {
    const std::string head = "kuid <kuid:400100:1006>\nusername \"v";
    const std::string tail = "\"\nkind \"scenery\"\n";
    return text.rfind(head, 0) == 0 && text.size() > head.size() + tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  };
  const std::string editing = UserData() + "/editing/crashy/config.txt";
  const std::string installed = scratch::ReadAll(UserData() + "/local/crashy/config.txt");
  EXPECT_TRUE(whole(installed)) << installed;
  const bool open = std::filesystem::exists(editing);
  const std::string current = open ? scratch::ReadAll(editing) : installed;
  const std::string name = current.substr(current.find("username"));
  const std::string name_line = name.substr(0, name.find('\n'));
  const std::string dump = Run({"printconfig", kuid}).out;
  EXPECT_NE(dump.find(name_line.substr(name_line.find('"'))), std::string::npos)
      << dump << " vs " << current;
  EXPECT_EQ(Run({"status", kuid}).out.find(open ? " : EIadL" : " : eIadl"), 20u);
}

}  // namespace
