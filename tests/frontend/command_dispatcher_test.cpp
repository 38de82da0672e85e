// The dispatcher: the commands that need no daemon, error entries of commands whose daemon went
// away or refused a write, the crash guard and the start-up folder helpers.
#include "frontend/command_dispatcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "assetdata/cdp_package.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/app_globals.h"
#include "daemon/asset_editor.h"
#include "daemon/daemon_app.h"
#include "daemon/daemon_test_util.h"
#include "daemon/request_handlers.h"
#include "daemon/server.h"
#include "frontend/application.h"
#include "pymclient/pym_protocol.h"
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
  d.out = scratch::CaptureStdout(
      [&] { d.result = RunCommand(&log, &context, int(args.size()), argv.data()); });
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
    userData_ = std::filesystem::canonical(GetDatabasePath().GetFolder().CStr()).string();
    daemon_test::MakeAsset(userData_, "local", "a", daemon_test::Config("<kuid:10:1>"));
    daemon_test::WriteFile(root_ + "/KeywordsDump.dat", "KUID:10:1 \"steam;express\"\n");
    std::string error;
    ASSERT_TRUE(store_.Open(userData_, &error)) << error;
    Serve();
  }
  void TearDown() override {
    ScriptedDaemonTest::TearDown();
    StopServing();
  }
  void Serve() {
    daemon_ = std::make_unique<PymDaemonSrv::Server>(handlers_, policy_);
    std::string error;
    ASSERT_TRUE(daemon_->Listen(0, &error)) << error;
    runner_ = std::thread([this] { daemon_->Run(); });
    ASSERT_TRUE(server_->Publish(0, daemon_->Port()));
    ASSERT_TRUE(PymOpenDatabase(options_));
  }
  void StopServing() {
    if (daemon_ != nullptr) daemon_->Stop();
    if (runner_.joinable()) runner_.join();
    handlers_.WaitForBackgroundWork();
  }
  void Stop() {
    PymCloseDatabase();
    PymDisconnect(true);
    StopServing();
    store_.Close();
  }
  // Starts the daemon again over the same UserData, as after a reboot; with `failSettingsCommit`,
  // the start's write transaction of that rank to the settings fails.
  void Start(int failSettingsCommit = 0) {
    disk_.FailCommit("settings.tdx-wal", failSettingsCommit);
    std::string error;
    ASSERT_TRUE(PymDaemonSrv::OpenStore(store_, userData_, error)) << error;
    Serve();
  }

  SqliteDiskFaults disk_;
  std::string userData_;
  PymDaemonSrv::AssetStore store_;
  PymDaemonSrv::RequestHandlers handlers_{store_};
  PymDaemonSrv::ConnectionPolicy policy_;
  std::unique_ptr<PymDaemonSrv::Server> daemon_;
  std::thread runner_;
};

// Each command used to report success, or a KUID it did not make, on a write the disk refused.
// One I/O error refuses only the write it meets, a start's (which forgets a take-back name) or a
// later one: the next writes of the settings and of the index go through without a restart.
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
  disk_.full = false;
  const struct {
    const char* name;
    const char* log;
    std::vector<std::string> refused;  // the command whose write fails; none for the start's
  } once[] = {
      {"a start's settings write", "settings.tdx-wal", {}},
      {"a later settings write", "settings.tdx-wal", {"registeraccount", "someone", "secret"}},
      {"a later index write", "assets.tdx-wal", {"edit", "<kuid:10:1>"}},
  };
  for (const auto& row : once) {
    SCOPED_TRACE(row.name);
    if (row.refused.empty()) {
      Soup names;
      names.EnsureContainer();
      names.SetNamedTag("<kuid:10:9>", "no copy");
      ASSERT_TRUE(store_.SetSettingsSoup(PymProtocol::kTakeBackGroup, names));
      Stop();
      disk_.FailWrite(row.log, 1);
      Start();
      EXPECT_EQ(store_.GetSettingsSoup(PymProtocol::kTakeBackGroup).CountTags(), 1u);
    } else {
      disk_.FailWrite(row.log, 1);
      const Dispatched d = Dispatch(row.refused);
      ASSERT_FALSE(d.entries.empty());
      EXPECT_NE(d.entries[0].text.Std().find("disk I/O error"), std::string::npos);
    }
    for (const std::vector<std::string>& args : {std::vector<std::string>{"generatekuid"},
                                                 {"registeraccount", "someone", "secret"},
                                                 {"edit", "<kuid:10:1>"},
                                                 {"revert", "<kuid:10:1>"}}) {
      EXPECT_EQ(Dispatch(args).result, 0) << args[0];
    }
  }
}

// A package of the assets `kuids`, each holding `count` small files.
std::string TakeBackPackage(const std::string& folder, const std::vector<std::string>& kuids,
                            int count) {
  Soup package;
  for (const std::string& kuid : kuids) {
    Soup files;
    files.EnsureContainer();
    for (int i = 0; i < count; ++i) {
      const std::string bytes = "file " + std::to_string(i);
      files.GetRoot()->AddChild(
          Qel::PString(("f" + std::to_string(i) + ".txt").c_str()),
          files.GetRoot()->CreateTag(kKindRaw,
                                     ACSRawDataCore::CreateCopy(bytes.data(), u32(bytes.size()))));
    }
    Soup asset;
    asset.EnsureContainer();
    asset.SetNamedKUID(Qel::PString("kuid"), KUID::Parse(kuid.c_str(), true));
    asset.SetNamedTag(Qel::PString("kind"), Qel::PString("scenery"));
    asset.SetNamedSoup(kTagFiles, files);
    EXPECT_EQ(AddArchivedAsset(package, asset), Qel::PString());
  }
  const std::string path =
      folder + "/p" + std::to_string(count) + "-" + std::to_string(kuids.size()) + ".cdp";
  EXPECT_EQ(SaveContentPackage(package, path.c_str()), Qel::PString());
  return path;
}

// A name a vnyparse left for a start to take back never takes back a copy the user edits later:
// whether the settings refused the write that drops it, the tool was killed between the install
// and its commit, or a start could not rewrite the names once it had taken the copy back. The
// user's saves outlive the next start, in a copy the index still names (an edit never hands out
// the emptied copy a killed tool left); what is taken back is kept in the backups. A daemon
// killed as it names the copy leaves the asset as it was. No other command changes an asset
// while an install holds it, however long the tool is silent, nor does a repair; a take-back finds
// the copy after a restore, and by a name an older build wrote; a folder the index does not name
// never refuses an edit; a commit of what a killed tool left commits nothing and says so. An
// install is its command's: a tool silent past its own limit keeps its hold, one whose daemon was
// started anew under it stops and writes nothing into the copy the user edits then, and an
// install run again, or an edit, after a kill takes back what the killed one left. Backups on
// another file system take what is taken back as well, and an edit goes on when they cannot: what
// is taken back waits in staging for the next start.
TEST_F(FullDiskTest, ATakeBackNeverTakesTheCopyOfALaterEdit) {
  namespace fs = std::filesystem;
  const std::string kuid = "<kuid:10:1>";
  const std::string added = "<kuid:10:2>";
  const std::string editing = userData_ + "/editing/a";
  const std::string held = "another command's install holds the asset";
  const struct {
    const char* name;
    int dropFails = 0;    // the vnyparse's write transaction of the settings that fails, 0 for none
    bool killed = false;  // the tool killed once it emptied the install's editing copy
    bool startFails = false;  // the next start's rewrite of the names fails
    bool daemonKilled =
        false;  // the daemon killed as it names the install's copy, and started again
    // Another shell's commands while the tool still writes the copy, each refused.
    std::vector<const char*> meanwhile = {};
    bool added =
        false;  // the package's first asset is new, its second open for editing by the user
    bool stopped = false;    // the tool stopped (Ctrl-Z) past the daemon's idle limit meanwhile
    bool oldName = false;    // after the kill, the name as the build 0931cf0 wrote it, and a start
    bool restored = false;   // after the kill, UserData restored from a copy, and a start
    bool committed = false;  // after the kill, a commit
    bool stray = false;      // a folder the index does not name at the editing path
    bool repaired = false;   // a repairdatabase extended meanwhile, which leaves the copy be
    bool another = false;    // another local asset, which a vnydeleteall meanwhile deletes
    bool silence = false;    // the tool's silence limit shorter than the install's writes
    // The daemon stopped and started again under the stopped tool, and the asset edited and a
    // file saved in another shell before the tool goes on.
    bool restarted = false;
    bool retried = false;    // after the kill, the install run again (of the new asset alone)
    bool edited = false;     // after the kill, an edit of the new asset
    bool away = false;       // the backups a link to a folder on another file system
    bool copyFails = false;  // the copies to there fail at the edit, as on a full disk
  } rows[] = {
      {.name = "the drop is refused", .dropFails = 2},
      {.name = "the tool is killed", .killed = true},
      {.name = "a start's rewrite is refused", .killed = true, .startFails = true},
      {.name = "the daemon is killed as it names the copy", .daemonKilled = true},
      {.name = "an edit comes while the install writes", .meanwhile = {"edit"}},
      {.name = "an edit of a new asset comes while it installs",
       .meanwhile = {"edit"},
       .added = true},
      {.name = "a revert comes while the install writes", .meanwhile = {"revert"}},
      {.name = "a delete comes while the install writes", .meanwhile = {"delete"}},
      {.name = "a commit comes while the install writes", .meanwhile = {"commit"}},
      {.name = "the tool is silent past the idle limit", .meanwhile = {"edit"}, .stopped = true},
      {.name = "the name is an older build's", .killed = true, .oldName = true},
      {.name = "UserData is restored from a copy", .killed = true, .restored = true},
      {.name = "a commit comes after the tool is killed", .killed = true, .committed = true},
      {.name = "a folder the index does not name", .stray = true},
      {.name = "the tool is killed as it writes a new asset", .killed = true, .added = true},
      {.name = "a repair comes while the install writes", .repaired = true},
      {.name = "a vnydeleteall comes while the install writes",
       .meanwhile = {"vnydeleteall"},
       .another = true},
      {.name = "the tool writes for longer than its own silence limit",
       .meanwhile = {"edit"},
       .added = true,
       .silence = true},
      {.name = "the daemon is restarted under the install", .restarted = true},
      {.name = "the install is run again after the tool is killed",
       .killed = true,
       .retried = true},
      {.name = "a new asset's install is run again after the tool is killed",
       .killed = true,
       .added = true,
       .retried = true},
      {.name = "a new asset is edited after the tool is killed",
       .killed = true,
       .added = true,
       .edited = true},
      {.name = "the tool is killed, the backups on another file system",
       .killed = true,
       .away = true},
      {.name = "the tool is killed, and the other file system cannot take the copy",
       .killed = true,
       .away = true,
       .copyFails = true},
  };
  const auto says = [](const std::vector<ResultsLogEntry>& entries, const std::string& text) {
    return std::any_of(entries.begin(), entries.end(), [&](const ResultsLogEntry& e) {
      return e.text.Std().find(text) != std::string::npos;
    });
  };
  // How many folders named `name` the backups keep below a folder named `below`.
  const auto kept = [&](const std::string& below, const std::string& name) {
    size_t count = 0;
    std::error_code none;  // no backups at all
    for (const auto& e : fs::recursive_directory_iterator(userData_ + "/backups", none)) {
      count += e.path().parent_path().filename() == below &&
               (name.empty() || e.path().filename() == name);
    }
    return count;
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const daemon_test::OtherFileSystem elsewhere(userData_);
    if (row.away && elsewhere.path.empty()) {
      std::printf("[  SKIPPED ] %s: /dev/shm is no other file system\n", row.name);
      continue;
    }
    if (row.away) fs::create_directory_symlink(elsewhere.path, userData_ + "/backups");
    // Thousands of files, so that the tool is still writing them when it is killed; one more
    // than an earlier row installed where the last must not reach the user's copy.
    const bool forked = row.killed || !row.meanwhile.empty() || row.repaired || row.restarted;
    const KUID other = KUID::Parse("<kuid:10:3>", true);
    if (row.another) {
      daemon_test::MakeAsset(root_, "more", "b", daemon_test::Config(other.ToString().CStr()));
      ASSERT_EQ(Dispatch({"installfrompath", root_ + "/more"}).result, 0);
    }
    const std::string package =
        TakeBackPackage(root_, row.added ? std::vector{added, kuid} : std::vector{kuid},
                        forked ? 3000 + row.restarted : 1);
    if (row.added) {
      ASSERT_EQ(Dispatch({"edit", kuid}).result, 0);
    }
    if (row.stopped) {
      Stop();
      policy_.idleSeconds = 1;
      Start();
    }
    if (forked) {
      PymCloseDatabase();
      PymDisconnect(true);
      // The daemon's threads end the close before the fork: a tool forked while one of them holds
      // the allocator's lock would wait for it for ever.
      usleep(100 * 1000);
      const pid_t tool = fork();
      ASSERT_GE(tool, 0);
      if (tool == 0) {
        PymOpenDatabase(options_);
        // Longer than the daemon's pause between the notes it sends while it works.
        if (row.silence) PymSetSilenceLimit((PymProtocol::kKeepAliveNoteSeconds + 1) * 1000);
        const Dispatched d = Dispatch({"vnyparse", package});
        std::string said = "exit " + std::to_string(d.result) + "\n";
        for (const ResultsLogEntry& e : d.entries) said += e.text.Std() + "\n";
        daemon_test::WriteFile(root_ + "/said.txt", said);
        _exit(0);
      }
      // Killed once it emptied the copy: the configuration comes after every other file. A new
      // asset's copy has its configuration from the start.
      fs::path copy = editing;
      const auto writing = [&] {
        if (!row.added) return fs::exists(editing) && !fs::exists(editing + "/config.txt");
        std::error_code none;
        for (const auto& e : fs::directory_iterator(userData_ + "/editing", none)) {
          if (e.path().filename() != "a" && fs::exists(e.path() / "f0.txt")) {
            copy = e.path();
            return true;
          }
        }
        return false;
      };
      // A minute, as a loaded machine may take that long to start the tool.
      for (int i = 0; i < 120000 && !writing(); ++i) usleep(500);
      EXPECT_TRUE(writing()) << "the tool never began to write the copy";
      if (row.stopped || row.restarted) kill(tool, SIGSTOP);
      if (row.stopped) usleep(2500 * 1000);
      // The tool's writing waits at the last file, a pipe, for longer than its silence limit:
      // a slow disk, or a large package.
      const std::string pipe = (copy / "f2999.txt").string();
      if (row.silence) {
        ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
        usleep((PymProtocol::kKeepAliveNoteSeconds + 2) * 1000 * 1000);
      }
      if (row.restarted) {
        // The start takes back the half copy; the user's edit makes a copy at the same path.
        Stop();
        Start();
        ASSERT_EQ(Dispatch({"edit", kuid}).result, 0);
        daemon_test::WriteFile(editing + "/mine.txt", "mine");
      }
      // Neither handed the copy the install writes nor its take-back, which would revert the
      // user's copy once the install failed: every change is refused until the install ends, and
      // a repair leaves the asset as it stands.
      if (!row.meanwhile.empty() || row.repaired) {
        ASSERT_TRUE(PymOpenDatabase(options_));
        for (const char* command : row.meanwhile) {
          const Dispatched d = Dispatch({command, row.added ? added : kuid});
          EXPECT_NE(d.result, 0) << command;
          EXPECT_TRUE(says(d.entries, held)) << command;
        }
        PymDaemonSrv::AssetRecord record;
        if (row.another) {
          EXPECT_FALSE(store_.GetAsset(other, record)) << "the asset no install holds goes";
        }
        // The index still names the half copy, which stays where the install writes it.
        if (row.repaired) {
          const Dispatched d = Dispatch({"repairdatabase", "extended"});
          EXPECT_EQ(d.result, 0);
          EXPECT_TRUE(says(d.entries, "is left as it stands: " + held));
          EXPECT_TRUE(store_.GetAsset(KUID::Parse(kuid.c_str(), true), record) &&
                      record.folder == PymDaemonSrv::AssetEditor::kEditingFolder);
          EXPECT_TRUE(fs::exists(editing));
        }
      } else if (row.killed) {
        kill(tool, SIGKILL);
      }
      if (row.silence) {
        // Not waiting for a writer: a tool that never came to the pipe must not hold the test.
        const int end = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
        EXPECT_GE(end, 0) << "another command took the copy away";
        if (end < 0) kill(tool, SIGKILL);
        fcntl(end, F_SETFL, 0);
        char sink[64];
        while (end >= 0 && read(end, sink, sizeof sink) > 0) {
        }
        if (end >= 0) close(end);
      }
      if (row.stopped || row.restarted) kill(tool, SIGCONT);
      int status = 0;
      pid_t ended = 0;
      for (int i = 0; i < 1200 && (ended = waitpid(tool, &status, WNOHANG)) == 0; ++i) {
        usleep(50 * 1000);
      }
      if (ended == 0) {
        kill(tool, SIGKILL);
        waitpid(tool, nullptr, 0);
      }
      ASSERT_EQ(ended, tool) << "the tool did not end within a minute";
      ASSERT_EQ(WIFSIGNALED(status), row.killed) << "the tool ended before it was killed";
      const std::string said = daemon_test::ReadFileText(root_ + "/said.txt");
      PymDaemonSrv::AssetRecord record;
      if (row.retried) {
        // The copy the killed install left is taken back, and the install goes on.
        ASSERT_TRUE(PymOpenDatabase(options_));
        const Dispatched d =
            Dispatch({"vnyparse", row.added ? TakeBackPackage(root_, {added}, 1) : package});
        std::string told;
        for (const ResultsLogEntry& e : d.entries) told += e.text.Std() + "\n";
        EXPECT_EQ(d.result, 0) << told;
        EXPECT_TRUE(says(d.entries, "an unfinished install left the editing copy, now kept in"));
        EXPECT_TRUE(
            store_.GetAsset(KUID::Parse((row.added ? added : kuid).c_str(), true), record) &&
            record.folder == PymDaemonSrv::AssetEditor::kLocalFolder);
        if (row.added) {
          EXPECT_EQ(Dispatch({"delete", added}).result, 0);
        }
      } else if (row.edited) {
        // One line says why the new asset is gone.
        ASSERT_TRUE(PymOpenDatabase(options_));
        const Dispatched d = Dispatch({"edit", added});
        EXPECT_NE(d.result, 0);
        ASSERT_EQ(d.entries.size(), 1u) << said;
        EXPECT_NE(d.entries[0].text.Std().find("left the editing copy, now kept in"),
                  std::string::npos);
        EXPECT_NE(d.entries[0].text.Std().find("the asset was never installed"), std::string::npos);
        EXPECT_FALSE(store_.GetAsset(KUID::Parse(added.c_str(), true), record));
      } else if (row.added && row.killed) {
        // A start takes back the half copy of the new asset, which is then no asset at all.
        Stop();
        Start();
        EXPECT_FALSE(store_.GetAsset(KUID::Parse(added.c_str(), true), record));
      } else if (row.restarted) {
        // The tool stops, changes nothing through the new daemon and says why; the user's copy
        // holds none of the package's files.
        EXPECT_NE(said.find("The daemon that held this install ended"), std::string::npos) << said;
        EXPECT_EQ(said.rfind("exit 0", 0), std::string::npos) << said;
        EXPECT_EQ(daemon_test::ReadFileText(editing + "/mine.txt"), "mine");
        EXPECT_FALSE(fs::exists(editing + "/f3000.txt")) << said;
        EXPECT_TRUE(store_.GetAsset(KUID::Parse(kuid.c_str(), true), record) &&
                    record.folder == PymDaemonSrv::AssetEditor::kEditingFolder);
      } else if (row.added) {
        // The abort keeps the new asset it took away, and says where.
        EXPECT_NE(said.find("Deleted; its folders are kept in"), std::string::npos) << said;
        EXPECT_FALSE(store_.GetAsset(KUID::Parse(added.c_str(), true), record));
        EXPECT_EQ(kept("local", ""), 1u);
      } else if (!row.meanwhile.empty() || row.repaired) {
        EXPECT_TRUE(fs::exists(userData_ + "/local/a/f2999.txt")) << said;
        EXPECT_EQ(said.find("Aborted processing"), std::string::npos) << said;
      } else {
        ASSERT_TRUE(PymOpenDatabase(options_));
      }
    } else if (row.daemonKilled) {
      Stop();
      const pid_t daemon = fork();
      ASSERT_GE(daemon, 0);
      if (daemon == 0) {
        std::string error;
        if (!PymDaemonSrv::OpenStore(store_, userData_, error)) _exit(1);
        Serve();
        disk_.DieAtWrite("settings.tdx-wal");
        Dispatch({"vnyparse", package});
        _exit(0);
      }
      int status = 0;
      ASSERT_EQ(waitpid(daemon, &status, 0), daemon);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 137) << "the daemon was not killed";
      Start();
      // The install is taken back: the asset keeps its old version and is not open for editing.
      PymDaemonSrv::AssetRecord record;
      EXPECT_TRUE(store_.GetAsset(KUID::Parse(kuid.c_str(), true), record) &&
                  record.folder == PymDaemonSrv::AssetEditor::kLocalFolder);
      EXPECT_FALSE(fs::exists(editing));
    } else if (row.stray) {
      daemon_test::WriteFile(editing + "/left.txt", "left");
    } else {
      disk_.FailCommit("settings.tdx-wal", row.dropFails);
      const Dispatched d = Dispatch({"vnyparse", package});
      EXPECT_EQ(d.result, 0);
      EXPECT_TRUE(std::any_of(d.entries.begin(), d.entries.end(), [](const ResultsLogEntry& e) {
        const std::string text = e.text.Std();
        return e.type == ResultsLog::kWarning && text.find("I/O error") != std::string::npos &&
               text.find("still name the editing copy its install made") != std::string::npos;
      }));
      disk_.FailCommit("settings.tdx-wal", 0);
    }
    if (row.startFails) {
      Stop();
      Start(1);
      disk_.FailCommit("settings.tdx-wal", 0);
      EXPECT_FALSE(fs::exists(editing));
      EXPECT_TRUE(store_.GetSettingsSoup(PymProtocol::kTakeBackGroup)
                      .HasNamedTag(Qel::PString(kuid.c_str())));
    }
    if (row.oldName) {
      Soup names = store_.GetSettingsSoup(PymProtocol::kTakeBackGroup);
      names.SetNamedTag(Qel::PString(kuid.c_str()), Qel::PString(kuid.c_str()));
      ASSERT_TRUE(store_.SetSettingsSoup(PymProtocol::kTakeBackGroup, names, nullptr));
    }
    if (row.oldName || row.restored) {
      Stop();
      if (row.restored) {
        fs::rename(userData_, userData_ + ".old");
        fs::copy(userData_ + ".old", userData_, fs::copy_options::recursive);
        fs::remove_all(userData_ + ".old");
      }
      Start();
      EXPECT_FALSE(fs::exists(editing));
    }
    if (row.committed) {
      const Dispatched d = Dispatch({"commit", kuid});
      EXPECT_NE(d.result, 0);
      EXPECT_TRUE(says(d.entries, "an unfinished install left the editing copy, now kept in"));
      EXPECT_FALSE(fs::exists(editing));
    }
    if (row.stopped) {
      Stop();
      policy_ = {};
      Start();
    }
    if (row.copyFails) {
      SafeFolder::SetReadFaultForTests([&](const char* call, const std::string& p) {
        const bool taken = p.starts_with(editing + "/") || p.starts_with(userData_ + "/staging/");
        return std::string(call) == "open" && taken ? EIO : 0;
      });
    }
    const Dispatched edited = Dispatch({"edit", kuid});
    SafeFolder::SetReadFaultForTests(nullptr);
    EXPECT_EQ(edited.result, 0);
    EXPECT_EQ(says(edited.entries, "which the index did not name, is kept in"), row.stray);
    EXPECT_EQ(says(edited.entries, ", until a start moves it to the backups: "), row.copyFails);
    daemon_test::WriteFile(editing + "/mine.txt", "mine");
    Stop();
    Start();
    EXPECT_EQ(daemon_test::ReadFileText(editing + "/mine.txt"), "mine");
    PymDaemonSrv::AssetRecord record;
    EXPECT_TRUE(store_.GetAsset(KUID::Parse(kuid.c_str(), true), record) &&
                record.folder == PymDaemonSrv::AssetEditor::kEditingFolder);
    // What a start, or the edit that found the copy a killed tool left, took back is kept.
    EXPECT_EQ(kept("editing", row.added ? "" : "a"),
              row.killed || row.stray || row.restarted ? 1u : 0u);
    EXPECT_EQ(Dispatch({"revert", kuid}).result, 0);
    fs::remove_all(userData_ + "/backups");
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
