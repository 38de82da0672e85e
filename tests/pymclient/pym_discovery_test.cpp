#include "pymclient/pym_discovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "platform/named_mutex.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_protocol.h"
#include "qel/shared_memory.h"
#include "support/fake_pym_server.h"
#include "support/other_user.h"
#include "support/scratch_folder.h"
#include "support/thread_watchdog.h"

namespace {

using namespace PymProtocol;  // NOLINT(build/namespaces)

TEST(DiscoveryNamesTest, FolderAndNameTexts) {
  const std::pair<const char*, const char*> folders[] = {
      // Two folders that differ only in case are two installations.
      {"/Tmp/X/UserData/Assets.TDX", "/Tmp/X/UserData"},
      {"/tmp/x/userdata/assets.tdx", "/tmp/x/userdata"},
      {"C:\\Kestro\\UserData\\assets.tdx", "C:\\Kestro\\UserData"},
      {"assets.tdx", ""},         // nothing before the file name
      {"/a/assets.tdx.bak", ""},  // must end in the name
      {"", ""},
  };
  for (const auto& [path, folder] : folders) EXPECT_EQ(DatabaseFolder(path), folder) << path;

  EXPECT_EQ(MutexNameText("c:\\kestro\\userdata"),
            "09731AC6-B611-4e2a-B181-578073F64F24/c:/kestro/userdata");
  EXPECT_EQ(ShmNameText("/tmp/x/userdata"),
            "09731AC6-B611-4e2a-B181-578073F64F24/tmp/x/userdata/-ipc2");
}

// A fresh installation root per test, so that every test meets its own block.
class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(InitInstallPaths(Qel::File::Path(root_.c_str())));
    database_ = GetDatabasePath().CStr();
    const std::string folder = DatabaseFolder(database_);
    mutexName_ = MutexNameText(folder);
    shmName_ = ShmNameText(folder);
  }
  void TearDown() override {
    CloseDiscoveryBlock();
    FakePymServer::RemoveDiscoveryObjects(database_);
  }

  // Another view of the block, as a second process would map it.
  PymDiscoveryBlock* View() {
    if (!view_.IsAttached() && !view_.Create(shmName_, kBlockSize)) return nullptr;
    return static_cast<PymDiscoveryBlock*>(view_.GetData());
  }

  // Makes the block exist already (as left by other processes), with the given fields.
  void Prepare(u32 manager, u32 version, u8 count, u32 refuse = 0) {
    if (!existing_.IsOpen()) {
      ASSERT_TRUE(existing_.Create(mutexName_, false));
    }
    PymDiscoveryBlock* b = View();
    ASSERT_NE(b, nullptr);
    b->managerProcessId = manager;
    b->ownerProcessId = kNoProcess;
    b->requesterProcessId = kNoProcess;
    b->layoutVersion = version;
    b->attachCount = count;
    b->refuseWord = refuse;
  }

  static u32 DeadProcessId() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return u32(child);
  }

  scratch::Folder folder_;
  std::string root_ = folder_.path();
  std::string database_;
  std::string mutexName_;
  std::string shmName_;
  Qel::SharedMemory view_;
  Platform::NamedMutex existing_;
};

// A child process forked before this process opens discovery (a fork copies the open state),
// which runs its body only when told to.
class LaterChild {
 public:
  template <class Body>
  explicit LaterChild(Body body) {
    if (::pipe(gate_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      char c;
      ::close(gate_[1]);
      ::_exit(::read(gate_[0], &c, 1) == 1 ? body() : 99);
    }
    ::close(gate_[0]);
  }
  // Runs the body and returns its exit code.
  int Run() {
    const char go = 1;
    if (::write(gate_[1], &go, 1) != 1) return -1;
    ::close(gate_[1]);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  int gate_[2] = {-1, -1};
  pid_t pid_ = -1;
};

// Another local user may make a block for our folder's name and name a listener of theirs: it lies
// in their own runtime folder, and ours never shows it.
TEST_F(DiscoveryTest, BlockOfAnotherUserIsIgnored) {
  if (!kestro_test::CanRunAsOtherUser()) {
    GTEST_SKIP() << "a second user needs a test run as root to drop to uid "
                 << kestro_test::kOtherUser;
  }
  const auto spoof = [&](bool make) {
    return kestro_test::RunAsOtherUser([&] {
      if (!make) return Qel::SharedMemory::Remove(shmName_) ? 0 : 1;
      Qel::SharedMemory block;
      if (!block.Create(shmName_, kBlockSize)) return 1;
      auto* b = static_cast<PymDiscoveryBlock*>(block.GetData());
      b->layoutVersion = kBlockVersion;
      b->managerProcessId = 1;
      b->ownerProcessId = 1;
      b->port = 4242;
      return 0;
    });
  };
  ASSERT_EQ(spoof(true), 0);
  EXPECT_TRUE(OpenDiscoveryBlock(database_.c_str()));
  EXPECT_EQ(GetDatabaseOwnerPort(), 0u);
  CloseDiscoveryBlock();
  EXPECT_EQ(spoof(false), 0);
}

TEST_F(DiscoveryTest, RefusesBadDatabasePathsAndARefuseWord) {
  EXPECT_FALSE(OpenDiscoveryBlock((root_ + "/UserData/assets.db").c_str()));
  EXPECT_FALSE(OpenDiscoveryBlock((root_ + "/missing/assets.tdx").c_str()));
  EXPECT_FALSE(OpenDiscoveryBlock(nullptr));
  EXPECT_FALSE(IsDiscoveryOpen());
  // So does a refuse word, until it is cleared.
  Prepare(u32(::getppid()), kBlockVersion, 1, 1);
  EXPECT_FALSE(OpenDiscoveryBlock(database_.c_str()));
  EXPECT_FALSE(IsDiscoveryOpen());
  View()->refuseWord = 0;
  EXPECT_TRUE(OpenDiscoveryBlock(database_.c_str()));
}

TEST_F(DiscoveryTest, FirstProcessCreatesBlockAndSecondCountsUp) {
  LaterChild second([&] {
    if (!OpenDiscoveryBlock(database_.c_str())) return 1;
    if (IsDiscoveryManager()) return 2;
    CloseDiscoveryBlock();
    return 0;
  });
  ASSERT_TRUE(OpenDiscoveryBlock(database_.c_str()));
  EXPECT_TRUE(OpenDiscoveryBlock(database_.c_str())) << "open again is a no-op";
  PymDiscoveryBlock* b = View();
  ASSERT_NE(b, nullptr);
  // Manager, owner, requester, version, count, refuse word and port.
  EXPECT_EQ(std::make_tuple(b->managerProcessId, b->ownerProcessId, b->requesterProcessId,
                            b->layoutVersion, b->attachCount, b->refuseWord, b->port),
            std::make_tuple(u32(::getpid()), kNoProcess, kNoProcess, kBlockVersion, u8(1), 0u, 0u));
  EXPECT_TRUE(IsDiscoveryManager());
  EXPECT_EQ(GetDatabaseOwnerPort(), 0u) << "no daemon yet";

  // A second process attaches: the count goes up and stays up when it leaves, since it is not
  // the manager (this process is alive and keeps the role).
  EXPECT_EQ(second.Run(), 0);
  EXPECT_EQ(std::make_tuple(b->attachCount, b->managerProcessId),
            std::make_tuple(u8(2), u32(::getpid())));

  CloseDiscoveryBlock();
  EXPECT_FALSE(IsDiscoveryOpen());
  EXPECT_FALSE(IsDiscoveryManager());
  EXPECT_EQ(b->managerProcessId, kNoProcess);
  EXPECT_EQ(b->attachCount, 1) << "the manager's close counts down";
}

TEST_F(DiscoveryTest, HousekeepingClearsDeadIdsOnly) {
  ASSERT_TRUE(OpenDiscoveryBlock(database_.c_str()));
  PymDiscoveryBlock* b = View();
  ASSERT_NE(b, nullptr);
  // A live owner is kept and its port is served; a dead requester is cleared.
  b->ownerProcessId = u32(::getppid());
  b->port = 4242;
  b->requesterProcessId = DeadProcessId();
  IPCIdle();
  EXPECT_EQ(std::make_tuple(b->ownerProcessId, b->requesterProcessId, GetDatabaseOwnerPort()),
            std::make_tuple(u32(::getppid()), kNoProcess, 4242u));
  // A daemon that died is cleared and no port is served any more.
  b->ownerProcessId = DeadProcessId();
  IPCIdle();
  EXPECT_EQ(std::make_tuple(b->ownerProcessId, GetDatabaseOwnerPort()),
            std::make_tuple(kNoProcess, 0u));

  // This process as owner serves nobody and keeps the role until it closes; as requester it is
  // cleared.
  const u32 self = u32(::getpid());
  b->ownerProcessId = self;
  b->requesterProcessId = self;
  b->port = 4242;
  EXPECT_EQ(GetDatabaseOwnerPort(), 0u);
  IPCIdle();
  EXPECT_EQ(std::make_tuple(b->ownerProcessId, b->requesterProcessId),
            std::make_tuple(self, kNoProcess));
  CloseDiscoveryBlock();
  EXPECT_EQ(b->ownerProcessId, kNoProcess);
}

TEST_F(DiscoveryTest, BlocksLeftByOtherProcesses) {
  const u32 self = u32(::getpid());
  const u32 live = u32(::getppid());
  const struct {
    const char* what;
    u32 manager, version;
    u8 count;
    bool managing;  // this process takes the manager role
    u32 versionAfter;
    u8 countAfter, countClosed;
  } cases[] = {
      {"dead manager is taken over", DeadProcessId(), kBlockVersion, 1, true, kBlockVersion, 2, 1},
      {"live manager keeps its role", live, kBlockVersion, 1, false, kBlockVersion, 2, 2},
      {"version 0 with a manager is left as it is", live, 0, 7, false, 0, kAttachCountUnknown,
       kAttachCountUnknown},
      {"version 0 without a manager is set up afresh", 0, 0, 0, true, kBlockVersion, 2, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Prepare(c.manager, c.version, c.count);
    PymDiscoveryBlock* b = View();
    ASSERT_TRUE(OpenDiscoveryBlock(database_.c_str()));
    EXPECT_EQ(IsDiscoveryManager(), c.managing);
    EXPECT_EQ(std::make_tuple(b->managerProcessId, b->layoutVersion, b->attachCount),
              std::make_tuple(c.managing ? self : c.manager, c.versionAfter, c.countAfter));
    CloseDiscoveryBlock();
    EXPECT_EQ(b->attachCount, c.countClosed) << "only the manager counts down";
  }
}

TEST_F(DiscoveryTest, LaunchProcessStartsDetachedInItsFolder) {
  const std::string bin = root_ + "/bin";
  std::filesystem::create_directories(bin);
  std::ofstream(bin + "/Tool")
      << "#!/bin/sh\necho \"$$ $(pwd) $1|$2\" > out.tmp && mv out.tmp out.txt\n";
  ::chmod((bin + "/Tool").c_str(), 0755);
  // Show flags 3 start it hidden; forward and back slashes are both separators; the case of
  // the name need not match.
  const u32 pid = LaunchProcess((root_ + "\\bin/tool").c_str(), "a \"b c\"", bin.c_str(), 3);
  ASSERT_NE(pid, 0u);
  std::string text;
  ASSERT_TRUE(watchdog::Eventually([&] {
    std::getline(std::ifstream(bin + "/out.txt"), text);
    return !text.empty();
  }));
  EXPECT_EQ(text, std::to_string(pid) + " " + bin + " a|b c");

  EXPECT_EQ(LaunchProcess("", "", "", 2), 0u);
  EXPECT_EQ(LaunchProcess(nullptr, "", "", 2), 0u);
  EXPECT_EQ(LaunchProcess((bin + "/missing").c_str(), "", bin.c_str(), 2), 0u);
}

}  // namespace
