// Keyword backup and import between two installations, searched through the client linked into
// the test, and the install of a folder tree.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
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

std::string Contents(const std::string& path) {
  std::stringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

// A keyword backup named after a file the installation runs on, by any spelling or through a
// link, is refused before anything is written: the tool, the daemon and its store go on working.
TEST(KeywordsAndFolders, ABackupNeverReplacesAFileOfTheInstallation) {
  InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
  ASSERT_TRUE(root.IsReady());
  AddAssets(root, "keywords");
  ASSERT_EQ(root.Run({"backupkeywords"}).exitCode, 0);
  namespace fs = std::filesystem;
  fs::create_symlink("KestroUtil", root.Bin() + "/tool-link");
  fs::create_hard_link(root.Root() + "/UserData/assets.tdx", root.Root() + "/assets-copy");
  const struct {
    std::string name;  // relative to bin/
    std::string file;  // the file it names, relative to the root; empty: none yet
  } cases[] = {{"KestroUtil", "bin/KestroUtil"},
               {"kestroutil", "bin/KestroUtil"},
               {"tool-link", "bin/KestroUtil"},
               {"PymDaemon", "bin/PymDaemon"},
               {"libkestrodxtcodec.so", "bin/libkestrodxtcodec.so"},
               {"../UserData/settings.tdx", "UserData/settings.tdx"},
               {"../UserData/assets.tdx", "UserData/assets.tdx"},
               {"../assets-copy", "UserData/assets.tdx"},
               {"../UserData/assets.tdx.lock", "UserData/assets.tdx.lock"},
               {"../UserData/pymdaemon.log", "UserData/pymdaemon.log"},
               {"../UserData/assets.tdx-journal", ""}};
  for (const auto& c : cases) {
    const std::string file = root.Root() + "/" + c.file;
    ASSERT_TRUE(c.file.empty() || fs::exists(file)) << c.file;
    const std::string before = c.file.empty() ? "" : Contents(file);
    const ToolRun run = root.Run({"backupkeywords", c.name});
    EXPECT_EQ(run.out, "- <NULL> : Not written: " + root.Bin() + "/" + c.name +
                           " is a file of the installation itself; name another keyword "
                           "backup.\nOK (1 Errors, 0 Warnings)\n")
        << c.name;
    EXPECT_EQ(run.exitCode, 255) << c.name;
    if (c.file.empty()) {
      EXPECT_FALSE(fs::exists(root.Bin() + "/" + c.name)) << c.name;
    } else {
      EXPECT_TRUE(Contents(file) == before) << c.name;
    }
  }
  // Still the tool, still the database: a backup beside them is written as before.
  const ToolRun after = root.Run({"backupkeywords", "../UserData/keywords.dat"});
  EXPECT_EQ(after.exitCode, 0) << after.out;
  EXPECT_NE(Contents(root.Root() + "/UserData/keywords.dat").find("\"diesel;old\""),
            std::string::npos);
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
// nor is exported beside it: it is refused, as in a package. A '\' in the second's name is an
// ordinary character of it. A copy below a hidden folder (a stick's trash), though listed first,
// never wins over the visible one: it is passed over with a warning.
TEST(KeywordsAndFolders, TheSecondFolderOfAKuidInATreeIsRefused) {
  const std::pair<std::string, std::string> cases[] = {{"installfrompath", "y"},
                                                       {"vnyparsefolder", "y"},
                                                       {"installfrompath", "y\\b"},
                                                       {"vnyparsefolder", "y\\b"},
                                                       {"installfrompath", ".Trash-1000/files/x"},
                                                       {"vnyparsefolder", ".Trash-1000/files/x"}};
  for (const auto& [command, second] : cases) {
    SCOPED_TRACE(command + " " + second);
    InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
    ASSERT_TRUE(root.IsReady());
    const std::string config = "kuid <kuid:400700:50>\nkind \"scenery\"\nusername \"";
    root.WriteFile("tree/x/config.txt", config + "x\"\n");
    root.WriteFile("tree/" + second + "/config.txt", config + "y\"\n");
    const ToolRun run = root.Run({command, "tree"});
    const bool exported = command == "vnyparsefolder", hidden = second[0] == '.';
    const std::string tree = root.Root() + "/tree/",
                      refusal = (hidden ? "! " : "- ") + std::string("<kuid:400700:50> : ") +
                                "Not installed: " + tree + second +
                                (hidden ? ": a hidden copy of the asset in "
                                        : ": the asset is listed twice, first in ") +
                                tree + "x.\n";
    EXPECT_EQ(run.out,
              (exported ? refusal + "; <NULL> : Exported 1 assets into " + root.Root() +
                              "/Kestro Asset Parse\n"
                        : "+ <kuid:400700:50> : Installed asset <kuid:400700:50>.\n" + refusal) +
                  (hidden ? "OK (0 Errors, 1 Warnings)\n" : "OK (1 Errors, 0 Warnings)\n"));
    // Each command's own rule: installfrompath fails only when it installed nothing.
    EXPECT_EQ(run.exitCode, exported && !hidden ? 255 : 0);
    if (!exported) {
      EXPECT_NE(root.Run({"printconfig", "<kuid:400700:50>"}).out.find("\"x\""), std::string::npos);
    }
  }
}

// A walk takes each folder by its name, '*', '?' and a leading '.' included, so the asset folders
// below such a folder are installed and exported like any other; a path that names anything but a
// folder, or that cannot be looked at or listed, is a counted error that says so (and why), and
// names the folder to give for an asset's configuration. An asset folder whose configuration is a
// folder is refused by name by both commands.
TEST(KeywordsAndFolders, FoldersAreWalkedByTheirNamesAndAPathToAnythingElseIsRefused) {
  InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
  ASSERT_TRUE(root.IsReady());
  const std::string r = root.Root();
  int content = 0;
  for (const std::string tree : {"t1", "t2", "t3"}) {
    for (const char* folder : {"/w*d/a", "/q?/b", "/*/c", "/.h/d"}) {
      root.WriteFile(tree + folder + "/config.txt",
                     "kuid <kuid:400210:" + std::to_string(++content) + ">\nkind \"scenery\"\n");
    }
  }
  root.WriteFile("plain.txt", "");
  // An asset folder whose configuration is a folder; a folder that cannot be listed.
  std::filesystem::create_directories(r + "/odd/a/config.txt");
  std::filesystem::create_directories(r + "/closed/e");
  ASSERT_EQ(chmod((r + "/closed").c_str(), 0), 0);
  ASSERT_EQ(mkfifo((r + "/pipe").c_str(), 0600), 0);
  ASSERT_EQ(symlink("loop", (r + "/loop").c_str()), 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT((r + "/socket").size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, (r + "/socket").c_str());
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const auto refused = [](const std::string& why) {
    return "- <NULL> : Invalid input path: " + why + "\nOK (1 Errors, 0 Warnings)\n";
  };
  const std::string notFile =
      "PymDaemon: not installed: " + r + "/odd/a/config.txt is a folder, not a file\n";
  const struct {
    std::string command, given, out;
    size_t installed;
  } cases[] = {
      {"installfrompath", "t1", "OK (0 Errors", 4},
      {"vnyparsefolder", "t2", "Exported 4 assets", 0},
      {"installfrompath", "t3/w*d", "OK (0 Errors", 1},  // the folder given is a name too
      {"installfrompath", "plain.txt", refused(r + "/plain.txt is not a folder."), 0},
      {"installfrompath", "pipe", refused(r + "/pipe is not a folder."), 0},
      {"vnyparsefolder", "pipe", refused(r + "/pipe is not a folder."), 0},
      {"installfrompath", "loop/x", refused(r + "/loop/x: Too many levels of symbolic links."), 0},
      {"installfrompath", "socket", refused(r + "/socket is not a folder."), 0},
      {"installfrompath", "/dev/null", refused("/dev/null is not a folder."), 0},
      {"installfrompath", "t1/q?/b/config.txt",
       refused(r + "/t1/q?/b/config.txt is not a folder; give the folder that holds it, " + r +
               "/t1/q?/b."),
       0},
      {"installfrompath", "odd", "- <NULL> : " + notFile + "OK (1 Errors, 0 Warnings)\n", 0},
      {"vnyparsefolder", "odd",
       "- <NULL> : Failed to install asset from: " + r + "/odd/a: " + notFile +
           "; <NULL> : Exported 0 assets into " + r + "/Kestro Asset Parse\nOK (1 Errors",
       0},
      {"vnyparsefolder", "closed", refused(r + "/closed: Permission denied."), 0},
      {"installfrompath", "closed", refused(r + "/closed: Permission denied."), 0},
  };
  for (const auto& c : cases) {
    // Root reads any folder: the run that meets the closed one is without that power.
    const ToolRun run =
        c.given == "closed" && geteuid() == 0
            ? root.RunProgram("/usr/bin/setpriv", {"--bounding-set=-dac_override,-dac_read_search",
                                                   root.Bin() + "/KestroUtil", c.command, c.given})
            : root.Run({c.command, c.given});
    size_t installed = 0;
    for (size_t at = 0; (at = run.out.find(" : Installed asset ", at)) != std::string::npos; ++at) {
      ++installed;
    }
    EXPECT_EQ(installed, c.installed) << c.given << "\n" << run.out;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << c.given << "\n" << run.out;
    EXPECT_EQ(run.exitCode, c.out.find("OK (1") == std::string::npos ? 0 : 255) << c.given;
  }
  chmod((r + "/closed").c_str(), 0700);
  ::close(listener);
}
}  // namespace
