// Start-up against the stand-in daemon: starting it when none runs, finding the one that runs,
// and the failures that stop start-up before any command runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/fake_pym_server.h"
#include "support/install_root.h"
#include "support/scratch_folder.h"

namespace {

using kestro_test::InstallRoot;
using kestro_test::ToolRun;

constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";
constexpr const char* kVersionOutput = "Build 48249\nOK (0 Errors, 0 Warnings)\n";
constexpr const char* kInitFailed = "OK (1 Errors, 0 Warnings)\n";

// The first run starts the daemon; later ones find it, whatever switches they carry, and the
// client flag only changes the handshake.
TEST(Startup, StartsTheDaemonOnceAndFindsItAfterwards) {
  InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
  ASSERT_TRUE(root.IsReady()) << root.Error();
  ASSERT_TRUE(root.DaemonPids().empty());
  std::vector<pid_t> started;
  const std::vector<std::string> runs[] = {{"version"}, {"version"}, {"version", "-nopymclient"}};
  for (const auto& args : runs) {
    const ToolRun r = root.Run(args);
    EXPECT_EQ(r.out, kVersionOutput);
    EXPECT_EQ(r.exitCode, 0);
    if (started.empty()) started = root.DaemonPids();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(root.DaemonPids(), started);
  }

  const ToolRun echo = root.Run({"echo", "x", "NoRender", "-nopymclient"});
  EXPECT_EQ(echo.out, "x NoRender -nopymclient \nOK (0 Errors, 0 Warnings)\n");
  EXPECT_EQ(echo.err, "");
  EXPECT_EQ(echo.exitCode, 0);

  // Many lines of output survive the immediate exit.
  std::string batch;
  std::string expected;
  for (int i = 0; i < 2000; ++i) {
    batch += "echo line" + std::to_string(i) + "\n";
    expected += "line" + std::to_string(i) + " \nOK (0 Errors, 0 Warnings)\n\n";
  }
  root.WriteFile("many.txt", batch);
  const ToolRun many = root.Run({"@many.txt"});
  EXPECT_EQ(many.out, expected);
  EXPECT_EQ(many.exitCode, 0);
}

// The installation lies in the temporary folder as it is named, capitals and blanks kept, and
// the tool and its daemon start there.
TEST(Startup, StartsUnderATemporaryFolderOfAnyName) {
  scratch::Folder outer;
  const std::string named = outer.At("Tmp Dir");
  ASSERT_TRUE(std::filesystem::create_directory(named));
  const char* given = std::getenv("TMPDIR");
  const std::string saved = given != nullptr ? given : "";
  setenv("TMPDIR", named.c_str(), 1);
  const InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
  given != nullptr ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR");
  ASSERT_TRUE(root.IsReady()) << root.Error();
  EXPECT_EQ(root.Root().rfind(named + "/", 0), 0u) << root.Root();
  EXPECT_EQ(root.Run({"version"}).out, kVersionOutput);
}

// The installation carries the project's validation data; a run that changes no personal details
// leaves the folder as installed.
TEST(Startup, StartsOverTheShippedValidationDataAndLeavesItAsItWas) {
  InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
  ASSERT_TRUE(root.IsReady()) << root.Error();
  for (const char* file : {"inheritance.txt", "kind.txt", "container.txt", "lists/category-era"}) {
    EXPECT_TRUE(std::filesystem::is_regular_file(root.Bin() + "/TETData/" + file)) << file;
  }
  const ToolRun r = root.Run({"version"});
  EXPECT_EQ(r.out, kVersionOutput);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_FALSE(std::filesystem::exists(root.Bin() + "/TETData/personalDetails.txt"));
}

TEST(Startup, WithoutADaemonProgramOrValidationDataStartupFails) {
  const struct {
    InstallRoot::Layout layout;
    const char* err;            // after the installation's root, when it starts with "/"
    bool silentDaemon = false;  // one takes the connection and never answers
  } cases[] = {
      {{.withDaemon = false}, "- PymDaemon could not be started: ", false},
      {{.withTetData = false}, "- TETLib initialisation failed.\n- Init failed\n"},
      {{.withDaemon = false},
       "- PymDaemon did not answer within 1 s, the longest the tool waits for it.\n"
       "- Init failed\n",
       true},
  };
  // Where no try can succeed, the pauses between them would only cost time.
  struct ShortConnectPause {
    ShortConnectPause() { ::setenv("KESTRO_CONNECT_PAUSE_MS", "1", 1); }
    ~ShortConnectPause() { ::unsetenv("KESTRO_CONNECT_PAUSE_MS"); }
  } shortPause;
  for (const auto& c : cases) {
    InstallRoot root(KESTRO_BINARY_DIR, kDataDir, c.layout);
    ASSERT_TRUE(root.IsReady()) << root.Error();
    FakePymServer silent(root.Root() + "/UserData/assets.tdx");
    if (c.silentDaemon) {
      silent.SetHandshakeAnswer(0, 0, 0);
      ASSERT_TRUE(silent.Start());
      ASSERT_TRUE(silent.Publish());
      ::setenv("KESTRO_SILENCE_LIMIT_MS", "1000", 1);
    }
    const ToolRun r = root.Run({"echo", "never"});
    ::unsetenv("KESTRO_SILENCE_LIMIT_MS");
    EXPECT_EQ(r.out, kInitFailed);
    const std::string err = c.err;
    EXPECT_EQ(r.err, err.back() == '\n' ? err : err + root.Bin() + "/PymDaemon\n- Init failed\n");
    EXPECT_EQ(r.exitCode, 255);
  }
}

// Sets environment variables for its lifetime and puts back what was there.
class ScopedEnvironment {
 public:
  void Set(const char* name, const std::string& value) {
    if (saved_.end() == std::find_if(saved_.begin(), saved_.end(),
                                     [&](const auto& kept) { return kept.first == name; })) {
      const char* old = std::getenv(name);
      saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
    }
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) {
      value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A folder in place of the index is set aside and the daemon serves; one that cannot be set aside
// keeps the daemon from starting, and the tool shows the daemon's reason from its log.
TEST(Startup, AFolderInPlaceOfTheIndexIsSetAsideOrTheDaemonSaysWhy) {
  // Each case starts a daemon: the pause the tool makes before it connects to one would only
  // cost time.
  ScopedEnvironment environment;
  environment.Set("KESTRO_CONNECT_PAUSE_MS", "20");
  for (const bool asideTaken : {false, true}) {
    SCOPED_TRACE(asideTaken);
    InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
    ASSERT_TRUE(root.IsReady()) << root.Error();
    root.WriteFile("UserData/assets.tdx/x", "a folder where the index belongs");
    if (asideTaken) root.WriteFile("UserData/assets.tdx.bad/y", "set aside before");
    const ToolRun r = root.Run({"echo", "runs"});
    const std::string index = root.Root() + "/UserData/assets.tdx";
    EXPECT_EQ(r.exitCode, asideTaken ? 255 : 0) << r.err;
    EXPECT_EQ(r.out, asideTaken ? kInitFailed : "runs \nOK (0 Errors, 0 Warnings)\n");
    EXPECT_TRUE(std::filesystem::exists(asideTaken ? index + "/x" : index + ".bad/x"));
    EXPECT_EQ(std::filesystem::exists(index + ".bad/y"), asideTaken);
    if (!asideTaken) continue;
    EXPECT_TRUE(
        r.err.starts_with("PymDaemon> error: cannot open the asset index: cannot move aside "))
        << r.err;
    EXPECT_NE(r.err.find("/UserData/assets.tdx: "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.substr(r.err.find('\n')), "\n- Init failed\n");
  }

  // A pipe in place of the index, of its log or of the daemon's own log never holds a start;
  // one of the settings' files, or a folder in their place, stops it with the reason and the
  // count line. A rollback journal that is no file goes aside by itself, and a folder where the
  // log's index would be (which the daemon never opens) stays: the index stays too. Each case
  // puts its pipe or folder where an earlier command built the index and its daemon was stopped,
  // on one installation.
  namespace fs = std::filesystem;
  const std::string moveIt =
      " is not a regular file; the daemon starts once it is moved out of the way\n- Init failed\n";
  const std::string refused = "PymDaemon> error: cannot open the settings database: @/";
  const struct {
    const char* name;              // in UserData
    bool pipe;                     // else a folder
    std::string err;               // "@" stands for UserData's path
    const char* keptAs = nullptr;  // where it is afterwards, when the command runs
    bool logged = false;           // its log says it was moved aside to `keptAs`
  } odd[] = {
      {"assets.tdx-wal", true, "", "assets.tdx.bad-wal"},
      {"assets.tdx", true, "", "assets.tdx.bad"},
      {"pymdaemon.log", true, "", "pymdaemon.log"},
      {"settings.tdx", true, refused + "settings.tdx" + moveIt},
      {"settings.tdx-wal", true, refused + "settings.tdx-wal" + moveIt},
      {"settings.tdx", false, refused + "settings.tdx" + moveIt},
      {"assets.tdx-shm", false, "", "assets.tdx-shm"},
      {"assets.tdx-journal", false, "", "assets.tdx-journal.bad", true},
      {"settings.tdx-journal", false, "", "settings.tdx-journal.bad", true},
  };
  const auto inUserData = [](std::string text, const std::string& userData) {
    if (const size_t at = text.find('@'); at != std::string::npos) text.replace(at, 1, userData);
    return text;
  };
  {
    InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
    ASSERT_TRUE(root.IsReady()) << root.Error();
    const std::string userData = fs::canonical(root.Root()).string() + "/UserData";
    ASSERT_EQ(root.Run({"version"}).exitCode, 0);
    for (const auto& c : odd) {
      SCOPED_TRACE(std::string(c.pipe ? "a pipe at " : "a folder at ") + c.name);
      root.StopDaemons();
      const std::string at = userData + "/" + c.name;
      fs::remove(at);
      ASSERT_TRUE(c.pipe ? mkfifo(at.c_str(), 0600) == 0 : fs::create_directory(at));
      const ToolRun r = root.Run({"echo", "runs"});
      EXPECT_EQ(r.exitCode, c.err.empty() ? 0 : 255) << r.err;
      EXPECT_EQ(r.out, c.err.empty() ? "runs \nOK (0 Errors, 0 Warnings)\n" : kInitFailed);
      EXPECT_EQ(r.err, inUserData(c.err, userData));
      if (c.err.empty()) {
        // Only what was put in place of the index or of its log sets the index aside.
        const std::string name = c.name;
        EXPECT_EQ(fs::exists(userData + "/assets.tdx.bad"),
                  name == "assets.tdx" || name == "assets.tdx-wal");
      }
      if (c.keptAs != nullptr) {
        const std::string kept = userData + "/" + c.keptAs;
        EXPECT_TRUE(c.pipe ? fs::is_fifo(kept) : fs::is_directory(kept));
        if (c.logged) {
          EXPECT_NE(scratch::ReadAll(userData + "/pymdaemon.log")
                        .find("PymDaemon> " + at + " is not a regular file; moved aside to " +
                              kept + "\n"),
                    std::string::npos);
        }
      }
      // What the next case needs gone: what it was set aside as, or what stopped the start.
      root.StopDaemons();
      fs::remove(c.keptAs != nullptr ? userData + "/" + c.keptAs : at);
      fs::remove(userData + "/assets.tdx.bad");
      fs::remove(userData + "/assets.tdx.bad-wal");
    }
  }

  // A UserData folder that takes no files stops the start with the reason and the count line.
  const std::string noWrite = "- Unable to acquire write access to the UserData folder ";
  const struct {
    const char* name;
    std::function<void(const std::string&)> put;
    std::string err;        // "@" stands for UserData's path
    bool asRootToo = true;  // false: root writes to a read-only folder
  } unusable[] = {
      {"UserData a file",
       [](const std::string& userData) {
         fs::remove(userData);
         std::ofstream(userData) << "not a folder";
       },
       noWrite + "@: not a folder\n- Init failed\n"},
      {"UserData a link that leads nowhere",
       [](const std::string& userData) {
         fs::remove(userData);
         fs::create_symlink(userData + "-gone", userData);
       },
       noWrite + "@: No such file or directory\n- Init failed\n"},
      {"UserData read-only", [](const std::string& userData) { chmod(userData.c_str(), 0500); },
       noWrite + "@: no file can be made in it\n- Init failed\n", false},
  };
  for (const auto& c : unusable) {
    SCOPED_TRACE(c.name);
    if (!c.asRootToo && geteuid() == 0) continue;
    InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
    ASSERT_TRUE(root.IsReady()) << root.Error();
    const std::string userData = fs::canonical(root.Root()).string() + "/UserData";
    c.put(userData);
    const ToolRun r = root.Run({"echo", "runs"});
    chmod(userData.c_str(), 0700);
    EXPECT_EQ(r.exitCode, 255) << r.err;
    EXPECT_EQ(r.out, kInitFailed);
    EXPECT_EQ(r.err, inUserData(c.err, userData));
  }
}

// A daemon killed a moment ago keeps the store's lock until the system has ended it: a start
// meanwhile waits for it within the tool's limit, and one that gives up names the holder.
TEST(Startup, AStartWaitsForTheStoreLockAndNamesItsHolder) {
  ::setenv("KESTRO_CONNECT_PAUSE_MS", "100", 1);
  // Let go after 2 s under the tool's own limit; held throughout under a limit of 3 s.
  for (const std::string limitMs : {"", "3000"}) {
    InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
    ASSERT_TRUE(root.IsReady()) << root.Error();
    const std::string userData = std::filesystem::canonical(root.Root() + "/UserData").string();
    const std::string lockFile = userData + "/assets.tdx.lock";
    const int lock = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    std::thread release([&] {
      if (!limitMs.empty()) return;
      std::this_thread::sleep_for(std::chrono::seconds(2));
      flock(lock, LOCK_UN);
    });
    if (!limitMs.empty()) ::setenv("KESTRO_SILENCE_LIMIT_MS", limitMs.c_str(), 1);
    const ToolRun r = root.Run({"version"});
    ::unsetenv("KESTRO_SILENCE_LIMIT_MS");
    release.join();
    close(lock);
    const std::string refusal = "PymDaemon> error: another daemon (process " +
                                std::to_string(getpid()) + ") holds the store " + userData +
                                "; it did not let go within 2 s\n- Init failed\n";
    EXPECT_EQ(r.out, limitMs.empty() ? kVersionOutput : kInitFailed);
    EXPECT_EQ(r.err, limitMs.empty() ? "" : refusal);
    EXPECT_EQ(r.exitCode, limitMs.empty() ? 0 : 255);
  }
  ::unsetenv("KESTRO_CONNECT_PAUSE_MS");
}

// Commands started together on a stopped store, or after its daemon was killed, start a daemon
// each; those that find the store served give way at once: one daemon stays, with no start-up
// failure in its log, and closing it leaves none, though a request follows.
TEST(Startup, CommandsStartedTogetherLeaveOneDaemonThatClosesAlone) {
  for (const bool killedFirst : {false, true}) {
    InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
    ASSERT_TRUE(root.IsReady()) << root.Error();
    if (killedFirst) {
      ASSERT_EQ(root.Run({"version"}).exitCode, 0);
      ASSERT_EQ(root.DaemonPids().size(), 1u);
      kill(root.DaemonPids()[0], SIGKILL);
    }
    std::vector<ToolRun> runs(8);
    std::vector<std::thread> together;
    for (ToolRun& run : runs) together.emplace_back([&] { run = root.Run({"version"}); });
    for (std::thread& t : together) t.join();
    for (const ToolRun& r : runs) EXPECT_EQ(r.out, kVersionOutput) << r.err;
    EXPECT_EQ(root.DaemonPids().size(), 1u) << killedFirst;
    root.WriteFile("close.txt", "closepymdaemon\ngeneratekuid\n");
    EXPECT_EQ(root.Run({"@close.txt"}).out,
              "OK (0 Errors, 0 Warnings)\n\n- <NULL> : The daemon went away; the request was not "
              "sent\nOK (1 Errors, 0 Warnings)\n\n");
    EXPECT_TRUE(root.DaemonPids().empty());
    const std::string log = scratch::ReadAll(root.Root() + "/UserData/pymdaemon.log");
    EXPECT_EQ(log.find("error:"), std::string::npos) << log;
  }
}

// Every command of an installation finds the daemon that holds its store, also where discovery
// shows it none: under another TMPDIR, with the folder of named objects removed or a file in its
// place, through a bind mount of the installation, from another pid namespace (a container). It
// is served by that daemon, which commands on the other side still find, and `closepymdaemon`
// from there ends it. The tool's limit is cut to 20 s, which a command that misses the daemon
// waits out before it fails.
TEST(Startup, EveryCommandFindsTheDaemonThatHoldsItsStore) {
  scratch::Folder run;
  ScopedEnvironment environment;
  // A folder of named objects of this test's own, which it may remove without disturbing others.
  environment.Set("TMPDIR", run.path());
  environment.Set("HOME", run.At("home"));
  environment.Set("KESTRO_SILENCE_LIMIT_MS", "20000");
  std::filesystem::create_directories(run.At("home"));
  std::filesystem::create_directories(run.At("other"));
  const std::string runFolder = run.At("kestro-" + std::to_string(geteuid()));
  const auto fileInPlaceOfRunFolder = [&] {
    std::filesystem::remove_all(runFolder);
    std::ofstream(runFolder) << "not a folder";
  };
  // Mounts made from here on are this process's and its children's alone, and go with them.
  const bool ownMounts = ::unshare(CLONE_NEWNS) == 0 &&
                         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  const std::string bound = run.At("bound");
  std::filesystem::create_directories(bound);

  using Runner = std::function<ToolRun(const InstallRoot&, const std::vector<std::string>&)>;
  const Runner plain = [](const InstallRoot& root, const std::vector<std::string>& args) {
    return root.Run(args);
  };
  const struct Row {
    const char* what;
    std::function<void()> before;  // before the daemon starts
    std::function<void(const InstallRoot&)> hide;
    Runner command;
    bool available = true;
  } rows[] = {
      {"another TMPDIR", nullptr, nullptr,
       [&](const InstallRoot& root, const std::vector<std::string>& args) {
         ScopedEnvironment other;
         other.Set("TMPDIR", run.At("other"));
         return root.Run(args);
       }},
      {"the folder of named objects removed", nullptr,
       [&](const InstallRoot&) { std::filesystem::remove_all(runFolder); }, plain},
      {"a file in place of that folder", nullptr,
       [&](const InstallRoot&) { fileInPlaceOfRunFolder(); }, plain},
      {"a file in place of that folder as the daemon starts, removed since", fileInPlaceOfRunFolder,
       [&](const InstallRoot&) { std::filesystem::remove(runFolder); }, plain},
      {"the installation through a bind mount", nullptr,
       [&](const InstallRoot& root) {
         ASSERT_EQ(::mount(root.Root().c_str(), bound.c_str(), nullptr, MS_BIND, nullptr), 0);
       },
       [&](const InstallRoot& root, const std::vector<std::string>& args) {
         return root.RunProgram(bound + "/bin/KestroUtil", args, bound);
       },
       ownMounts},
      {"another pid namespace", nullptr, nullptr,
       [](const InstallRoot& root, const std::vector<std::string>& args) {
         std::vector<std::string> contained = {"--pid", "--fork", "--mount-proc",
                                               root.Bin() + "/KestroUtil"};
         contained.insert(contained.end(), args.begin(), args.end());
         return root.RunProgram("/usr/bin/unshare", contained);
       },
       ownMounts && std::system("unshare --pid --fork --mount-proc true >/dev/null 2>&1") == 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (!row.available) continue;
    InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
    ASSERT_TRUE(root.IsReady()) << root.Error();
    if (row.before) row.before();
    ASSERT_EQ(root.Run({"version"}).out, kVersionOutput);
    const std::vector<pid_t> daemon = root.DaemonPids();
    ASSERT_EQ(daemon.size(), 1u);
    if (row.hide) row.hide(root);
    const ToolRun served = row.command(root, {"version"});
    EXPECT_EQ(served.out, kVersionOutput) << served.err;
    EXPECT_EQ(served.exitCode, 0);
    // Nothing the command did hides the daemon from the others.
    EXPECT_EQ(root.Run({"version"}).out, kVersionOutput);
    EXPECT_EQ(root.DaemonPids(), daemon);
    const ToolRun closed = row.command(root, {"closepymdaemon"});
    EXPECT_EQ(closed.exitCode, 0) << closed.err;
    for (int i = 0; i < 2000 && !root.DaemonPids().empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(root.DaemonPids().empty());
    ::umount2(bound.c_str(), MNT_DETACH);
    if (std::filesystem::is_regular_file(runFolder)) std::filesystem::remove(runFolder);
  }
  if (!ownMounts) GTEST_SKIP() << "mounts and pid namespaces of its own need root";
}

}  // namespace
