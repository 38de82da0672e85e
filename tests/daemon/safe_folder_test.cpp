// The daemon changes folders only inside its root, never a content folder root, never through a
// symbolic link, and copies never follow links.
#include "assetdata/safe_folder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
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

// A tree's signature tells its names, types, the identity of each entry (device, inode, change
// time), file sizes and times and link targets, and no byte of a file: a copy is other files, and
// any change a writer makes gives another, even to the same size and time; moving the folder keeps
// it. A tree that holds an entry that cannot be read, or that is too deep, has none. A settled
// signature waits for the clock tick of the last change time to pass (a whole second for a time
// without nanoseconds), or without waiting is none until then; a modification time ahead of the
// clock, which the writer chose, is no change time to wait for.
TEST_F(SafeFolderTest, ASignatureTellsEveryEntryButNoFileContent) {
  const std::string plain = root_ + "/local/plain";
  fs::create_directories(plain + "/sub");
  std::ofstream(plain + "/config.txt") << "kuid <kuid:1:2>\n";
  std::ofstream(plain + "/sub/lib.gs") << "return 1;\n";
  const std::string original = SafeFolder::TreeSignature(plain);
  ASSERT_EQ(original.size(), 64u);
  const auto shift = [](const std::string& path) {
    fs::last_write_time(path, fs::last_write_time(path) + std::chrono::nanoseconds(1));
  };
  const auto nest = [](std::string at, int levels) {
    for (int i = 0; i < levels; ++i) at += "/d";
    fs::create_directories(at);
  };
  // A change gives the copy's signature (""), one of its own (kOther), or none, and why.
  const std::string kOther = "other";
  const struct {
    const char* change;
    std::function<void(const std::string&)> make;
    std::string gives;
  } cases[] = {
      {"none", nullptr, ""},
      {"other bytes of the same size and time",
       [](const std::string& t) {
         const auto was = fs::last_write_time(t + "/sub/lib.gs");
         std::ofstream(t + "/sub/lib.gs") << "return 2;\n";
         fs::last_write_time(t + "/sub/lib.gs", was);
       },
       kOther},
      {"a folder's own time", [&](const std::string& t) { shift(t + "/sub"); }, ""},
      {"the folder moved away and back",
       [](const std::string& t) {
         fs::rename(t, t + "-moved");
         fs::rename(t + "-moved", t);
       },
       ""},
      {"a file's time", [&](const std::string& t) { shift(t + "/sub/lib.gs"); }, kOther},
      {"a longer file",
       [](const std::string& t) { std::ofstream(t + "/sub/lib.gs", std::ios::app) << " "; },
       kOther},
      {"a name", [](const std::string& t) { fs::rename(t + "/sub/lib.gs", t + "/sub/lib.gt"); },
       kOther},
      {"a folder moved", [](const std::string& t) { fs::rename(t + "/sub", t + "/sub2"); }, kOther},
      {"an empty file", [](const std::string& t) { std::ofstream(t + "/empty"); }, kOther},
      {"an empty folder", [](const std::string& t) { fs::create_directory(t + "/empty"); }, kOther},
      {"folders to the depth limit", [&](const std::string& t) { nest(t, kMaxAssetFolderDepth); },
       kOther},
      {"a link", [](const std::string& t) { fs::create_symlink("config.txt", t + "/link"); },
       kOther},
      {"a link elsewhere",
       [](const std::string& t) { fs::create_symlink("sub/lib.gs", t + "/link"); }, kOther},
      {"a pipe", [](const std::string& t) { mkfifo((t + "/link").c_str(), 0600); }, kOther},
      {"a socket", [](const std::string& t) { mknod((t + "/link").c_str(), S_IFSOCK | 0600, 0); },
       kOther},
      {"folders past the depth limit",
       [&](const std::string& t) { nest(t, kMaxAssetFolderDepth + 1); },
       " cannot be read (" + FoldersTooDeepReason() + ")"},
      // Root opens any file; a change of mode is a change.
      {"a file that cannot be opened",
       [](const std::string& t) { chmod((t + "/sub/lib.gs").c_str(), 0); },
       geteuid() == 0 ? kOther : "sub/lib.gs cannot be read (Permission denied)"},
      {"no folder", [](const std::string& t) { fs::remove_all(t); },
       "the folder cannot be read (not a folder)"},
  };
  std::set<std::string> seen = {original};
  int n = 0;
  std::string error;
  for (const auto& c : cases) {
    const std::string copy = root_ + "/staging/" + std::to_string(n++);
    ASSERT_TRUE(folders_.CopyTree(plain, copy, error)) << error;
    const std::string copied = SafeFolder::TreeSignature(copy);
    EXPECT_TRUE(copied.size() == 64u && seen.insert(copied).second) << c.change << ", copied";
    if (c.make) c.make(copy);
    std::string why;
    const std::string signature = SafeFolder::TreeSignature(copy, &why);
    if (c.gives == kOther) {
      EXPECT_TRUE(signature.size() == 64u && seen.insert(signature).second) << c.change;
    } else {
      EXPECT_EQ(signature, c.gives.empty() ? copied : "") << c.change;
      EXPECT_TRUE(why.ends_with(c.gives)) << c.change << ": " << why;
    }
  }
  // Settled: past the second of a change time without nanoseconds; a modification time ahead of
  // the clock waits for nothing.
  const std::string lib = plain + "/sub/lib.gs";
  for (const time_t ahead : {0, 3600})
    for (const bool wholeSeconds : {true, false})
      for (const bool wait : {true, false}) {
        SCOPED_TRACE(testing::Message() << ahead << " s ahead" << (wholeSeconds ? ", whole s" : "")
                                        << (wait ? ", waiting" : ""));
        const time_t changed = time(nullptr);
        const timespec times[2] = {{changed + ahead, 0}, {changed + ahead, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, lib.c_str(), times, 0), 0);
        SafeFolder::SetWholeSecondsForTests(wholeSeconds);
        std::string why;
        const std::string settled = SafeFolder::SettledTreeSignature(plain, &why, wait);
        const time_t signedAt = time(nullptr);
        const bool given = wait || !wholeSeconds;
        EXPECT_EQ(settled, given ? SafeFolder::TreeSignature(plain) : "") << why;
        SafeFolder::SetWholeSecondsForTests(false);
        EXPECT_TRUE(given || why.ends_with(" changed within this second")) << why;
        EXPECT_TRUE(wholeSeconds && wait ? signedAt > changed : signedAt <= changed + 1);
      }
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

// A copy or a signature that skipped what it could not read would be installed short of it, or
// vouch for files it never saw: both fail, naming the entry, and leave no copy behind.
TEST_F(SafeFolderTest, AReadOfTheSourceThatFailsFailsTheCopyAndTheSignature) {
  const std::string asset = root_ + "/local/asset";
  std::ofstream(asset + "/readme.txt") << "edited";
  std::ofstream(asset + "/sub/data.bin") << "data";
  const std::tuple<std::string, std::string, int> cases[] = {
      {"list", "sub", EIO},         {"list", "", EIO},  // a folder, or the asset's own
      {"stat", "readme.txt", EIO},  {"stat", "sub", ENOMEM}, {"stat", "sub/data.bin", ENOENT},
      {"open", "sub/data.bin", EIO}};
  for (const auto& [failingCall, entry, fault] : cases) {
    const std::string failing = entry.empty() ? asset : asset + "/" + entry;
    SCOPED_TRACE(failingCall + " " + failing);
    SafeFolder::SetReadFaultForTests([&](const char* call, const std::string& path) {
      return call == failingCall && path == failing ? fault : 0;
    });
    std::string error, why;
    EXPECT_FALSE(folders_.CopyTree(asset, root_ + "/staging/copy", error));
    EXPECT_EQ(SafeFolder::TreeSignature(asset, &why), "");
    SafeFolder::SetReadFaultForTests(nullptr);
    EXPECT_NE(error.find(failing + ": " + std::strerror(fault)), std::string::npos) << error;
    EXPECT_TRUE(why.starts_with(entry.empty() ? "the folder" : entry)) << why;
    EXPECT_FALSE(fs::exists(root_ + "/staging/copy"));
  }
}

}  // namespace
}  // namespace PymDaemonSrv
