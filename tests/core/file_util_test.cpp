#include "core/file_util.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "core/core_statics.h"
#include "core/time_date.h"
#include "qel/critical_section.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;
using Qel::PString;
using Path = Qel::File::Path;
using Names = std::set<std::string>;

const PString kNone;
const PString kLocal("local");

std::string g_install;
Qel::String InstallFolderOf(const PString& name) {
  return name.EqualsIgnoreCase("builtin") ? Qel::String(g_install + "\\builtin") : Qel::String();
}

// <root>/UserData is the user-data root; <root>/outside lies beside it.
class FileUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.path().empty());
    root_.Put("outside/keep.txt", "keep");
    fs::create_directories(user_);
    ASSERT_TRUE(SetUserDataRoot(user_.c_str()));
  }
  void TearDown() override {
    SetUserDataFolderHook(nullptr);
    SetUserDataRoot(nullptr);
    SetTemporaryFolder(nullptr);
  }
  std::string P(const std::string& rel) const { return root_.At(rel); }
  std::string U(const std::string& rel) const { return user_ + "/" + rel; }
  void Put(const std::string& rel, const std::string& content = "") const {
    root_.Put(rel, content);
  }
  std::string Read(const std::string& rel) const { return root_.Read(rel); }
  Names List(const std::string& rel) const { return root_.Names(rel); }

  scratch::Folder root_;
  const std::string user_ = root_.At("UserData");
};

TEST_F(FileUtilTest, NamedFolderOperations) {
  EXPECT_FALSE(SetUserDataRoot("relative") || SetUserDataRoot("C:\\UserData"));
  EXPECT_EQ(GetTemporaryFolder().Std(), user_ + "/temp");
  ASSERT_TRUE(MakeFolder(kLocal, "a/b"));
  EXPECT_TRUE(IsDirectory(PString("LOCAL"), "A\\B"));  // names resolve without regard to case
  EXPECT_TRUE(IsFolderEmpty(kLocal, "a/b"));
  EXPECT_FALSE(IsFolderEmpty(kLocal, "a") || IsFolderEmpty(kLocal, "missing"));
  EXPECT_FALSE(FolderContainsFile(kLocal, "a"));
  Put("UserData/local/a/b/f.txt", "data");
  EXPECT_TRUE(PathExists(kLocal, "a/b/f.txt") && FolderContainsFile(kLocal, "a"));
  EXPECT_FALSE(IsDirectory(kLocal, "a/b/f.txt") || IsFolderEmpty(kLocal, "a/b/f.txt"));

  EXPECT_TRUE(RenamePath(kLocal, "a/b/f.txt", "a/g.txt"));
  Put("UserData/local/a/h.txt", "other");
  EXPECT_FALSE(RenamePath(kLocal, "a/g.txt", "a/h.txt"));  // no overwrite
  EXPECT_EQ(Read("UserData/local/a/g.txt") + Read("UserData/local/a/h.txt"), "dataother");
  EXPECT_TRUE(DeletePath(kLocal, "a/h.txt"));  // a file
  EXPECT_TRUE(DeletePath(kLocal, "a"));        // a tree
  EXPECT_EQ(List("UserData/local"), Names{});

  // With no folder only absolute paths count: nothing happens relative to the working folder.
  const fs::path cwd = fs::current_path();
  fs::current_path(user_);
  EXPECT_FALSE(PathExists(kNone, "local") || MakeFolder(kNone, "made") ||
               RenamePath(kNone, "local", "moved") || DeletePath(kNone, "local") ||
               CopyFile(kNone, "local", kNone, "copy"));
  fs::current_path(cwd);
  EXPECT_EQ(List("UserData"), Names{"local"});

  // The layout's hook places folders itself; names it does not know name nothing.
  g_install = P("install");
  SetUserDataFolderHook(&InstallFolderOf);
  EXPECT_TRUE(MakeFolder(PString("builtin"), "x") && fs::is_directory(P("install/builtin/x")));
  EXPECT_FALSE(PathExists(kLocal, ""));
  SetUserDataFolderHook(nullptr);
  SetUserDataRoot(nullptr);
  EXPECT_FALSE(MakeFolder(kLocal, "x"));
}

TEST_F(FileUtilTest, DeletionAndRenamesNeverEscape) {
  Put("UserData/local/in/f.txt", "in");
  Put("UserData2/x/f.txt");
  const Path up("../../outside");
  EXPECT_FALSE(DeletePath(kLocal, up) || DeletePath(kLocal, "in/../../../outside/keep.txt") ||
               DeletePath(kLocal, ".") || DeletePath(kLocal, "/") ||  // the named folder itself
               DeletePath(PString(".."), "outside") || PathExists(PString("local/../.."), ""));
  EXPECT_FALSE(RenamePath(kLocal, up, "stolen") || RenamePath(kLocal, "in", "..\\..\\moved"));
  EXPECT_FALSE(CopyFolderTree(kLocal, up, kLocal, "copy") ||
               CopyFolderTree(kLocal, "in", kLocal, "../../outside/in"));
  // Without a folder the path must lie strictly below the root, compared by whole components.
  EXPECT_FALSE(DeletePath(kNone, "") || DeletePath(kNone, Path(P("UserData2/x").c_str())) ||
               DeletePath(kNone, Path(user_.c_str())) ||
               DeletePath(kNone, Path((user_ + "/../outside").c_str())));
  EXPECT_EQ(List(""), (Names{"outside", "UserData", "UserData2"}));
  EXPECT_EQ(List("outside"), Names{"keep.txt"});
  EXPECT_EQ(List("UserData/local"), Names{"in"});
  EXPECT_TRUE(DeletePath(kNone, Path(P("userdata/LOCAL/in").c_str())));  // any case
  EXPECT_EQ(List("UserData/local"), Names{});
}

TEST_F(FileUtilTest, ThinBackupsKeepsOnlyTheNewestDatedFolders) {
  const Names others{"notes", "2011-03-01", "1-2-3", "11-03-01x", "09-13-01", "09-1-010"};
  for (const std::string& name : others) fs::create_directories(U("backups/" + name));
  for (const char* name : {"11-03-01", "10-12-31", "11-01-15"}) {
    fs::create_directories(U("backups/") + name);
  }
  Put("UserData/backups/10-12-31/content.txt");
  Put("UserData/backups/08-01-01", "a file is no backup folder");
  const std::string log = scratch::CaptureLog([] { ThinBackupsFolder(2); });
  Names expected = others;
  expected.insert({"11-03-01", "11-01-15", "08-01-01"});
  EXPECT_EQ(List("UserData/backups"), expected);
  EXPECT_NE(log.find("ThinBackupsFolder> Deleting backup folder '10-12-31'"), std::string::npos);
  ThinBackupsFolder(0);
  expected.erase("11-03-01");
  expected.erase("11-01-15");
  EXPECT_EQ(List("UserData/backups"), expected);
}

// A clock that ran ahead leaves folders dated after today: they are not old, so they neither go
// nor take the place of a day that is, and today's, which a change has just filled, stays.
TEST_F(FileUtilTest, ThinBackupsNeverDeletesTodaysFolder) {
  // The local date `ahead` days from today, at noon so that no change of the clock skips a day.
  const auto day = [](int ahead) {
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    local.tm_mday += ahead;
    local.tm_hour = 12;
    mktime(&local);
    char name[16];
    strftime(name, sizeof name, "%y-%m-%d", &local);
    return std::string(name);
  };
  TTimeDate now;
  now.SetToNow();
  const std::string today = BackupFolderName(now).CStr();
  ASSERT_EQ(today, day(0));
  const Names ahead{day(1), day(30), "98-01-01"};
  const struct {
    u32 keep;
    Names left;  // besides today's and those ahead
  } cases[] = {{5, {day(-1), day(-2), day(-3), day(-4)}}, {2, {day(-1)}}, {0, {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keep);
    fs::remove_all(U("backups"));
    for (int back = 1; back <= 4; ++back) fs::create_directories(U("backups/") + day(-back));
    for (const std::string& name : ahead) fs::create_directories(U("backups/") + name);
    Put("UserData/backups/" + today + "/local/a/config.txt");
    EXPECT_TRUE(ThinBackupsFolder(c.keep));
    Names expected = c.left;
    expected.insert(ahead.begin(), ahead.end());
    expected.insert(today);
    EXPECT_EQ(List("UserData/backups"), expected);
  }
}

TEST_F(FileUtilTest, CopyFileReportsEveryFailure) {
  std::string big(100000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + i / 251);
  Put("UserData/local/big.bin", big);
  Put("UserData/local/empty.bin");
  Put("UserData/local/old.bin", "old");
  ASSERT_TRUE(CopyFile(kLocal, "big.bin", kLocal, "new/folder/big.bin"));
  EXPECT_EQ(Read("UserData/local/new/folder/big.bin"), big);
  ASSERT_TRUE(CopyFile(kLocal, "empty.bin", kLocal, "old.bin"));
  EXPECT_EQ(Read("UserData/local/old.bin"), "");

  EXPECT_FALSE(CopyFile(kLocal, "missing", kLocal, "never") || fs::exists(U("local/never")));
  EXPECT_FALSE(CopyFile(kLocal, "new", kLocal, "dir-copy"));     // a folder does not open
  EXPECT_FALSE(CopyFile(kLocal, "big.bin", kLocal, "BIG.BIN"));  // the source itself
  EXPECT_EQ(Read("UserData/local/big.bin"), big);
  EXPECT_FALSE(CopyFile(kLocal, "big.bin", kNone, "/dev/full"));  // writes fail
  // This kind of file claims a size that its reads do not deliver.
  const char* short_read = "/sys/kernel/mm/transparent_hugepage/enabled";
  std::error_code error;
  if (fs::file_size(short_read, error) == 4096 && scratch::ReadAll(short_read).size() < 4096) {
    EXPECT_FALSE(CopyFile(kNone, short_read, kLocal, "short"));
  }
}

TEST_F(FileUtilTest, CopyFolderTree) {
  Put("UserData/local/src/a.txt", "a");
  Put("UserData/local/src/sub/b.txt", "b");
  fs::create_directories(U("local/src/sub/empty"));
  fs::create_directories(U("local/empty-dst"));
  Put("UserData/local/full-dst/old.txt", "old");
  ASSERT_TRUE(CopyFolderTree(kLocal, "src", PString("editing"), "dst"));
  EXPECT_EQ(Read("UserData/editing/dst/a.txt") + Read("UserData/editing/dst/sub/b.txt"), "ab");
  EXPECT_TRUE(fs::is_directory(U("editing/dst/sub/empty")));
  EXPECT_TRUE(CopyFolderTree(kLocal, "src", kLocal, "empty-dst"));
  EXPECT_EQ(Read("UserData/local/empty-dst/sub/b.txt"), "b");
  EXPECT_TRUE(CopyFolderTree(kLocal, "src/a.txt", kLocal, "single.txt"));

  EXPECT_FALSE(CopyFolderTree(kLocal, "src", kLocal, "full-dst"));
  EXPECT_EQ(List("UserData/local/full-dst"), Names{"old.txt"});
  EXPECT_FALSE(CopyFolderTree(kLocal, "src/a.txt", kLocal, "single.txt"));  // exists
  EXPECT_FALSE(CopyFolderTree(kLocal, "src", kLocal, "single.txt"));        // not a folder
  EXPECT_FALSE(CopyFolderTree(kLocal, "nothing", kLocal, "x"));

  // Never onto or into itself, however the destination is spelled.
  fs::create_directory_symlink(U("local/src"), U("local/alias"));
  for (const char* dst : {"src", "src/inner", "SRC/deeper/still", "alias/inner"}) {
    EXPECT_FALSE(CopyFolderTree(kLocal, "src", kLocal, dst)) << dst;
  }
  EXPECT_EQ(List("UserData/local/src"), (Names{"a.txt", "sub"}));
  EXPECT_TRUE(CopyFolderTree(kLocal, "src", kLocal, "src2"));  // only a shared name prefix
}

TEST_F(FileUtilTest, WalksDoNotFollowLinksToFolders) {
  Put("outside/secret/s.txt", "secret");
  fs::create_directories(P("outside/empty"));
  Put("UserData/local/src/a.txt", "a");
  fs::create_directories(U("local/onlylink"));
  fs::create_directory_symlink(P("outside/secret"), U("local/src/link"));
  fs::create_directory_symlink(P("outside/secret"), U("local/onlylink/link"));
  fs::create_directory_symlink(P("outside/secret"), U("local/toplink"));
  fs::create_directory_symlink(P("outside/empty"), U("local/emptylink"));

  EXPECT_FALSE(FolderContainsFile(kLocal, "onlylink") || FolderContainsFile(kLocal, "toplink"));
  EXPECT_FALSE(IsFolderEmpty(kLocal, "onlylink") || IsFolderEmpty(kLocal, "emptylink"));
  // The link's contents are not copied, so the copy is incomplete; the rest still arrives.
  EXPECT_FALSE(CopyFolderTree(kLocal, "src", kLocal, "dst"));
  EXPECT_EQ(List("UserData/local/dst"), Names{"a.txt"});
  EXPECT_FALSE(CopyFolderTree(kLocal, "toplink", kLocal, "dst2") || fs::exists(U("local/dst2")));
  EXPECT_TRUE(DeletePath(kLocal, "src"));  // removes the link, not its target
  EXPECT_EQ(Read("outside/secret/s.txt"), "secret");
  fs::create_symlink(P("outside/keep.txt"), U("local/onlylink/file-link"));
  EXPECT_TRUE(FolderContainsFile(kLocal, "onlylink"));  // a link to a file is a file
}

TEST_F(FileUtilTest, TemporaryFilePaths) {
  const std::string folder = P("tmp/nested");
  ASSERT_TRUE(SetTemporaryFolder(folder.c_str()));
  Path first;
  ASSERT_TRUE(CreateTemporaryFilePath(kNone, first));
  // "temp-", 8 of [0-9a-z], the counter, ".tmp"
  const fs::path made(first.CStr());
  EXPECT_EQ(made.parent_path().string(), folder);
  const std::string file = made.filename().string();
  ASSERT_TRUE(file.size() > 17 && file.starts_with("temp-") && file.ends_with(".tmp")) << file;
  const long counter = std::stol(file.substr(13, file.size() - 17));

  // With the shared generator seeded, the next 100 names are known: occupy them all.
  Qel::SingleLock lock(SecondRandomLock());
  SecondRandom().Seed(4242);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = folder + "/temp-";
    for (int k = 0; k < 8; ++k) {
      const int r = SecondRandom().NextInt(0, 35);
      name += r < 10 ? char('0' + r) : char('a' + r - 10);
    }
    std::ofstream(name + std::to_string(counter + 1) + ".tmp") << "taken";
  }
  SecondRandom().Seed(4242);
  Path out;
  EXPECT_FALSE(CreateTemporaryFilePath(kNone, out));
  SecondRandom().Randomize();
  EXPECT_TRUE(CreateTemporaryFilePath(kNone, out));  // the counter moved on

  SetTemporaryFolder(nullptr);
  SetUserDataRoot(nullptr);
  EXPECT_FALSE(CreateTemporaryFilePath(kNone, out));
}

}  // namespace
