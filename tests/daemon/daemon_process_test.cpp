// The daemon as a process: publishing in the discovery block, refusing a second daemon, the close
// request, restarts over a rebuilt index, and kill -9 in the middle of a burst of writes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <tuple>

#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "daemon/asset_editor.h"
#include "daemon/asset_store.h"
#include "daemon/daemon_app.h"
#include "daemon/daemon_test_util.h"
#include "daemon/discovery_publisher.h"
#include "platform/named_mutex.h"
#include "platform/runtime_folder.h"
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

// Exit status of a child; -1 when it did not end within the watchdog's limit.
int WaitExit(pid_t pid) {
  if (pid <= 0) return -1;  // never started: kill() would signal the group, or every process
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
  // A second daemon on `userData` (this store when empty), which waits `waitSeconds` for it: its
  // exit status, and its standard error in `said`.
  int RunSecondDaemon(std::string& said, const char* waitSeconds = "1", std::string userData = "") {
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) return -1;
    if (userData.empty()) userData = t_.path();
    const int status =
        WaitExit(ForkDaemon(userData, {"--lock-wait-seconds", waitSeconds}, 0, err[1]));
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

// Peers that never shake hands or fall silent are closed after their limits, and peers beyond
// the connection cap are told at once that the daemon is busy and closed while the others are
// served on.
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
  u8 busy[12] = {};
  EXPECT_TRUE(surplus.ReadExact(busy, sizeof busy));
  EXPECT_EQ(ByteOrder::LoadLE32(busy), FourCC("PYMB"));
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
  for (int i = 0; i < 3000 && t_.Read("pymdaemon.log").find("refused") == std::string::npos; ++i) {
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
  const std::string served =
      "PymDaemon: process " + std::to_string(pid) + " already serves " + t_.path() + "\n";
  const std::string lockFile = database_ + ".lock";
  // The holder says in the store's lock file where it serves, for as long as it serves.
  const auto note = [](pid_t process, u16 at) {
    return std::to_string(process) + " " + std::to_string(at) + "\n";
  };
  EXPECT_EQ(ReadFileText(lockFile), note(pid, port));
  std::string said;
  EXPECT_EQ(RunSecondDaemon(said), kExitAlreadyRunning);
  EXPECT_EQ(said, served);
  EXPECT_EQ(std::make_tuple(Block().ownerProcessId, Block().port),
            std::make_tuple(u32(pid), u32(port)));
  // Cleaners delete lock files in /tmp; the next tool then makes the discovery mutex anew and
  // initialises the block, so that no owner is recorded. The store itself stays locked, and its
  // lock file says who serves it.
  ASSERT_TRUE(Platform::NamedMutex::Remove(DiscoveryPublisher::MutexName(database_)));
  Block().ownerProcessId = pp::kNoProcess;
  Block().port = 0;
  EXPECT_EQ(RunSecondDaemon(said, "10"), kExitAlreadyRunning);
  EXPECT_EQ(said, served);
  // A holder that says nowhere where it serves (stopped, so that it publishes nothing again) is
  // waited for, and named at the end of the wait.
  ASSERT_EQ(kill(pid, SIGSTOP), 0);
  Block().ownerProcessId = pp::kNoProcess;
  Block().port = 0;
  std::filesystem::resize_file(lockFile, 0);
  EXPECT_EQ(RunSecondDaemon(said), kExitAlreadyRunning);
  EXPECT_EQ(said, refusal);
  ASSERT_EQ(kill(pid, SIGCONT), 0);
  EXPECT_EQ(CloseDaemon(port, pid), kExitOk);
  const auto cleared = std::make_tuple(pp::kNoProcess, 0u, pp::kNoProcess);
  EXPECT_EQ(std::make_tuple(Block().ownerProcessId, Block().port, Block().managerProcessId),
            cleared);
  EXPECT_EQ(ReadFileText(lockFile), "");

  // A block left by a daemon that was killed is taken over, also when a live process has its
  // id since (process 1 of a namespace, or any other); SIGTERM also ends cleanly.
  for (const u32 killed : {0x7FFFFFF0u /* no such process */, 1u, u32(getpid())}) {
    SCOPED_TRACE(killed);
    Block().ownerProcessId = killed;
    Block().port = 1;
    Block().refuseWord = 1;
    WriteFile(lockFile, note(pid_t(killed & 0x7FFFFFF), 1));
    port = Start(pid);
    ASSERT_NE(port, 0);
    EXPECT_EQ(Block().refuseWord, 0u);
    EXPECT_EQ(ReadFileText(lockFile), note(pid, port));
    kill(pid, SIGTERM);
    children_.erase(pid);
    EXPECT_EQ(WaitExit(pid), kExitOk);
    EXPECT_EQ(std::make_tuple(Block().ownerProcessId, Block().port, Block().managerProcessId),
              cleared);
    EXPECT_EQ(ReadFileText(lockFile), "");
  }
}

// The fixture with a folder of named objects of the test's own ($TMPDIR and $HOME point into a
// scratch folder), which a test may remove or replace without disturbing others.
class DaemonProcessOwnRunFolder : public DaemonProcess {
 protected:
  void SetUp() override {
    for (const char* name : {"TMPDIR", "HOME"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name,
                          value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    }
    std::filesystem::create_directory(run_.At("home"));
    setenv("TMPDIR", run_.path().c_str(), 1);
    setenv("HOME", run_.At("home").c_str(), 1);
    DaemonProcess::SetUp();
  }
  void TearDown() override {
    DaemonProcess::TearDown();
    for (const auto& [name, value] : saved_) {
      value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }
  }

  scratch::Folder run_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Wherever the discovery record is out of sight of a second daemon, it finds the one that holds
// the store through the store's lock file, and gives way at once; the first publishes itself
// again where the tools look. A holder whose port nobody listens on is not waited for.
TEST_F(DaemonProcessOwnRunFolder, ASecondDaemonFindsTheHolderWhereverDiscoveryLooks) {
  pid_t pid;
  const u16 port = Start(pid);
  ASSERT_NE(port, 0);
  const std::string runFolder = Platform::UserRuntimeFolder();
  ASSERT_EQ(runFolder, run_.path() + "/kestro-" + std::to_string(geteuid()));
  const std::string served =
      "PymDaemon: process " + std::to_string(pid) + " already serves " + t_.path() + "\n";
  const struct {
    const char* what;
    std::function<void()> hide;
    std::function<void()> show;
  } rows[] = {
      {"another TMPDIR", [&] { setenv("TMPDIR", run_.At("home").c_str(), 1); },
       [&] { setenv("TMPDIR", run_.path().c_str(), 1); }},
      {"the folder of named objects removed", [&] { std::filesystem::remove_all(runFolder); },
       nullptr},
      {"that folder a file",
       [&] {
         std::filesystem::remove_all(runFolder);
         WriteFile(runFolder, "not a folder");
       },
       [&] { std::filesystem::remove(runFolder); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    row.hide();
    std::string said;
    EXPECT_EQ(RunSecondDaemon(said, "10"), kExitAlreadyRunning);
    EXPECT_EQ(said, served);
    if (row.show) row.show();
    // Published again where the tools look (watchdog: within seconds).
    bool again = false;
    for (int i = 0; i < 3000 && !again; ++i) {
      Qel::SharedMemory block;
      again = block.Create(DiscoveryPublisher::SharedMemoryName(database_), pp::kBlockSize) &&
              View(block).ownerProcessId == u32(pid) && View(block).port == port;
      if (!again) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(again);
  }
  EXPECT_EQ(CloseDaemon(port, pid), kExitOk);

  // This process holds another store and says it serves on a port where nothing listens.
  const std::string deaf = t_.path() + "/deaf";
  ASSERT_TRUE(std::filesystem::create_directory(deaf));
  databases_.push_back(deaf + "/assets.tdx");
  const int lock = open((deaf + "/assets.tdx.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  const int bound = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string silent =
      std::to_string(getpid()) + " " + std::to_string(ntohs(address.sin_port));
  WriteFile(deaf + "/assets.tdx.lock", silent + "\n");
  std::string said;
  EXPECT_EQ(RunSecondDaemon(said, "20", deaf), kExitFailure);
  EXPECT_EQ(said, "PymDaemon: the store " + deaf + " is held by process " +
                      silent.substr(0, silent.find(' ')) + ", which does not answer on port " +
                      silent.substr(silent.find(' ') + 1) + "\n");
  close(bound);
  close(lock);
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

// Builds the index of `userData` and closes it; then runs `work` on an editor of the store in a
// child that ends as under kill -9 when `work` calls _exit(0): the store is never closed. True
// when the child got there.
template <typename Work>
bool RunKilled(const std::string& userData, const Work& work) {
  if (AssetStore built; !built.Open(userData, nullptr)) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    AssetStore store;
    AssetEditor editor(store);
    std::string error;
    if (store.Open(userData, &error)) work(editor, error);
    _exit(1);
  }
  return WaitExit(pid) == 0;
}

// A commit killed once the editing copy is in staging, or an install killed after its swap, and
// then its record lost (the index damaged, its log cut or overwritten, which SQLite reads
// silently, or the installation copied to other inodes): the start keeps what staging holds in the
// backups and names it in the log, or leaves it for the next when they cannot take it. A commit
// that passed, whose log is cut back to its own record, leaves its new version installed.
TEST_F(DaemonProcess, AFolderWaitingInStagingOutlivesTheLossOfItsRecord) {
  const KUID asset(10, 1, 0);
  const std::string backups = t_.path() + "/backups";
  const auto deleted = [](const std::string& db) {
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db + suffix);
  };
  // Where the log ended when the commit's record was written; outside the UserData folder, which
  // each case empties and one copies.
  const scratch::Folder notes;
  const std::string recordEnd = notes.At("record-end");
  const std::pair<const char*, std::function<void(const std::string&)>> damages[] = {
      {"index cut to nothing", [](const std::string& db) { fs::resize_file(db, 0); }},
      {"index deleted with its log", deleted},
      {"log overwritten", [](const std::string& db) { WriteFile(db + "-wal", "x"); }},
      {"index deleted, backups blocked at the first start",
       [&](const std::string& db) {
         deleted(db);
         WriteFile(backups, "not a folder");
       }},
      {"log deleted", [](const std::string& db) { fs::remove(db + "-wal"); }},
      {"log emptied", [](const std::string& db) { fs::resize_file(db + "-wal", 0); }},
      {"log cut to its header", [](const std::string& db) { fs::resize_file(db + "-wal", 32); }},
      {"log cut by 100 bytes",
       [](const std::string& db) {
         fs::resize_file(db + "-wal", fs::file_size(db + "-wal") - 100);
       }},
      {"a frame of the log overwritten",
       [](const std::string& db) {
         std::fstream(db + "-wal", std::ios::in | std::ios::out).seekp(-4000, std::ios::end)
             << "xx";
       }},
      {"installation copied",
       [&](const std::string&) {
         const std::string at = "'" + t_.path() + "'", to = at + "-copy";
         const std::string copy = "cp -a " + at + " " + to + " && rm -r " + at + " && mv " + to;
         ASSERT_EQ(std::system((copy + " " + at).c_str()), 0);
       }},
      {"commit passed, log cut back to its record",
       [&](const std::string& db) {
         fs::resize_file(db + "-wal", std::stoull(ReadFileText(recordEnd)));
       }},
  };
  for (const bool commit : {true, false}) {
    for (const auto& [name, damage] : damages) {
      const bool passed = std::string(name).starts_with("commit passed");
      if (passed && !commit) continue;
      SCOPED_TRACE(std::string(commit ? "commit, " : "install, ") + name);
      for (const auto& e : fs::directory_iterator(t_.path())) fs::remove_all(e.path());
      MakeAsset(t_.path(), "local", "a", Config("<kuid:10:1>"));
      WriteFile(t_.path() + "/local/a/old.txt", "old");
      ASSERT_TRUE(RunKilled(t_.path(), [&](AssetEditor& editor, std::string& error) {
        AssetRecord record;
        if (!commit) {
          editor.SetRecordHookForTests([] { _exit(0); });
          const auto fill = [](const SafeFolder&, const std::string& to, std::string&) {
            return WriteFile(to + "/config.txt", Config("<kuid:10:1>")), true;
          };
          editor.Install(asset, fill, error, true);
        } else if (editor.BeginEdit(asset, record, error)) {
          WriteFile(t_.path() + "/editing/a/new.txt", "edited");
          // The editing copy moves to staging first; killed as the new copy is to take its place.
          editor.SetMoveHookForTests([&, moves = 0](const std::string&) mutable {
            if (++moves == 1)
              WriteFile(recordEnd, std::to_string(fs::file_size(database_ + "-wal")));
            if (moves == 2 && !passed) _exit(0);
          });
          if (editor.Commit(asset, error) && passed) _exit(0);
        }
      }));
      damage(database_);
      for (int start = 0; start < 2; ++start) {
        pid_t pid;
        const u16 port = Start(pid);
        ASSERT_NE(port, 0) << "start " << start;
        EXPECT_EQ(CloseDaemon(port, pid), kExitOk);
        if (fs::is_regular_file(backups)) fs::remove(backups);
      }
      const std::string log = ReadFileText(t_.path() + "/pymdaemon.log");
      if (passed) {
        EXPECT_EQ(ReadFileText(t_.path() + "/local/a/new.txt"), "edited") << log;
        continue;
      }
      const size_t at = log.find("; kept in ");
      ASSERT_NE(at, std::string::npos) << log;
      const std::string kept = log.substr(at + 10, log.find('\n', at) - at - 10);
      EXPECT_TRUE(fs::exists(t_.path() + "/" + kept + (commit ? "/new.txt" : "/old.txt"))) << log;
    }
  }

  // A change that passed, killed while it removes what it replaced, or answered, whose log then
  // loses its last transactions: the start reads a record that says the change did not pass. It
  // undoes it, names the asset, and removes no folder: each version a user had is where it was,
  // or kept in the backups' staging folder, which the log names.
  constexpr u64 kFrame = 24 + 4096;
  const auto overwrite = [](const std::string& wal, u64 at) {
    std::fstream(wal, std::ios::in | std::ios::out).seekp(std::streamoff(at)) << "xxxx";
  };
  // Each with whether the record of the change outlives the cut.
  const std::tuple<const char*, bool, std::function<void(const std::string&)>> cuts[] = {
      {"log cut by 100 bytes", true,
       [](const std::string& wal) { fs::resize_file(wal, fs::file_size(wal) - 100); }},
      {"log cut by a frame", true,
       [&](const std::string& wal) { fs::resize_file(wal, fs::file_size(wal) - kFrame); }},
      {"log cut to half", true,
       [](const std::string& wal) { fs::resize_file(wal, fs::file_size(wal) / 2); }},
      {"last frame overwritten", true,
       [&](const std::string& wal) { overwrite(wal, fs::file_size(wal) - kFrame + 100); }},
      {"a middle frame overwritten", true,
       [&](const std::string& wal) {
         overwrite(wal, 32 + (fs::file_size(wal) - 32) / kFrame / 2 * kFrame + 100);
       }},
      {"log cut by the install's two last transactions", true,
       [&](const std::string& wal) { fs::resize_file(wal, std::stoull(ReadFileText(recordEnd))); }},
  };
  // A version is its files and their bytes. Where it is whole: the asset's own folders, or a
  // folder of the backups' staging that the log names; empty when it is gone.
  using Version = std::map<std::string, std::string>;
  const auto whereIs = [&](const Version& version, const std::string& log) {
    const auto holds = [&](const std::string& folder) {
      return std::ranges::all_of(version, [&](const auto& file) {
        return fs::exists(folder + "/" + file.first) &&
               ReadFileText(folder + "/" + file.first) == file.second;
      });
    };
    std::vector<std::string> places = {"local/a", "editing/a"};
    std::error_code none;
    for (const auto& day : fs::directory_iterator(backups, none)) {
      for (const auto& e : fs::directory_iterator(day.path() / "staging", none)) {
        const std::string place = fs::relative(e.path(), t_.path()).string();
        if (log.find("; kept in " + place + "\n") != std::string::npos) places.push_back(place);
      }
    }
    const auto at =
        std::ranges::find_if(places, [&](auto& p) { return holds(t_.path() + "/" + p); });
    return at == places.end() ? std::string() : *at;
  };
  Version old;
  for (int i = 0; i < 8; ++i) old["old" + std::to_string(i)] = "old";
  // Each removal half done: the first (the editing copy set aside), or the second (the version
  // the commit replaced) once the first is done; 0 for an install answered.
  for (const int killedAt : {1, 2, 0}) {
    for (const auto& [name, recordStays, cut] : cuts) {
      const bool install = killedAt == 0;
      if (install != std::string(name).ends_with("two last transactions")) continue;
      SCOPED_TRACE(std::string(install ? "install" : "commit killed at removal ") +
                   std::to_string(killedAt) + ", " + name);
      for (const auto& e : fs::directory_iterator(t_.path())) fs::remove_all(e.path());
      MakeAsset(t_.path(), "local", "a", Config("<kuid:10:1>"));
      for (const auto& [file, text] : old) WriteFile(t_.path() + "/local/a/" + file, text);
      Version edited = install ? Version() : old;
      edited["new.txt"] = "edited";
      // The edit is made by a daemon before: the log then holds the commit alone.
      ASSERT_TRUE(install || RunKilled(t_.path(), [&](AssetEditor& editor, std::string& error) {
                    AssetRecord record;
                    if (editor.BeginEdit(asset, record, error)) _exit(0);
                  }));
      if (!install) WriteFile(t_.path() + "/editing/a/new.txt", "edited");
      ASSERT_TRUE(RunKilled(t_.path(), [&](AssetEditor& editor, std::string& error) {
        if (install) {
          editor.SetRecordHookForTests(
              [&] { WriteFile(recordEnd, std::to_string(fs::file_size(database_ + "-wal"))); });
          const auto fill = [](const SafeFolder&, const std::string& to, std::string&) {
            WriteFile(to + "/config.txt", Config("<kuid:10:1>"));
            return WriteFile(to + "/new.txt", "edited"), true;
          };
          if (editor.Install(asset, fill, error, true)) _exit(0);
          return;
        }
        editor.SetRemovalHookForTests([&, removals = 0](const std::string& folder) mutable {
          if (++removals < killedAt) return;
          int left = 4;
          for (const auto& e : fs::directory_iterator(folder)) {
            if (left-- == 0) break;
            fs::remove(e.path());
          }
          _exit(0);
        });
        editor.Commit(asset, error);
      }));
      cut(database_ + "-wal");
      for (int start = 0; start < 2; ++start) {
        pid_t pid;
        const u16 port = Start(pid);
        ASSERT_NE(port, 0) << "start " << start;
        EXPECT_EQ(CloseDaemon(port, pid), kExitOk);
      }
      const std::string log = ReadFileText(t_.path() + "/pymdaemon.log");
      EXPECT_NE(whereIs(edited, log), "") << log;
      // A commit that replaced the old version may have removed part of it.
      EXPECT_TRUE(killedAt == 2 || !whereIs(old, log).empty()) << log;
      const bool undone = log.find("undone: <kuid:10:1> at ") != std::string::npos;
      EXPECT_TRUE(undone || !recordStays) << log;
    }
  }
}

// An index whose pages were damaged after a kill, while its log still held the pages last
// written, is set aside at the next start and built again from the folders.
TEST_F(DaemonProcess, AnIndexWithDamagedPagesIsSetAsideAndRebuilt) {
  constexpr int kAssets = 50;
  for (int i = 0; i < kAssets; ++i) {
    const std::string n = std::to_string(i);
    MakeAsset(t_.path(), "local", "a" + n,
              Config("<kuid:9:" + n + ">", "username \"" + std::string(300, 'n') + "\"\n"));
  }
  ASSERT_TRUE(RunKilled(t_.path(), [](AssetEditor& editor, std::string& error) {
    AssetRecord record;
    if (editor.BeginEdit(KUID(9, 1, 0), record, error)) _exit(0);
  }));
  // Every page of the index but the first is noise; the log holds the pages last written.
  WriteFile(database_, ReadFileText(database_).substr(0, 4096) +
                           std::string(fs::file_size(database_) - 4096, '\x7f'));
  pid_t pid;
  const u16 port = Start(pid);
  ASSERT_NE(port, 0);
  EXPECT_EQ(CloseDaemon(port, pid), kExitOk);
  EXPECT_TRUE(fs::exists(database_ + ".bad"));
  AssetStore store;
  ASSERT_TRUE(store.Open(t_.path(), nullptr));
  EXPECT_EQ(store.CountAssets(), size_t(kAssets));
}

}  // namespace
}  // namespace PymDaemonSrv
