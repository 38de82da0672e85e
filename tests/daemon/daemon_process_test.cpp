// The daemon as a process: publishing in the discovery block, refusing a second daemon, the close
// request, restarts over a rebuilt index, and kill -9 in the middle of a burst of writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "core/file_util.h"
#include "core/time_date.h"
#include "daemon/asset_editor.h"
#include "daemon/asset_store.h"
#include "daemon/daemon_app.h"
#include "daemon/daemon_test_util.h"
#include "daemon/discovery_publisher.h"
#include "platform/named_mutex.h"
#include "pymclient/pym_protocol.h"
#include "qel/dynamic_buffer.h"
#include "qel/shared_memory.h"
#include "support/other_user.h"

namespace PymDaemonSrv {
namespace {

using namespace daemon_test;
namespace pp = PymProtocol;

// A daemon in a child process of the test, run through the same entry point as the executable;
// `descriptors` lowers its limit of open files, `errorOutput` takes its standard error.
pid_t ForkDaemon(const std::string& userData, std::vector<std::string> more = {},
                 rlim_t descriptors = 0, int errorOutput = -1) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (errorOutput >= 0 && dup2(errorOutput, STDERR_FILENO) < 0) _exit(98);
    if (descriptors != 0) {
      const rlimit limit{descriptors, descriptors};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(99);
    }
    more.insert(more.begin(), {"--userdata", userData});
    _exit(RunDaemon(more));
  }
  return pid;
}

// Exit status of a child; -1 when it did not end within the watchdog's limit, or was never
// started (a pid of 0 or below would signal the whole process group, or every process).
int WaitExit(pid_t pid) {
  if (pid <= 0) return -1;
  for (int i = 0; i < 3000; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

class DaemonProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    database_ = t_.path() + "/assets.tdx";
    ASSERT_TRUE(block_.Create(DiscoveryPublisher::SharedMemoryName(database_), pp::kBlockSize));
  }
  void TearDown() override {
    for (pid_t pid : children_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    block_.Close();
    databases_.push_back(database_);
    for (const std::string& database : databases_) {
      Qel::SharedMemory::Remove(DiscoveryPublisher::SharedMemoryName(database));
      Platform::NamedMutex::Remove(DiscoveryPublisher::MutexName(database));
    }
  }
  volatile PymDiscoveryBlock& Block() { return View(block_); }
  static volatile PymDiscoveryBlock& View(Qel::SharedMemory& block) {
    return *static_cast<volatile PymDiscoveryBlock*>(block.GetData());
  }
  // Starts a daemon and waits until the block names it as owner; the port it published.
  u16 Start(pid_t& pid, std::vector<std::string> more = {}, rlim_t descriptors = 0) {
    return StartIn(t_.path(), block_, pid, std::move(more), descriptors);
  }
  // The same for a daemon of another UserData folder, whose block `block` attaches.
  u16 StartIn(const std::string& userData, Qel::SharedMemory& block, pid_t& pid,
              std::vector<std::string> more = {}, rlim_t descriptors = 0) {
    const std::string database = userData + "/assets.tdx";
    if (!block.IsAttached()) {
      databases_.push_back(database);
      if (!block.Create(DiscoveryPublisher::SharedMemoryName(database), pp::kBlockSize)) return 0;
    }
    pid = ForkDaemon(userData, std::move(more), descriptors);
    if (pid <= 0) return 0;
    children_.insert(pid);
    for (int i = 0; i < 3000; ++i) {
      if (View(block).ownerProcessId == u32(pid) && View(block).port != 0) {
        return u16(View(block).port);
      }
      int status;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        children_.erase(pid);
        return 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
  }
  // A second daemon on this store, which waits a second for it: its exit status, and its
  // standard error in `said`.
  int RunSecondDaemon(std::string& said) {
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) return -1;
    const int status = WaitExit(ForkDaemon(t_.path(), {"--lock-wait-seconds", "1"}, 0, err[1]));
    close(err[1]);
    said.clear();
    char buf[512];
    for (ssize_t n; (n = read(err[0], buf, sizeof(buf))) > 0;) said.append(buf, size_t(n));
    close(err[0]);
    return status;
  }
  void Connect(RawClient& c, u16 port) {
    ASSERT_TRUE(c.Connect(port));
    ASSERT_TRUE(c.Handshake(database_));
  }
  // Every asset the daemon serves: a search without a filter.
  std::vector<KUID> SearchAll(u16 port) {
    RawClient c;
    Connect(c, port);
    std::vector<u8> reply;
    EXPECT_TRUE(c.Transact(0x2, 1, Bytes().U32(0).data, reply));
    return ParseKuids(reply);
  }
  int CloseDaemon(u16 port, pid_t pid) {
    RawClient c;
    Connect(c, port);
    std::vector<u8> reply;
    EXPECT_TRUE(c.Transact(0x10E, 1, {}, reply));
    EXPECT_TRUE(c.SeesClose());
    children_.erase(pid);
    return WaitExit(pid);
  }

  scratch::Folder t_;
  std::string database_;
  Qel::SharedMemory block_;
  std::set<pid_t> children_;
  std::vector<std::string> databases_;
};

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Peers that never shake hands or fall silent are closed after their limits, and peers beyond
// the connection cap are closed at once while the others are served on.
TEST_F(DaemonProcess, SilentAndSurplusPeersAreClosed) {
  pid_t pid;
  const u16 port =
      Start(pid, {"--handshake-seconds", "1", "--idle-seconds", "2", "--max-connections", "3"});
  ASSERT_NE(port, 0);
  RawClient mute;
  ASSERT_TRUE(mute.Connect(port));
  RawClient halfHandshake;
  ASSERT_TRUE(halfHandshake.Connect(port));
  ASSERT_TRUE(halfHandshake.Send(Bytes().U32(FourCC("PYMC")).U32(360).data));
  RawClient silent;
  Connect(silent, port);
  RawClient surplus;
  ASSERT_TRUE(surplus.Connect(port));
  for (RawClient* peer : {&surplus, &mute, &halfHandshake, &silent}) EXPECT_TRUE(peer->SeesClose());
  // The slots are free again.
  RawClient later;
  Connect(later, port);
  std::vector<u8> reply;
  EXPECT_TRUE(later.Transact(0x2, 1, Bytes().U32(0).data, reply));
  EXPECT_EQ(CloseDaemon(port, pid), kExitOk);
}

// Without descriptors the daemon can accept nobody: it says so once, keeps its clients and
// serves new ones when descriptors come free.
// Connections are capped by the open-file limit, so the daemon keeps descriptors for its own work.
TEST_F(DaemonProcess, ACrowdBeyondTheOpenFileLimitIsRefusedAndSurvived) {
  pid_t pid;
  const u16 port = Start(pid, {}, 32);
  ASSERT_NE(port, 0);
  RawClient first;
  Connect(first, port);
  std::vector<u8> reply;
  ASSERT_TRUE(first.Transact(0x2, 1, Bytes().U32(0).data, reply));
  std::vector<std::unique_ptr<RawClient>> crowd;
  for (int i = 0; i < 60; ++i) {
    crowd.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(crowd.back()->Connect(port));
  }
  // Watchdog: the crowd is met within seconds.
  for (int i = 0; i < 3000 && t_.Read("pymdaemon.log").find("refused") == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(first.Transact(0x2, 2, Bytes().U32(0).data, reply)) << t_.Read("pymdaemon.log");
  crowd.clear();
  const std::string log = t_.Read("pymdaemon.log");
  EXPECT_NE(log.find("open-file limit allows"), std::string::npos) << log;
  EXPECT_EQ(CountOf(log, "further connections refused"), 1u) << log;
  EXPECT_EQ(CountOf(log, "cannot accept"), 0u) << log;
  // Refused peers come back once the crowd has gone.
  bool served = false;
  for (int i = 0; i < 300 && !served; ++i) {
    RawClient later;
    served = later.Connect(port) && later.Handshake(database_);
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(served) << t_.Read("pymdaemon.log");
  EXPECT_EQ(CloseDaemon(port, pid), kExitOk);
}

// Two installations whose paths differ only in case are two folders here: each has a daemon of
// its own, and a daemon serves no tool of another folder.
TEST_F(DaemonProcess, FoldersThatDifferInCaseHaveADaemonEach) {
  const std::string upper = t_.path() + "/Root";
  const std::string lower = t_.path() + "/root";
  ASSERT_TRUE(std::filesystem::create_directory(upper));
  ASSERT_TRUE(std::filesystem::create_directory(lower));
  Qel::SharedMemory upperBlock;
  Qel::SharedMemory lowerBlock;
  pid_t upperPid;
  pid_t lowerPid;
  const u16 upperPort = StartIn(upper, upperBlock, upperPid);
  const u16 lowerPort = StartIn(lower, lowerBlock, lowerPid);
  ASSERT_NE(upperPort, 0);
  ASSERT_NE(lowerPort, 0);

  RawClient stranger;
  ASSERT_TRUE(stranger.Connect(upperPort));
  EXPECT_FALSE(stranger.Handshake(lower + "/assets.tdx"));
  RawClient own;
  ASSERT_TRUE(own.Connect(upperPort));
  // The tool may name its folder through another spelling of the same path.
  EXPECT_TRUE(own.Handshake(t_.path() + "/./Root/assets.TDX"));

  for (const auto& [port, pid] : {std::pair{upperPort, upperPid}, std::pair{lowerPort, lowerPid}}) {
    RawClient c;
    ASSERT_TRUE(c.Connect(port));
    ASSERT_TRUE(c.Handshake((pid == upperPid ? upper : lower) + "/assets.tdx"));
    std::vector<u8> reply;
    EXPECT_TRUE(c.Transact(0x10E, 1, {}, reply));
    children_.erase(pid);
    EXPECT_EQ(WaitExit(pid), kExitOk);
  }
}

TEST_F(DaemonProcess, ServesOnlyItsOwnUserAndKeepsItsFilesToItself) {
  pid_t pid;
  const u16 port = Start(pid);
  ASSERT_NE(port, 0);
  // Served only once its store is open.
  RawClient own;
  Connect(own, port);
  std::vector<u8> reply;
  ASSERT_TRUE(own.Transact(0x2, 1, Bytes().U32(0).data, reply));
  const std::string files[] = {
      database_, database_ + ".lock", t_.path() + "/settings.tdx", t_.path() + "/pymdaemon.log",
      Platform::NamedMutex::LockFilePath(DiscoveryPublisher::MutexName(database_))};
  for (const std::string& file : files) {
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_mode & 077, 0u) << file;
  }
  if (kestro_test::CanRunAsOtherUser()) {
    // Another user is closed out before the handshake: no answer, no store, no close request.
    const int stranger = kestro_test::RunAsOtherUser([&] {
      RawClient c;
      if (!c.Connect(port)) return 1;
      c.Send(Bytes().U32(FourCC("PYMC")).U32(360).U32(48249).U32(1).Text(database_).data);
      c.SendFrame(0x10E, 1, {});
      // Closed (or reset, with the bytes unread) without a word.
      u8 b;
      return recv(c.Fd(), &b, 1, 0) <= 0 ? 0 : 2;
    });
    EXPECT_EQ(stranger, 0);
  }
  EXPECT_EQ(CloseDaemon(port, pid), kExitOk);
  if (!kestro_test::CanRunAsOtherUser()) {
    GTEST_SKIP() << "a second user needs a test run as root to drop to uid "
                 << kestro_test::kOtherUser;
  }
}

TEST_F(DaemonProcess, PublishesRefusesASecondAndClearsOnExit) {
  pid_t pid;
  u16 port = Start(pid);
  ASSERT_NE(port, 0);
  EXPECT_EQ(Block().layoutVersion, pp::kBlockVersion);
  const std::string refusal = "PymDaemon: another daemon (process " + std::to_string(pid) +
                              ") holds the store " + t_.path() + "; it did not let go within 1 s\n";
  // The holder answers at the port it published: it serves, and the second gives way at once.
  std::string said;
  EXPECT_EQ(RunSecondDaemon(said), kExitAlreadyRunning);
  EXPECT_EQ(said,
            "PymDaemon: process " + std::to_string(pid) + " already serves " + t_.path() + "\n");
  EXPECT_EQ(std::make_tuple(Block().ownerProcessId, Block().port),
            std::make_tuple(u32(pid), u32(port)));
  // Cleaners delete lock files in /tmp; the next tool then makes the discovery mutex anew and
  // initialises the block, so that no owner is recorded. The store itself stays locked.
  ASSERT_TRUE(Platform::NamedMutex::Remove(DiscoveryPublisher::MutexName(database_)));
  Block().ownerProcessId = pp::kNoProcess;
  Block().port = 0;
  EXPECT_EQ(RunSecondDaemon(said), kExitAlreadyRunning);
  EXPECT_EQ(said, refusal);
  EXPECT_EQ(CloseDaemon(port, pid), kExitOk);
  const auto cleared = std::make_tuple(pp::kNoProcess, 0u, pp::kNoProcess);
  EXPECT_EQ(std::make_tuple(Block().ownerProcessId, Block().port, Block().managerProcessId),
            cleared);

  // A block left by a daemon that died is taken over; SIGTERM also ends cleanly.
  Block().ownerProcessId = 0x7FFFFFF0;  // no such process
  Block().port = 1;
  Block().refuseWord = 1;
  port = Start(pid);
  ASSERT_NE(port, 0);
  EXPECT_EQ(Block().refuseWord, 0u);
  kill(pid, SIGTERM);
  children_.erase(pid);
  EXPECT_EQ(WaitExit(pid), kExitOk);
  EXPECT_EQ(std::make_tuple(Block().ownerProcessId, Block().port, Block().managerProcessId),
            cleared);
}

TEST_F(DaemonProcess, RestartOverADeletedIndexFindsTheSameAssets) {
  for (int i = 1; i <= 30; ++i) {
    const std::string n = std::to_string(i);
    MakeAsset(t_.path(), i % 3 ? "local" : "editing", "a" + n,
              Config("<kuid:7:" + n + ">", "username \"Asset " + n + "\"\ncategory-class \"" +
                                               (i % 2 ? "TR;TV" : "TX") + "\"\n"));
  }
  const std::vector<std::vector<u8>> filters = {
      Bytes().U32(0).data,
      Group(true, false, {Str(1, "TR"), Group(true, true, {Flag(8)})}),
      Group(false, false, {Str(0, "asset 1"), Ids(0, {KUID(7, 30, 0)})}),
  };
  // Searches a daemon with every filter, then closes it.
  auto searchAndClose = [&] {
    std::vector<std::vector<KUID>> results;
    pid_t pid;
    const u16 port = Start(pid);
    EXPECT_NE(port, 0);
    if (port == 0) return results;
    RawClient c;
    Connect(c, port);
    for (const auto& f : filters) {
      std::vector<u8> reply;
      EXPECT_TRUE(c.Transact(0x2, u32(results.size() + 1), f, reply));
      results.push_back(ParseKuids(reply));
    }
    EXPECT_EQ(CloseDaemon(port, pid), kExitOk);
    return results;
  };
  const auto before = searchAndClose();
  ASSERT_EQ(before.size(), 3u);
  // Then: odd numbers not divisible by 3; 1, 10..19 and 30.
  EXPECT_EQ(std::make_tuple(before[0].size(), before[1].size(), before[2].size()),
            std::make_tuple(30u, 10u, 12u));
  std::filesystem::remove(database_);
  EXPECT_EQ(searchAndClose(), before);
}

// kill -9 at points spread over the first build (the pauses only spread them; any point must
// do): the next start serves every asset.
TEST_F(DaemonProcess, KillDuringTheFirstBuildLeavesNoEmptyIndex) {
  constexpr int kAssets = 400;
  for (int i = 0; i < kAssets; ++i) {
    MakeAsset(t_.path(), "local", "a" + std::to_string(i),
              Config("<kuid:9:" + std::to_string(i) + ">"));
  }
  for (int pauseMs : {0, 2, 5, 10, 20, 40, 80, 160}) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(database_ + suffix);
    const pid_t pid = ForkDaemon(t_.path());
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    kill(pid, SIGKILL);
    ASSERT_EQ(WaitExit(pid), 128 + SIGKILL);
    AssetStore store;
    std::string error;
    ASSERT_TRUE(store.Open(t_.path(), &error)) << error;
    EXPECT_EQ(store.CountAssets(), size_t(kAssets)) << "killed after " << pauseMs << " ms";
  }
}

TEST_F(DaemonProcess, KillDuringWritesLosesNothingAcknowledged) {
  pid_t pid;
  const u16 port = Start(pid);
  ASSERT_NE(port, 0);
  RawClient c;
  Connect(c, port);

  constexpr u32 kWrites = 3000;
  constexpr u32 kKillAfter = 300;
  auto payload = [](u32 i) {
    Soup g;
    g.EnsureContainer();
    g.SetNamedTag("value", Qel::PString(std::to_string(i)));
    g.SetNamedTag("pad", Qel::PString(std::string(200, char('a' + i % 26))));
    Qel::DynamicBuffer buffer;
    TBuffer out(&buffer, false);
    WriteSoup(out, g);
    const u8* soup = buffer.GetData();
    return Bytes()
        .Name("burst" + std::to_string(i))
        .Append({soup, soup + buffer.GetDataSize()})
        .data;
  };
  // Requests go out back to back from a thread of their own while this one counts replies.
  std::thread sender([&] {
    for (u32 i = 0; i < kWrites; ++i) {
      if (!c.SendFrame(0x65, i + 1, payload(i))) break;
    }
  });
  std::set<u32> acknowledged;
  Message m;
  bool killed = false;
  while (c.Read(m)) {
    if (m.tag == FourCC("repl") && m.body == std::vector<u8>{1}) acknowledged.insert(m.word - 1);
    if (!killed && acknowledged.size() == kKillAfter) {
      kill(pid, SIGKILL);
      killed = true;
    }
  }
  sender.join();
  children_.erase(pid);
  ASSERT_EQ(WaitExit(pid), 128 + SIGKILL);
  ASSERT_GE(acknowledged.size(), kKillAfter);

  AssetStore store;
  std::string error;
  ASSERT_TRUE(store.Open(t_.path(), &error)) << error;
  EXPECT_FALSE(store.WasRebuilt());
  EXPECT_TRUE(store.CheckIntegrity(&error)) << error;
  // Every acknowledged write is there; one committed but not yet answered is still whole.
  for (u32 i = 0; i < kWrites; ++i) {
    const std::string value = store.GetSettingString("burst" + std::to_string(i), "value");
    if (acknowledged.count(i) != 0 || !value.empty()) {
      EXPECT_EQ(value, std::to_string(i));
    }
  }
}

namespace fs = std::filesystem;

// 64 random bytes at the start of every page of the file but the first.
void DamagePages(const std::string& database) {
  std::fstream file(database, std::ios::in | std::ios::out | std::ios::binary);
  unsigned char size[2] = {};
  file.seekg(16);
  file.read(reinterpret_cast<char*>(size), 2);
  const size_t page = size[0] == 0 && size[1] == 1 ? 65536 : size_t(size[0]) << 8 | size[1];
  std::mt19937 random(7);
  for (size_t at = page; at < fs::file_size(database); at += page) {
    char bytes[64];
    for (char& b : bytes) b = char(random());
    file.seekp(std::streamoff(at));
    file.write(bytes, sizeof bytes);
  }
}

// Runs `work` over the store of `userData` in a child process that ends as under kill -9 when it
// calls Kill(): the store is never closed, and its log keeps what it held. True when it got there.
bool RunKilled(const std::string& userData,
               const std::function<void(AssetEditor&, std::string& error)>& work) {
  const pid_t pid = fork();
  if (pid == 0) {
    AssetStore store;
    std::string error;
    if (!store.Open(userData, &error)) _exit(1);
    AssetEditor editor(store);
    work(editor, error);
    _exit(1);
  }
  return WaitExit(pid) == 0;
}
[[noreturn]] void Kill() { _exit(0); }

// The files below `folder` whose path holds `part`, with their text.
std::map<std::string, std::string> FilesBelow(const std::string& folder, const std::string& part) {
  std::map<std::string, std::string> found;
  if (!fs::exists(folder)) return found;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    const std::string path = e.path().string();
    if (e.is_regular_file() && path.find(part) != std::string::npos) {
      found[path] = ReadFileText(path);
    }
  }
  return found;
}

// A commit killed once the editing copy is in staging, or an install killed after its swap, and
// then the record of the change lost with the index: each start keeps what staging holds in
// today's backups, where the user finds the edit or the replaced version, and names it in the log;
// one whose backups cannot take it leaves it for the next.
TEST_F(DaemonProcess, AFolderWaitingInStagingOutlivesTheLossOfItsRecord) {
  const KUID asset(10, 1, 0);
  TTimeDate now;
  now.SetToNow();
  const std::string today = t_.path() + "/backups/" + BackupFolderName(now).CStr();
  const auto deleted = [](const std::string& db) {
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db + suffix);
  };
  const struct {
    const char* name;
    std::function<void(const std::string&)> damage;
    bool backupsBlocked = false;
  } damages[] = {
      {"index cut to nothing", [](const std::string& db) { fs::resize_file(db, 0); }},
      {"index deleted with its log", deleted},
      {"index deleted, backups blocked at the first start", deleted, true},
      {"log overwritten",
       [](const std::string& db) {
         WriteFile(db + "-wal", std::string(fs::file_size(db + "-wal"), 'x'));
       }},
      {"pages damaged", DamagePages},
  };
  for (const bool commit : {true, false}) {
    for (const auto& d : damages) {
      SCOPED_TRACE(std::string(commit ? "commit, " : "install, ") + d.name);
      for (const auto& e : fs::directory_iterator(t_.path())) fs::remove_all(e.path());
      MakeAsset(t_.path(), "local", "a", Config("<kuid:10:1>"));
      WriteFile(t_.path() + "/local/a/old.txt", "old");
      {
        AssetStore store;
        ASSERT_TRUE(store.Open(t_.path(), nullptr));
      }
      ASSERT_TRUE(RunKilled(t_.path(), [&](AssetEditor& editor, std::string& error) {
        AssetRecord record;
        if (commit) {
          if (!editor.BeginEdit(asset, record, error)) return;
          WriteFile(t_.path() + "/editing/a/new.txt", "edited");
          // The editing copy moves to staging first; killed as the new copy is to take its place.
          int moves = 0;
          editor.SetMoveHookForTests([&](const std::string&) {
            if (++moves == 2) Kill();
          });
          editor.Commit(asset, error);
        } else {
          editor.SetRecordHookForTests([] { Kill(); });
          editor.Install(
              asset,
              [](const SafeFolder& folders, const std::string& folder, std::string& e) {
                if (!folders.MakeFolders(folder, e)) return false;
                WriteFile(folder + "/config.txt", Config("<kuid:10:1>"));
                return true;
              },
              error, true);
        }
      }));
      d.damage(database_);
      if (d.backupsBlocked) WriteFile(today, "not a folder");
      for (int start = 0; start < 2; ++start) {
        pid_t pid;
        const u16 port = Start(pid);
        ASSERT_NE(port, 0) << "start " << start;
        EXPECT_EQ(CloseDaemon(port, pid), kExitOk);
        if (d.backupsBlocked && start == 0) fs::remove(today);
      }
      // The edit, or the replaced version, is where the change put it back or in today's backups,
      // which the log names.
      const std::string kept = commit ? "/new.txt" : "/old.txt";
      const std::string log = ReadFileText(t_.path() + "/pymdaemon.log");
      size_t copies = 0;
      for (const auto& [path, text] : FilesBelow(t_.path(), kept)) {
        if (text != (commit ? "edited" : "old")) continue;
        ++copies;
        const size_t staging = path.find("/staging/");
        if (path.find("/backups/") == std::string::npos) continue;
        ASSERT_NE(staging, std::string::npos) << path;
        const std::string name = path.substr(staging, path.find('/', staging + 9) - staging);
        EXPECT_NE(log.find(name + "; kept in backups/"), std::string::npos) << name << "\n" << log;
      }
      EXPECT_GE(copies, 1u);
    }
  }
}

// An index whose pages were damaged after a clean stop or a kill (when its log still holds the
// pages last written) is set aside at the next start and built again from the folders; the
// settings stay.
TEST_F(DaemonProcess, AnIndexWithDamagedPagesIsSetAsideAndRebuilt) {
  constexpr int kAssets = 50;
  for (const bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "after a kill" : "after a clean stop");
    for (const auto& e : fs::directory_iterator(t_.path())) fs::remove_all(e.path());
    for (int i = 0; i < kAssets; ++i) {
      MakeAsset(t_.path(), "local", "a" + std::to_string(i),
                Config("<kuid:9:" + std::to_string(i) + ">", "username \"" +
                                                             std::string(300, 'n') + "\"\n"));
    }
    {
      AssetStore store;
      ASSERT_TRUE(store.Open(t_.path(), nullptr));
      Soup language;
      language.EnsureContainer();
      language.SetNamedTag("language", "FR");
      ASSERT_TRUE(store.SetSettingsSoup("internet", language));
    }
    if (killed) {
      ASSERT_TRUE(RunKilled(t_.path(), [](AssetEditor& editor, std::string& error) {
        AssetRecord record;
        if (editor.BeginEdit(KUID(9, 1, 0), record, error)) Kill();
      }));
    }
    DamagePages(database_);
    pid_t pid;
    const u16 port = Start(pid);
    ASSERT_NE(port, 0);
    EXPECT_EQ(SearchAll(port).size(), size_t(kAssets));
    EXPECT_EQ(CloseDaemon(port, pid), kExitOk);
    EXPECT_TRUE(fs::exists(database_ + ".bad"));
    AssetStore store;
    ASSERT_TRUE(store.Open(t_.path(), nullptr));
    EXPECT_EQ(store.GetSettingString("internet", "language"), "FR");
  }
}

}  // namespace
}  // namespace PymDaemonSrv
