#include "pymclient/install_paths.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "pymclient/resource_db_cache.h"
#include "qel/file.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;
using Qel::File;
using Qel::PString;

void Touch(const fs::path& file) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << "x";
}

// A fresh installation root whose name has upper-case letters, which the layout keeps.
class InstallPathsTest : public testing::Test {
 protected:
  // A death test's child runs the test again from its start and ends without destructors: it
  // works in its parent's folder, named here, rather than leaving a folder of its own behind.
  static constexpr const char* kParentFolder = "KESTRO_DEATH_TEST_FOLDER";

  void SetUp() override {
    if (const char* parent = std::getenv(kParentFolder)) {
      temp_ = parent;
    } else {
      scratch_ = std::make_unique<scratch::Folder>();
      temp_ = scratch_->path();
    }
    disk_ = temp_ / "Rail";
    fs::create_directories(disk_);
    root_ = disk_.string();
    userData_ = root_ + "/UserData";
  }
  void TearDown() override {
    ReleaseContentDatabases();
    EvictUnusedResourceDatabases();
    ClearInstallPaths();
  }
  void Init() { ASSERT_TRUE(InitInstallPaths((disk_.string() + "/").c_str())); }

  std::unique_ptr<scratch::Folder> scratch_;
  fs::path temp_;
  fs::path disk_;
  std::string root_;
  std::string userData_;
};

TEST_F(InstallPathsTest, InitNormalisesTheRootAndDerivesEveryPathAndContentFolder) {
  Init();
  const std::pair<File::Path, std::string> cases[] = {
      {GetInstallPath(), root_},
      {GetPymDaemonPath(), root_ + "/bin/PymDaemon"},
      {GetDatabasePath(), userData_ + "/assets.tdx"},
      {GetScriptCachePath(KUID(12, 34, 5)), userData_ + "/cache/libraries/kuid2 12 34 5"},
      {GetScriptCachePath(kNullKUID), userData_ + "/cache/libraries/NULLKUID"},
      {GetUserDataFolder("settings"), userData_ + "/settings"},
      {GetUserDataFolder("Data"), root_ + "/Data"},
      {GetUserDataFolder("builtin\\1"), root_ + "/builtin/1"},
      // The core file utilities work in the same layout.
      {GetTemporaryFolder(), userData_ + "/temp"},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(path.GetText().Std(), expected);
  EXPECT_TRUE(fs::is_directory(disk_ / "UserData" / "cache" / "libraries"));
  // The write test leaves nothing behind.
  EXPECT_TRUE(fs::is_empty(disk_ / "UserData" / "temp"));

  const struct {
    std::string path;
    bool ok;
    const char* name;
    const char* rest;
  } folders[] = {
      {disk_.string() + "/UserData/Local/Kuid 1 2/config.txt", true, "local",
       "kuid 1 2/config.txt"},
      {userData_, false, "", ""},
      {root_ + "/builtin/1/Tex/a.tga", true, "builtin\\1", "tex/a.tga"},
      {root_ + "/builtin", false, "", ""},
      {root_ + "/Base/kuid 3 4", true, "base", "kuid 3 4"},
      {root_ + "/bin/x", false, "", ""},
      {root_ + "/UserData2/local/x", false, "", ""},
  };
  for (const auto& c : folders) {
    File::Path given(c.path.c_str());
    PString folder;
    EXPECT_EQ(GetContentFolderName(given, folder), c.ok) << c.path;
    EXPECT_STREQ(folder.CStr(), c.name) << c.path;
    EXPECT_EQ(given.GetText().Std(), c.rest) << c.path;
  }
  File::Path anything("/anything");
  PString editing("editing");
  EXPECT_TRUE(GetContentFolderName(anything, editing));
  EXPECT_EQ(anything.GetText().Std(), "/anything");

  for (const auto& [path, in] : {std::pair<std::string, bool>{userData_, true},
                                 {disk_.string() + "/USERDATA/libraries/x.gs", true},
                                 {root_ + "/UserData2/x", false},
                                 {userData_ + "/../bin", false}}) {
    EXPECT_EQ(IsPathInUserData(path.c_str()), in) << path;
  }

  // Nothing is known while the root is unset.
  ClearInstallPaths();
  EXPECT_TRUE(GetDatabasePath().IsEmpty());
  EXPECT_TRUE(GetUserDataFolder("Data").IsEmpty());
  EXPECT_FALSE(IsPathInUserData((userData_ + "/local").c_str()));
  File::Path path((userData_ + "/local/a").c_str());
  PString name("local");
  EXPECT_FALSE(GetContentFolderName(path, name));
  EXPECT_TRUE(path.IsEmpty() && name.IsEmpty());
  CreateUserDataFolders();
  EXPECT_FALSE(File::LookupSubst("scripts", nullptr, nullptr));
}

TEST(GetRelativePathUnderTest, ComparesWholeNormalisedComponents) {
  const struct {
    const char* root;
    const char* path;
    bool ok;
    const char* relative;
  } cases[] = {
      {"", "/a", false, ""},
      {"/a/b/", "/A/B", true, ""},
      {"/a/b", "/A/B/C/D.txt", true, "c/d.txt"},
      {"/a/b", "/a/bc/d", false, ""},
      {"/", "/x/y", true, "x/y"},
      {"D:/Games/Rail/", "d:\\games\\rail\\bin", true, "bin"},
      {"/a/b", "/a/b/../c", false, ""},
      {"/a/b", "/a/b//c/./d/", true, "c/d"},
  };
  for (const auto& c : cases) {
    File::Path relative("stale");
    EXPECT_EQ(GetRelativePathUnder(c.root, c.path, relative), c.ok) << c.path;
    EXPECT_EQ(relative.GetText().Std(), c.relative) << c.path;
  }
}

TEST_F(InstallPathsTest, CreateUserDataFoldersLaysOutTheTree) {
  Touch(disk_ / "UserData" / "trash" / "old.txt");
  Touch(disk_ / "prebuilt" / "settings" / "sub" / "seed.txt");
  Init();
  CreateUserDataFolders();
  CreateUserDataFolders();  // keeps one use per database

  const fs::path userData = disk_ / "UserData";
  for (const char* folder : {"cache/bookmarks", "original", "local", "editing"}) {
    EXPECT_TRUE(fs::is_directory(userData / folder)) << folder;
  }
  EXPECT_TRUE(fs::exists(userData / "backups" / "old.txt"));
  EXPECT_FALSE(fs::exists(userData / "trash"));
  EXPECT_TRUE(fs::exists(userData / "settings" / "sub" / "seed.txt"));

  for (const auto& [name, target] :
       {std::pair<const char*, std::string>{"scripts", root_ + "/scripts/"},
        {"local", userData_ + "/local/"}}) {
    Qel::String found;
    EXPECT_TRUE(File::LookupSubst(name, &found, nullptr)) << name;
    EXPECT_EQ(found.Std(), target);
  }
  KestroResourceDatabase* local = AcquireResourceDatabase("local", File::Path());
  EXPECT_EQ(GetResourceDatabaseUseCount(local), 2u);
  ReleaseResourceDatabase(local);

  ReleaseContentDatabases();
  EXPECT_EQ(GetResourceDatabaseUseCount(local), 0u);
  EXPECT_FALSE(File::LookupSubst("scripts", nullptr, nullptr));
}

using InstallPathsDeathTest = InstallPathsTest;

// A missing root cannot be; a UserData folder that takes no files is the user's to mend, so the
// caller gets the reason and both roots are unset.
TEST_F(InstallPathsDeathTest, MissingRootIsFatalAndUnwritableUserDataIsRefused) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  setenv(kParentFolder, temp_.c_str(), 1);
  EXPECT_EXIT(InitInstallPaths(File::Path()), testing::ExitedWithCode(1),
              "Error: Unable to determine application installation path\\.");
  const std::string refused = "Unable to acquire write access to the UserData folder ";
  // A drive form names nothing here, whatever root was in force before.
  Init();
  std::string why;
  EXPECT_FALSE(InitInstallPaths("D:/Games/Rail/", &why));
  EXPECT_EQ(why.rfind(refused, 0), 0u) << why;
  EXPECT_TRUE(GetInstallPath().IsEmpty());
  // A file where the UserData folder belongs: nothing can be written below it, even as root.
  Touch(temp_ / "Other" / "UserData");
  EXPECT_FALSE(InitInstallPaths((temp_ / "Other").c_str(), &why));
  EXPECT_EQ(why, refused + (temp_ / "Other" / "UserData").string() + ": not a folder");
  unsetenv(kParentFolder);
}

}  // namespace
