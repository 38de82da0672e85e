// The daemon changes folders only inside its root, never a content folder root, never through a
// symbolic link, and copies never follow links.
#include "assetdata/safe_folder.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "daemon/asset_editor.h"
#include "support/scratch_folder.h"

namespace PymDaemonSrv {
namespace {

namespace fs = std::filesystem;

class SafeFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ + "/local/asset/sub");
    fs::create_directories(outside_ + "/keep");
    std::ofstream(root_ + "/local/asset/config.txt") << "kuid <kuid:1:2>\n";
    std::ofstream(outside_ + "/keep/precious.txt") << "mine";
    fs::create_directory_symlink(outside_ + "/keep", root_ + "/local/asset/sub/link");
    fs::create_directory_symlink(outside_, root_ + "/local/jump");
  }

  scratch::Folder scratch_;
  std::string root_ = fs::canonical(scratch_.path()).string() + "/UserData";
  std::string outside_ = fs::canonical(scratch_.path()).string() + "/outside";
  SafeFolder folders_{root_};
};

TEST_F(SafeFolderTest, OnlyPlainPathsTwoLevelsBelowTheRootMayChange) {
  const struct {
    std::string relative;
    bool resolves;
    bool mayChange;
  } cases[] = {
      {"local/asset", true, true},
      {"local/asset/sub", true, true},
      {"local", true, false},
      {"", false, false},
      {"/etc/x", false, false},
      {"local/../../x", false, false},
      {"local/./asset", false, false},
      {"local//asset", false, false},
      {"local\\asset", false, false},
      {"local/jump/keep", true, false},
      {"local/asset/sub/link/precious.txt", true, false},
  };
  for (const auto& c : cases) {
    const std::string path = folders_.Resolve(c.relative);
    EXPECT_EQ(!path.empty(), c.resolves) << c.relative;
    EXPECT_EQ(folders_.MayChange(root_ + "/" + c.relative), c.mayChange) << c.relative;
  }
  for (const std::string& other : {root_, outside_ + "/keep/x", root_ + "x/local/asset"}) {
    EXPECT_FALSE(folders_.MayChange(other)) << other;
  }
}

TEST_F(SafeFolderTest, CopiesAndRemovalsNeverFollowLinks) {
  std::string error;
  ASSERT_TRUE(folders_.CopyTree(root_ + "/local/asset", root_ + "/staging/copy", error)) << error;
  EXPECT_TRUE(fs::exists(root_ + "/staging/copy/config.txt"));
  EXPECT_FALSE(fs::exists(root_ + "/staging/copy/sub/link"));
  EXPECT_FALSE(folders_.CopyTree(root_ + "/local/asset", root_ + "/staging/copy", error))
      << "a copy never lands on an existing folder";

  ASSERT_TRUE(folders_.RemoveTree(root_ + "/local/asset", error)) << error;
  EXPECT_FALSE(fs::exists(root_ + "/local/asset"));
  EXPECT_TRUE(fs::exists(outside_ + "/keep/precious.txt"));
  for (const std::string& refused : {root_ + "/local", root_, root_ + "/local/jump/keep"}) {
    EXPECT_FALSE(folders_.RemoveTree(refused, error)) << refused;
  }
  EXPECT_TRUE(fs::exists(outside_ + "/keep/precious.txt"));

  ASSERT_TRUE(folders_.Move(root_ + "/staging/copy", root_ + "/local/asset", error)) << error;
  fs::create_directories(root_ + "/staging/other");
  EXPECT_FALSE(folders_.Move(root_ + "/staging/other", root_ + "/local/asset", error))
      << "a move never replaces";
  ASSERT_TRUE(folders_.Exchange(root_ + "/staging/other", root_ + "/local/asset", error)) << error;
  EXPECT_TRUE(fs::exists(root_ + "/staging/other/config.txt"));
}

// A commit by two renames that a crash cut short: the old folder waits in staging with a note of
// where it belongs, and goes back only when nothing took its place.
TEST_F(SafeFolderTest, AFolderSetAsideByACrashIsPutBackOnlyWhenItsPlaceIsEmpty) {
  for (const bool replaced : {false, true}) {
    fs::create_directories(root_ + "/staging/7-1");
    std::ofstream(root_ + "/staging/7-1/config.txt") << "old";
    std::ofstream(root_ + "/staging/7-1.restore") << "asset\n";
    fs::create_directories(root_ + "/staging/7-2/leftover");
    fs::remove_all(root_ + "/local/asset");
    if (replaced) {
      fs::create_directories(root_ + "/local/asset");
      std::ofstream(root_ + "/local/asset/config.txt") << "new";
    }
    AssetEditor::RecoverStaging(root_);
    std::ifstream config(root_ + "/local/asset/config.txt");
    std::string text;
    std::getline(config, text);
    EXPECT_EQ(text, replaced ? "new" : "old");
    EXPECT_TRUE(fs::is_empty(root_ + "/staging"));
  }
}

// Trees with the same names, folders and bytes have one digest wherever they are; any difference
// in a name, a type, a size or a byte gives another, and a tree holding anything but folders and
// files has none.
TEST(TreeDigest, OnlyTheSameNamesFoldersAndBytesGiveTheSameDigest) {
  scratch::Folder scratch;
  const auto make = [&](const std::string& name,
                        const std::function<void(const std::string&)>& change) {
    const std::string tree = scratch.path() + "/" + name;
    fs::create_directories(tree + "/sub");
    std::ofstream(tree + "/config.txt") << "kuid <kuid:1:2>\n";
    std::ofstream(tree + "/sub/lib.gs") << "return 1;\n";
    if (change) change(tree);
    return SafeFolder::TreeDigest(tree);
  };
  const std::string original = make("original", nullptr);
  ASSERT_EQ(original.size(), 64u);
  EXPECT_EQ(make("copy", nullptr), original);
  const struct {
    const char* change;
    std::function<void(const std::string&)> make;
  } differ[] = {
      {"a byte", [](const std::string& t) { std::ofstream(t + "/sub/lib.gs") << "return 2;\n"; }},
      {"a longer file",
       [](const std::string& t) { std::ofstream(t + "/sub/lib.gs", std::ios::app) << " "; }},
      {"a name", [](const std::string& t) { fs::rename(t + "/sub/lib.gs", t + "/sub/lib.gt"); }},
      {"a folder moved", [](const std::string& t) { fs::rename(t + "/sub", t + "/sub2"); }},
      {"an empty file", [](const std::string& t) { std::ofstream(t + "/empty"); }},
      {"an empty folder", [](const std::string& t) { fs::create_directory(t + "/empty"); }},
  };
  std::set<std::string> seen = {original};
  int n = 0;
  for (const auto& d : differ) {
    const std::string digest = make("differ" + std::to_string(n++), d.make);
    EXPECT_EQ(digest.size(), 64u) << d.change;
    EXPECT_TRUE(seen.insert(digest).second) << d.change;
  }
  const auto link = [](const std::string& t) { fs::create_symlink("config.txt", t + "/link"); };
  const auto fifo = [](const std::string& t) { mkfifo((t + "/fifo").c_str(), 0600); };
  EXPECT_EQ(make("link", link), "");
  EXPECT_EQ(make("fifo", fifo), "");
  EXPECT_EQ(SafeFolder::TreeDigest(scratch.path() + "/none"), "");
}

// A writer that appends each time the copy reads would keep a copy that follows the file's end
// going for as long as it writes; the copy takes what the file held when it was reached.
TEST_F(SafeFolderTest, AFileGrowingDuringTheCopyIsCopiedAsItWasReached) {
  constexpr size_t kStart = 8u << 20;
  const std::string grows = root_ + "/local/asset/grows.txt";
  std::ofstream(grows, std::ios::binary) << std::string(kStart, 'a');
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watch, grows.c_str(), IN_ACCESS), 0);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::ofstream out(grows, std::ios::binary | std::ios::app);
    const std::string block(256 << 10, 'b');
    pollfd p{watch, POLLIN, 0};
    char events[4096];
    // Bounded, and ended once the copy returns.
    for (int appended = 0; !done && appended < 256;) {
      if (poll(&p, 1, 20) <= 0 || read(watch, events, sizeof events) <= 0) continue;
      out << block << std::flush;
      ++appended;
    }
  });
  std::string error;
  const bool copied = folders_.CopyTree(root_ + "/local/asset", root_ + "/staging/copy", error);
  done = true;
  writer.join();
  close(watch);
  ASSERT_TRUE(copied) << error;
  EXPECT_EQ(fs::file_size(root_ + "/staging/copy/grows.txt"), kStart);
}

}  // namespace
}  // namespace PymDaemonSrv
