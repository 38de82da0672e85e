// Keyword backup and import between two installations, searched through the client linked into
// the test, and the install of a folder tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/app_globals.h"
#include "core/networking.h"
#include "pymclient/filter_builders.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_client.h"
#include "pymclient/pym_connection.h"
#include "pymclient/pym_search.h"
#include "support/install_root.h"

namespace {

using kestro_test::InstallRoot;
using kestro_test::ToolRun;
constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";
const char* const kAssets[][2] = {
    {"steam", "<kuid:400100:1>"}, {"diesel", "<kuid2:400100:2:3>"}, {"barn", "<kuid:400100:3>"}};

void AddAssets(const InstallRoot& root, const char* keywordsTag) {
  for (const auto& [folder, kuid] : kAssets) {
    root.WriteFile(std::string("UserData/local/") + folder + "/config.txt",
                   std::string("kuid ") + kuid + "\nkind \"scenery\"\n" +
                       (keywordsTag ? std::string("keywords \"") + folder + ";old\"\n" : ""));
  }
}

std::vector<KUID> FindKeyword(const char* word) {
  auto filter = filter_builders::Str(PymFilterCodes::kStringKeywordList, word);
  std::vector<KUID> found;
  EXPECT_TRUE(PymSearchAssets(filter.get(), found)) << word;
  return found;
}

TEST(KeywordsAndFolders, KeywordsTravelByHandEditedFileAndOutliveARebuild) {
  InstallRoot old(KESTRO_BINARY_DIR, kDataDir), fresh(KESTRO_BINARY_DIR, kDataDir);
  ASSERT_TRUE(old.IsReady() && fresh.IsReady());
  AddAssets(old, "keywords");
  AddAssets(fresh, nullptr);
  const ToolRun backedUp = old.Run({"backupkeywords"});
  ASSERT_EQ(backedUp.exitCode, 0);
  EXPECT_EQ(backedUp.out, "; <NULL> : Backed up the keywords of 3 assets into " + old.Bin() +
                              "/KeywordsBackup.dat\nOK (0 Errors, 0 Warnings)\n");
  std::stringstream backup;
  backup << std::ifstream(old.Bin() + "/KeywordsBackup.dat").rdbuf();
  for (const char* text : {"<kuid2:400100:2:3>", "\"diesel;old\"", "<kuid:400100:3>"}) {
    EXPECT_NE(backup.str().find(text), std::string::npos) << backup.str();
  }
  const ToolRun none = old.Run({"importkeywords"});
  EXPECT_EQ(none.out, "- <NULL> : Cannot read the keyword file " + old.Root() +
                          "/KeywordsDump.dat.\nOK (1 Errors, 0 Warnings)\n");
  EXPECT_EQ(none.exitCode, 255);
  const ToolRun unwritten = old.Run({"backupkeywords", "nowhere/Backup.dat"});
  EXPECT_EQ(unwritten.out, "- <NULL> : Failed to write the keyword backup " + old.Bin() +
                               "/nowhere/Backup.dat.\nOK (1 Errors, 0 Warnings)\n");
  EXPECT_EQ(unwritten.exitCode, 255);

  fresh.WriteFile("KeywordsDump.dat",
                  "KUID:400100:1 \"steam;express\"\nkuid2:400100:2:3 \"diesel;freight\"\n"
                  "400100:3 farm\nKUID:9:9 lost\nnonsense dropped\n");
  // Each entry the database could not store is named by its tag, which reads in lower case; the
  // count is of those it did store.
  const ToolRun imported = fresh.Run({"importkeywords"});
  EXPECT_EQ(imported.out,
            "! <NULL> : Not stored: kuid:9:9 is no asset of the database.\n"
            "! <NULL> : Not stored: nonsense is no asset of the database.\n"
            "; <NULL> : Imported the keywords of 3 assets from " +
                fresh.Root() + "/KeywordsDump.dat\nOK (0 Errors, 2 Warnings)\n");
  ASSERT_EQ(imported.exitCode, 0);
  SetMainThread();
  InitNetworking();
  ASSERT_TRUE(InitInstallPaths(Qel::File::Path(fresh.Root().c_str())));
  for (int start = 0; start < 2; ++start) {
    ASSERT_TRUE(PymOpenDatabase(PymClientOptions()));
    EXPECT_EQ(FindKeyword("freight"), std::vector<KUID>{KUID(400100, 2, 3)});
    EXPECT_EQ(FindKeyword("farm"), std::vector<KUID>{KUID(400100, 3, 0)});
    EXPECT_EQ(FindKeyword("EXPRESS"), std::vector<KUID>{KUID(400100, 1, 0)});
    // A new asset folder while the daemon is stopped makes the next start rebuild its index.
    EXPECT_TRUE(PymCloseDaemon());
    PymCloseDatabase();
    // A daemon started while the old one still holds the store would give way to it.
    for (int wait = 0; !fresh.DaemonPids().empty() && wait < 3000; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fresh.WriteFile("UserData/local/shed/config.txt", "kuid <kuid:400100:4>\nkind \"scenery\"\n");
  }
  PymDisconnect(true);
  ClearInstallPaths();
}

TEST(KeywordsAndFolders, InstallFromPathInstallsEachAssetFolderOnceAndSkipsLinks) {
  InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
  ASSERT_TRUE(root.IsReady());
  const char* const configs[][2] = {{"tree/a", "<kuid:400200:1>"},
                                    {"tree/a/inner", "<kuid:400200:9>"},
                                    {"tree/deep/er/b", "<kuid:400200:2>"},
                                    {"tree/deep/c", "<kuid:400200:3>"},
                                    {"outside/d", "<kuid:400200:4>"}};
  for (const auto& [folder, kuid] : configs) {
    root.WriteFile(std::string(folder) + "/config.txt", std::string("kuid ") + kuid + "\n");
  }
  namespace fs = std::filesystem;
  fs::create_directory_symlink("../..", root.Root() + "/tree/deep/er/loop");
  fs::create_directory_symlink(root.Root() + "/outside/d", root.Root() + "/tree/d");
  const ToolRun run = root.Run({"installfrompath", "tree"});
  EXPECT_EQ(run.exitCode, 0) << run.out;
  size_t installed = 0;
  for (size_t at = 0; (at = run.out.find("Installed asset", at)) != std::string::npos; ++at) {
    ++installed;
  }
  EXPECT_EQ(installed, 3u) << run.out;
  EXPECT_EQ(run.out.find("400200:4"), std::string::npos) << run.out;
  EXPECT_EQ(root.Run({"installfrompath", "nowhere"}).out,
            "- <NULL> : Invalid input path: " + root.Root() +
                "/nowhere does not exist.\nOK (1 Errors, 0 Warnings)\n");
  // A tree whose every asset folder the daemon refuses installed nothing: no success.
  root.WriteFile("refused/e/config.txt", "username \"no kuid\"\n");
  const ToolRun refused = root.Run({"installfrompath", "refused"});
  EXPECT_NE(refused.out.find("not installed"), std::string::npos) << refused.out;
  EXPECT_EQ(refused.exitCode, 255) << refused.out;
}

// Of two folders of one KUID in a tree, the second in the walk's order neither replaces the first
// nor is exported beside it: it is refused, as in a package.
TEST(KeywordsAndFolders, TheSecondFolderOfAKuidInATreeIsRefused) {
  for (const std::string command : {"installfrompath", "vnyparsefolder"}) {
    InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
    ASSERT_TRUE(root.IsReady());
    const std::string config = "kuid <kuid:400700:50>\nkind \"scenery\"\nusername \"";
    root.WriteFile("tree/x/config.txt", config + "x\"\n");
    root.WriteFile("tree/y/config.txt", config + "y\"\n");
    const ToolRun run = root.Run({command, "tree"});
    const bool exported = command == "vnyparsefolder";
    const std::string tree = root.Root() + "/tree/",
                      refusal = "- <kuid:400700:50> : Not installed: " + tree +
                                "y: the asset is listed twice, first in " + tree + "x.\n";
    EXPECT_EQ(run.out,
              (exported ? refusal + "; <NULL> : Exported 1 assets into " + root.Root() +
                              "/Kestro Asset Parse\n"
                        : "+ <kuid:400700:50> : Installed asset <kuid:400700:50>.\n" + refusal) +
                  "OK (1 Errors, 0 Warnings)\n");
    // Each command's own rule: installfrompath fails only when it installed nothing.
    EXPECT_EQ(run.exitCode, exported ? 255 : 0);
  }
}

}  // namespace
