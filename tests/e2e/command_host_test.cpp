// The tool as the daemon's command host, against the stand-in daemon: a `pymcommandhost` process
// registers, the daemon hands it commands, and each reply is read back with its results log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "assetdata/cdp_dsid.h"
#include "assetdata/cdp_package.h"
#include "assetdata/results_log.h"
#include "assetdata/soup_tree.h"
#include "core/app_globals.h"
#include "core/networking.h"
#include "daemon/command_host_registry.h"
#include "daemon/daemon_test_util.h"
#include "mesh/mesh_fixture.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_client.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_request.h"
#include "support/fake_pym_server.h"
#include "support/install_root.h"
#include "support/test_images.h"
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
    AddAssets();
    for (size_t i = 0; i < kAssets.size(); ++i)
      root_->WriteFile(
          "UserData/local/a" + std::to_string(i) + "/config.txt",
          "kuid " + std::string(kAssets[i].ToString().CStr()) + "\nkestro-build 3.6\n");
    ASSERT_TRUE(InitInstallPaths(Qel::File::Path(root_->Root().c_str())));
    CreateUserDataFolders();
    ASSERT_TRUE(PymOpenDatabase(PymClientOptions()));
  }
  void TearDown() override {
    PymCloseDatabase();
    ClearInstallPaths();
  }

  // An unknown command gets an empty reply; it also tells when the host has registered.
  bool HostAnswers() {
    ResultsLog log;
    std::vector<u8> fields;
    return Send(Bytes().U32(7), log, fields) == 0 && fields.empty();
  }

  // Assets of a test's own, written before the daemon indexes the folders.
  virtual void AddAssets() {}

  // Hands the command to the registered host; the outcome, the reply's log and its other fields.
  u32 Send(const Bytes& command, ResultsLog& log, std::vector<u8>& fields) {
    PymRequest r;
    r.Out().WriteU32(60000);
    r.Out().WriteBytes(command.data.data(), u32(command.data.size()));
    u32 outcome = ~0u;
    if (!r.Transact(PymDaemonSrv::kOpRunHostCommand) || !r.In().ReadU32(outcome)) return ~0u;
    const Qel::DynamicBuffer& in = *r.In().GetBuffer();
    if (r.In().Tell() < in.GetDataSize()) ResultsLog::Read(r.In(), log);
    fields.assign(in.GetData() + r.In().Tell(), in.GetData() + in.GetDataSize());
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

TEST_F(CommandHostTest, ServesEveryCommandAndRefusesHostileArchives) {
  kestro_test::ToolRun run;
  watchdog::Task host([&] { run = root_->Run({"pymcommandhost"}); });
  ASSERT_TRUE(watchdog::Eventually([&] { return HostAnswers(); }));
  ResultsLog log;
  std::vector<u8> fields;

  const std::string archive = root_->Root() + "/three.karc";
  const std::string empty = root_->Root() + "/empty.karc";
  EXPECT_EQ(Send(ArchiveCommand(2, archive, kAssets), log, fields), 0u);
  EXPECT_EQ(fields, Bytes().U32(1).data);
  EXPECT_EQ(Send(ArchiveCommand(2, empty, {}), log, fields), 0u);
  EXPECT_EQ(fields, Bytes().U32(1).data);
  EXPECT_EQ(fs::file_size(empty), 28u);

  ASSERT_TRUE(PymDeleteAsset(kAssets[0], true, nullptr));
  EXPECT_EQ(Send(ArchiveCommand(3, archive, {kAssets[0], kMissing}), log, fields), 0u);
  EXPECT_EQ(fields, Bytes().U32(1).Kuid(kMissing).data);
  EXPECT_TRUE(IsAssetInstalled(kAssets[0]));
  EXPECT_EQ(log.GetErrorCount(), 0u);

  const std::string bytes = scratch::ReadAll(archive);
  const std::string folder = root_->Root() + "/UserData/local/a1";
  std::string cut = bytes.substr(0, ByteOrder::LoadLE32(&bytes[28]) + 20) + std::string(8, '\xFF');
  ByteOrder::StoreLE32(reinterpret_cast<u8*>(cut.data()) + 12, u32(cut.size()));
  const std::string back = bytes.substr(0, 28) + std::string(4, '\0') + bytes.substr(32);
  const std::vector<u8> want = Bytes().U32(1).Kuid(kAssets[1]).data;
  const std::string scripted = root_->Root() + "/UserData/local/scripted";
  root_->WriteFile(
      "UserData/local/scripted/config.txt",
      "kuid <kuid:700:20>\nusername \"s\"\nkind \"library\"\nkestro-build 3.6\nscript \"bad\"\n");
  const std::string good = root_->Root() + "/UserData/local/good";
  root_->WriteFile("UserData/local/good/config.txt",
                   "kuid <kuid:700:21>\nusername \"g\"\nkind \"library\"\nkestro-build 3.6\n");
  root_->WriteFile("UserData/local/scripted/bad.gs", "class Bad { int };\n");
  // One description converts, the other names its missing image.
  const std::string textured = root_->Root() + "/UserData/local/textured";
  root_->WriteFile("UserData/local/textured/good.tga", test_images::Tga(64, 64, false));
  root_->WriteFile("UserData/local/textured/good.texture.txt", "Primary=good.tga\n");
  root_->WriteFile("UserData/local/textured/bad.texture.txt", "Primary=gone.tga\n");
  // A mesh whose animation file is damaged.
  const std::string animated = root_->Root() + "/UserData/local/animated";
  fixture::MeshSpec mesh;
  mesh.chunks = {fixture::Quad(0)};
  root_->WriteFile("UserData/local/animated/config.txt",
                   "kuid <kuid:700:22>\nusername \"a\"\nkind \"scenery\"\nkestro-build 3.6\n"
                   "mesh-table\n{\n  default\n  {\n    mesh \"body.im\"\n    anim \"walk.kin\"\n  }\n}\n");
  root_->WriteFile("UserData/local/animated/body.im", fixture::WriteMesh(mesh));
  root_->WriteFile("UserData/local/animated/walk.kin", std::string(64, '\x3c'));
  // Without a command of its own a case installs its archive, which is refused.
  const struct Case {
    const char* what;
    std::string archive;
    Bytes command;
    std::vector<u8> fields;
    const char* text;
  } cases[] = {
      {"length off by one", bytes + "x", {}, want, "cannot be read"},
      {"version 2", bytes.substr(0, 4) + '\x02' + bytes.substr(5), {}, want, "version 2"},
      {"backward end", back, {}, want, "cannot be read"},
      {"truncated entry", cut, {}, want, "cannot be read"},
      {"validate", "", Bytes().U32(0).Name("local").Text(good), {1}, ""},
      {"faulty", "", Bytes().U32(0).Name("local").Text(folder), {0}, "no 'kind' tag"},
      // A configuration that passes has its script compiled: the compiler's message is an error.
      {"script", "", Bytes().U32(0).Name("local").Text(scripted), {0}, "bad.gs(1) : "},
      {"no configuration", "", Bytes().U32(0).Name("local").Text(folder + "/x"), {0}, "Unable"},
      {"animation", "", Bytes().U32(0).Name("local").Text(animated), {0},
       "Unable to load the animation 'walk.kin'."},
      {"no textures", "", Bytes().U32(1).Name("local").Text(folder), {2, 0, 0, 0}, ""},
      {"textures", "", Bytes().U32(1).Name("local").Text(textured), {0, 0, 0, 0},
       "(image 'textured/gone.tga' is missing)"},
      {"unwritable", "", ArchiveCommand(2, folder + "/x/y", kAssets), {0, 0, 0, 0}, "Unable to"},
  };
  for (const Case& c : cases) {
    root_->WriteFile("hostile.karc", c.archive);
    ResultsLog caseLog;
    const Bytes command = c.command.data.empty()
                              ? ArchiveCommand(3, root_->Root() + "/hostile.karc", {kAssets[1]})
                              : c.command;
    EXPECT_EQ(Send(command, caseLog, fields), 0u) << c.what;
    EXPECT_EQ(fields, c.fields) << c.what;
    std::string texts;
    for (const ResultsLogEntry& e : caseLog.GetEntries())
      texts += std::string(e.text.CStr()) + "\n";
    EXPECT_NE(texts.find(c.text), std::string::npos) << c.what << ": " << texts;
  }
  // The daemon's own validation asks the host too.
  ResultsLog validation;
  PymValidateAssetPath(Qel::File::Path(folder.c_str()), &validation);
  bool named = false;
  for (const ResultsLogEntry& e : validation.GetEntries())
    named = named || std::string(e.text.CStr()) == "The configuration has no 'kind' tag.";
  EXPECT_TRUE(named);

  ASSERT_TRUE(PymCloseDaemon());
  host.Join();
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  // Whoever started it learnt at once that it serves and how to stop it.
  EXPECT_EQ(run.out.rfind("Serving the asset database's commands; press Ctrl+C to stop.\n", 0), 0u)
      << run.out;
}

// Only a daemon that stops in order ends its host's work as done: one killed under the host
// leaves it saying so, and failing.
TEST_F(CommandHostTest, AHostWhoseDaemonIsKilledSaysTheDaemonWentAway) {
  kestro_test::ToolRun run;
  watchdog::Task host([&] { run = root_->Run({"pymcommandhost"}); });
  ASSERT_TRUE(watchdog::Eventually([&] { return HostAnswers(); }));
  const std::vector<pid_t> daemons = root_->DaemonPids();
  ASSERT_EQ(daemons.size(), 1u);
  kill(daemons[0], SIGKILL);
  host.Join();
  EXPECT_EQ(run.exitCode, 255) << run.out << run.err;
  EXPECT_NE(run.out.find(" : PymDaemon went away without stopping; the host stopped serving it.\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("OK (0 Errors"), std::string::npos) << run.out;
}

// The daemon serves one connection's requests in order, so its answer to a request sent after
// the registration says that it knows the host. The host says it serves only after that answer:
// a daemon that never gives it gets no such line, and the host ends when its connection does.
TEST(CommandHostStart, SaysItServesOnlyOnceTheDaemonAnsweredBehindTheRegistration) {
  InstallRoot::Layout layout;
  layout.withDaemon = false;  // the scripted daemon is the only one
  const InstallRoot root(KESTRO_BINARY_DIR, kDataDir, layout);
  ASSERT_TRUE(root.IsReady()) << root.Error();
  FakePymServer daemon(root.Root() + "/UserData/assets.tdx");
  ASSERT_TRUE(daemon.Start());
  ASSERT_TRUE(daemon.Publish());
  std::atomic<bool> registered{false};
  std::atomic<bool> held{false};
  daemon.SetHandler([&](FakePymServer&, const FakePymServer::Frame& f) {
    if (f.opcode == PymProtocol::kOpRegisterCommandHost) registered = true;
    // The first transaction after the registration is left unanswered.
    return registered && f.id != PymProtocol::kPostTransactionId && !held.exchange(true);
  });

  kestro_test::ToolRun run;
  watchdog::Task host([&] { run = root.Run({"pymcommandhost"}); });
  ASSERT_TRUE(watchdog::Eventually([&] { return held.load(); }));
  daemon.CloseConnections();
  host.Join();
  EXPECT_EQ(run.exitCode, 255) << run.out;
  EXPECT_EQ(run.out.find("Serving the asset database's commands"), std::string::npos) << run.out;
}

// A host that works longer than the silence limit, hosts asked by many at once, and one killed
// mid-validation. The slow asset's configuration holds so many unknown tags that its validation
// takes seconds, several times the host's silence limit.
class CommandHostWorkTest : public CommandHostTest {
 protected:
  static constexpr const char* kSlow = "<kuid:700:30>";
  static constexpr const char* kScripted = "<kuid:700:31>";
  static constexpr const char* kHostFinding = "The script file 'gone' does not exist.";
  static constexpr const char* kNotValidated = "not validated by the command host";
  static constexpr int kSlowTags = 150000;

  void AddAssets() override {
    const std::string head = "username \"s\"\nkind \"scenery\"\nkestro-build 3.6\n";
    root_->WriteFile("UserData/local/scripted/config.txt",
                     "kuid " + std::string(kScripted) + "\n" + head + "script \"gone\"\n");
    std::string slow = "kuid " + std::string(kSlow) + "\n" + head;
    for (int i = 0; i < kSlowTags; ++i) {
      slow += "unknown-tag-" + std::to_string(i) + " " + std::to_string(i) + "\n";
    }
    root_->WriteFile("UserData/local/slow/config.txt", slow);
  }

  // The host process of this root, found by its arguments.
  pid_t HostPid() const {
    const std::string want = root_->Bin() + "/KestroUtil" + '\0' + "pymcommandhost" + '\0';
    for (const auto& entry : fs::directory_iterator("/proc")) {
      std::ifstream in(entry.path() / "cmdline", std::ios::binary);
      const std::string line((std::istreambuf_iterator<char>(in)), {});
      if (line == want) return pid_t(std::stoi(entry.path().filename().string()));
    }
    return -1;
  }

  // The processor time the host has used, in clock ticks; -1 without a host.
  long HostTicks() const {
    const pid_t pid = HostPid();
    if (pid <= 0) return -1;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    const size_t end = stat.rfind(')');
    if (end == std::string::npos) return -1;
    std::istringstream fields(stat.substr(end + 2));
    std::string field;
    long user = 0;
    long system = 0;
    // After the name: state is field 3, user time field 14, system time field 15.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
      if (n == 14) user = std::stol(field);
      if (n == 15) system = std::stol(field);
    }
    return user + system;
  }

  // True once the host has worked half a second since `since` ticks: it is mid-validation.
  bool HostBusySince(long since) const {
    return HostTicks() - since >= sysconf(_SC_CLK_TCK) / 2;
  }
};

TEST_F(CommandHostWorkTest, EveryValidationIsTheHostsOrSaysItIsNot) {
  // The host alone gets a silence limit far below the time its validation takes.
  ::setenv("KESTRO_SILENCE_LIMIT_MS", "1000", 1);
  kestro_test::ToolRun hostRun;
  watchdog::Task host([&] { hostRun = root_->Run({"pymcommandhost"}); });
  const bool registered = watchdog::Eventually([&] { return HostAnswers(); });
  ::unsetenv("KESTRO_SILENCE_LIMIT_MS");
  ASSERT_TRUE(registered);

  // Many at once against the one host: each waits its turn and gets the host's finding.
  {
    kestro_test::ToolRun runs[6];
    std::vector<std::unique_ptr<watchdog::Task>> asking;
    for (kestro_test::ToolRun& run : runs) {
      asking.push_back(std::make_unique<watchdog::Task>(
          [&] { run = root_->Run({"validate", kScripted}); }));
    }
    for (auto& task : asking) task->Join();
    for (const kestro_test::ToolRun& run : runs) {
      EXPECT_NE(run.out.find(kHostFinding), std::string::npos) << run.out << run.err;
    }
  }

  // A validation several silence limits long keeps the host registered: the whole of it comes
  // back (every unknown tag is the host's finding), and the next one reaches the host too.
  {
    const kestro_test::ToolRun run = root_->Run({"validate", kSlow});
    EXPECT_EQ(run.out.find(kNotValidated), std::string::npos) << run.out.substr(0, 2000);
    EXPECT_NE(run.out.find("unknown-tag-" + std::to_string(kSlowTags - 1) + "'"),
              std::string::npos)
        << run.out.substr(run.out.size() > 2000 ? run.out.size() - 2000 : 0);
    const kestro_test::ToolRun after = root_->Run({"validate", kScripted});
    EXPECT_NE(after.out.find(kHostFinding), std::string::npos) << after.out;
  }

  // A host killed mid-validation: the result says the host did not validate the asset.
  kestro_test::ToolRun killed;
  const long before = HostTicks();
  ASSERT_GE(before, 0);
  watchdog::Task asking([&] { killed = root_->Run({"validate", kSlow}); });
  ASSERT_TRUE(watchdog::Eventually([&] { return HostBusySince(before); }));
  const pid_t pid = HostPid();
  ASSERT_GT(pid, 0);
  kill(pid, SIGKILL);
  asking.Join();
  host.Join();
  EXPECT_NE(killed.out.find("- " + std::string(kSlow) +
                            " : PymDaemon: the asset was not validated by the command host "
                            "(the command host's connection ended)\n"),
            std::string::npos)
      << killed.out.substr(0, 2000);
  EXPECT_EQ(killed.out.find("OK (0 Errors"), std::string::npos) << killed.out.substr(0, 2000);
}

// Two script libraries, one whose lib.gs compiles and one whose lib.gs does not, validated by a
// real host through an editing copy.
class ValidationMarkTest : public CommandHostTest {
 protected:
  static constexpr const char* kGood = "<kuid:400000:202>";
  static constexpr const char* kBad = "<kuid:400000:201>";
  static constexpr const char* kCompiles = "class Lib {\n  public int One() { return 1; }\n};\n";
  static constexpr const char* kBroken = "return 1 +;\n";

  void AddAssets() override {
    const char* head = "kind \"library\"\nkestro-build 3.5\nscript \"lib\"\nclass \"Lib\"\n";
    root_->WriteFile("UserData/local/good/config.txt",
                     "kuid " + std::string(kGood) + "\nusername \"Good lib\"\n" + head);
    root_->WriteFile("UserData/local/good/lib.gs", kCompiles);
    root_->WriteFile("UserData/local/bad/config.txt",
                     "kuid " + std::string(kBad) + "\nusername \"Bad lib\"\n" + head);
    root_->WriteFile("UserData/local/bad/lib.gs", kBroken);
  }
};

// `status` shows the verdict on the files installed now, whichever copy a validation judged: a
// commit carries the verdicts of the files it copies, files written since their last validation
// carry none, even with the judged bytes, and a revert leaves the installed files theirs.
TEST_F(ValidationMarkTest, StatusShowsTheVerdictOnTheFilesInstalledNow) {
  kestro_test::ToolRun hostRun;
  watchdog::Task host([&] { hostRun = root_->Run({"pymcommandhost"}); });
  ASSERT_TRUE(watchdog::Eventually([&] { return HostAnswers(); }));
  const struct {
    const char* kuid;
    const char* folder;
    // Commands, or "compiles" and "broken" written into the editing copy's lib.gs, each with
    // the flags `status` shows afterwards (none for "").
    std::vector<std::pair<std::string, std::string>> steps;
  } cases[] = {
      {kGood, "good", {{"validate", "eIadlmf"}, {"edit", ""}, {"broken", ""},
                       {"validate", "EIadLmF"}, {"compiles", ""}, {"commit", "eIadlmf"}}},
      {kBad, "bad", {{"validate", "eIadlmF"}, {"edit", ""}, {"compiles", ""},
                     {"validate", "EIadLmf"}, {"broken", ""}, {"commit", "eIadlmf"}}},
      {kGood, "good", {{"edit", ""}, {"broken", ""}, {"validate", "EIadLmF"},
                       {"revert", "eIadlmf"}}},
  };
  for (const auto& c : cases) {
    for (const auto& [step, flags] : c.steps) {
      if (step == "compiles" || step == "broken") {
        root_->WriteFile("UserData/editing/" + std::string(c.folder) + "/lib.gs",
                         step == "broken" ? kBroken : kCompiles);
        continue;
      }
      const kestro_test::ToolRun run = root_->Run({step, c.kuid});
      if (flags.empty()) continue;
      const std::string name = c.kuid == std::string(kGood) ? "Good lib" : "Bad lib";
      const kestro_test::ToolRun status = root_->Run({"status", c.kuid});
      EXPECT_EQ(status.out, "+ " + std::string(c.kuid) + " : " + flags + " : SLIB : " + name +
                                "\nOK (0 Errors, 0 Warnings)\n")
          << c.kuid << " after " << step << ": " << run.out;
    }
  }
  ASSERT_TRUE(PymCloseDaemon());
  host.Join();
}

void PutRaw(Soup& soup, const char* name, const std::string& bytes) {
  soup.EnsureContainer();
  soup.GetRoot()->AddChild(
      name, soup.GetRoot()->CreateTag(kKindRaw,
                                      ACSRawDataCore::CreateCopy(bytes.data(), u32(bytes.size()))));
}

Soup Archived(const KUID& kuid, const char* compression,
              const std::vector<std::pair<const char*, std::string>>& files,
              const char* name = "Good") {
  Soup asset, folder;
  asset.SetNamedKUID("kuid", kuid);
  asset.SetNamedTag("kind", "scenery");
  asset.SetNamedTag("username", name);
  asset.SetNamedFloat("kestro-build", 3.6f);
  asset.SetNamedTag("description", "Line one\r\nLine two \\ end");
  for (const auto& [name, bytes] : files) PutRaw(folder, name, bytes);
  asset.SetNamedSoup("files", folder);
  asset.SetNamedTag("compression", compression);
  SetAssetDsid(asset);
  return asset;
}

// With a second asset whose files cannot be written, every asset of the package is taken back
// (none is left open for edit): one that was new is gone, one installed before keeps its old
// version. Nothing is described or written.
TEST_F(CommandHostTest, VnyParseDescribesAWholePackageAndRevertsAFailedOne) {
  const KUID good(710, 1, 0);
  const std::string incoming = root_->Root() + "/";
  const struct {
    bool withBadAsset;
    const char* name;           // of the good asset in the package
    const char* installedName;  // of the good asset afterwards; null: not installed
  } rounds[] = {
      {true, "Good", nullptr},
      {false, "Good", "Good"},
      {true, "Changed", "Good"},
  };
  for (const auto& round : rounds) {
    SCOPED_TRACE(std::string(round.withBadAsset ? "with a bad asset, " : "good asset only, ") +
                 round.name);
    Soup package;
    Soup first =
        Archived(good, "", {{"thumbnail.jpg", "ASSETJPG"}, {"a.txt", "hello"}}, round.name);
    ASSERT_TRUE(AddArchivedAsset(package, first).IsEmpty());
    if (round.withBadAsset) {
      // Its one file declares 100 bytes and holds none, so its files cannot be written.
      Soup second = Archived(KUID(710, 2, 0), "LZSS", {{"b.txt", std::string("\x64\0\0\0", 4)}});
      ASSERT_TRUE(AddArchivedAsset(package, second).IsEmpty());
    }
    ASSERT_TRUE(SaveContentPackage(package, (incoming + "new.cdp").c_str()).IsEmpty());

    const kestro_test::ToolRun run = root_->Run({"vnyparse", "new.cdp"});
    PymAssetInfo info;
    const bool known = PymGetAssetInfo(good, info, PymAssetInfo::kPartAll);
    EXPECT_EQ(known && info.GetFlag(PymAssetInfo::kFlagInstalled), round.installedName != nullptr);
    if (round.installedName != nullptr) {
      EXPECT_EQ(std::string(info.name.View()), round.installedName);
      EXPECT_FALSE(info.GetFlag(PymAssetInfo::kFlagOpenForEdit));
    }
    if (round.withBadAsset) {
      EXPECT_EQ(run.exitCode, 255) << run.err;
      EXPECT_NE(run.out.find("Aborted processing"), std::string::npos) << run.out;
      EXPECT_EQ(run.out.find("Name: "), std::string::npos) << run.out;
      EXPECT_FALSE(std::filesystem::exists(incoming + "kuid 710 1.cdp"));
      EXPECT_FALSE(PymGetAssetInfo(KUID(710, 2, 0), info, PymAssetInfo::kPartAll));
      continue;
    }
    EXPECT_EQ(run.exitCode, 0) << run.err << run.out;
    for (const char* line :
         {"<kuid:710:1> : Name: Good\n", "<kuid:710:1> : Description: Line one\\nLine two \\ end\n",
          "Kestro-build: 3.6\n", "kind: scenery\n", "alias-kuid: <NULL>\n"}) {
      EXPECT_NE(run.out.find(line), std::string::npos) << line << " in\n" << run.out;
    }
    EXPECT_EQ(scratch::ReadAll(incoming + "kuid 710 1.jpg"), "ASSETJPG");
    Soup written;
    EXPECT_EQ(OpenContentPackage(written, Qel::PString(), (incoming + "kuid 710 1.cdp").c_str()),
              "");
    EXPECT_EQ(FindPackageAsset(written, good), 0);
    std::filesystem::remove(incoming + "kuid 710 1.cdp");
  }
}

}  // namespace
