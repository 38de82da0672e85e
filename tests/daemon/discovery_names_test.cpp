// The discovery names are computable by anyone from an installation path. Another local user who
// creates them first must not keep the owner's daemon from publishing itself, nor its tools from
// finding it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "daemon/discovery_publisher.h"
#include "platform/runtime_folder.h"
#include "pymclient/pym_protocol.h"
#include "qel/shared_memory.h"
#include "support/other_user.h"
#include "support/scratch_folder.h"

namespace PymDaemonSrv {
namespace {

namespace fs = std::filesystem;

class DiscoveryNames : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"TMPDIR", "HOME"}) {
      const char* value = std::getenv(name);
      saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
    }
    // A temporary folder as /tmp is: everyone may create in it, no one may replace another's.
    fs::create_directories(temp_);
    fs::create_directories(home_);
    ::chmod(temp_.c_str(), 01777);
    ::chmod(base_.c_str(), 0755);
    setenv("TMPDIR", temp_.c_str(), 1);
    setenv("HOME", home_.c_str(), 1);
  }
  void TearDown() override {
    const char* names[] = {"TMPDIR", "HOME"};
    for (size_t i = 0; i < 2; ++i) {
      if (saved_[i]) {
        setenv(names[i], saved_[i]->c_str(), 1);
      } else {
        unsetenv(names[i]);
      }
    }
  }

  scratch::Folder scratch_;
  std::string base_ = fs::canonical(scratch_.path()).string();
  std::string temp_ = base_ + "/tmp";
  std::string home_ = base_ + "/home";
  std::string shared_ = temp_ + "/kestro-" + std::to_string(::geteuid());
  std::vector<std::optional<std::string>> saved_;
};

TEST_F(DiscoveryNames, ASquattedNameFallsBackToAFolderOnlyTheUserCanMake) {
  const std::string database = base_ + "/UserData/assets.tdx";
  enum class Squat { kNone, kPlainFile, kLinkToOurFolder, kOtherUsersFolder };
  for (const Squat squat : {Squat::kNone, Squat::kPlainFile, Squat::kLinkToOurFolder,
                            Squat::kOtherUsersFolder}) {
    fs::remove_all(shared_);
    fs::remove_all(home_ + "/.kestro-run");
    switch (squat) {
      case Squat::kNone:
        break;
      case Squat::kPlainFile:
        std::ofstream(shared_) << "mine now";
        break;
      case Squat::kLinkToOurFolder:
        fs::create_directories(base_ + "/elsewhere");
        fs::create_directory_symlink(base_ + "/elsewhere", shared_);
        break;
      case Squat::kOtherUsersFolder:
        if (!kestro_test::CanRunAsOtherUser() || !kestro_test::OtherUserCanReach(base_)) continue;
        ASSERT_EQ(kestro_test::RunAsOtherUser([&] {
                    // Open to everyone, with the lock file already in it.
                    if (::mkdir(shared_.c_str(), 0777) != 0) return 1;
                    ::chmod(shared_.c_str(), 0777);
                    const std::string lock =
                        shared_ + "/" +
                        Platform::ObjectBaseName(DiscoveryPublisher::MutexName(database)) +
                        ".lock";
                    std::ofstream(lock) << "taken";
                    return 0;
                  }),
                  0);
        break;
    }
    const std::string folder = Platform::UserRuntimeFolder();
    EXPECT_EQ(folder, squat == Squat::kNone ? shared_ : home_ + "/.kestro-run") << int(squat);
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    fs::create_directories(base_ + "/UserData");
    DiscoveryPublisher publisher;
    std::string error;
    ASSERT_TRUE(publisher.Publish(database, 4321, &error)) << int(squat) << ": " << error;
    // A tool of the same user finds the port where the daemon put it.
    Qel::SharedMemory block;
    ASSERT_TRUE(block.Create(DiscoveryPublisher::SharedMemoryName(database), PymProtocol::kBlockSize));
    EXPECT_EQ(static_cast<const PymDiscoveryBlock*>(block.GetData())->port, 4321) << int(squat);
    block.Close();
    publisher.Withdraw();
    Qel::SharedMemory::Remove(DiscoveryPublisher::SharedMemoryName(database));
    Platform::NamedMutex::Remove(DiscoveryPublisher::MutexName(database));
  }
}

}  // namespace
}  // namespace PymDaemonSrv
