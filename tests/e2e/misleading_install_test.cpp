// Packages and folders made to mislead an install: a shipped configuration that would stand in
// for the declared one, trees deeper than the daemon handles, entries that are no files, and an
// installed asset replaced from a folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "assetdata/cdp_extract.h"
#include "assetdata/cdp_package.h"
#include "assetdata/safe_folder.h"
#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "platform/byte_order.h"
#include "support/install_root.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;
using kestro_test::InstallRoot;
using kestro_test::ToolRun;

constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";

KUID Kuid(const std::string& text) { return KUID::Parse(text.c_str(), true); }

// An asset's configuration: KUID, kind and name, and a dependency when one is given.
Soup Config(const std::string& kuid, const char* name, const char* dependency = nullptr) {
  Soup config;
  config.EnsureContainer();
  config.SetNamedKUID(Qel::PString("kuid"), Kuid(kuid));
  config.SetNamedTag(Qel::PString("kind"), Qel::PString("scenery"));
  config.SetNamedTag(Qel::PString("username"), Qel::PString(name));
  if (dependency != nullptr) {
    Soup table;
    table.EnsureContainer();
    table.SetNamedKUID(Qel::PString("0"), Kuid(dependency));
    config.SetNamedSoup(Qel::PString("kuid-table"), table);
  }
  return config;
}

// A relative path of `depth` nested folders.
std::string Nested(int depth) {
  std::string path;
  for (int i = 0; i < depth; ++i) path += (i == 0 ? "" : "/") + std::string("d");
  return path;
}

class MisleadingInstall : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = std::make_unique<InstallRoot>(KESTRO_BINARY_DIR, kDataDir);
  }
  static void TearDownTestSuite() { root_.reset(); }
  void SetUp() override { ASSERT_TRUE(root_->IsReady()) << root_->Error(); }

  static std::string Installed(const std::string& kuid) {
    const KUID k = Kuid(kuid);
    return root_->Root() + "/UserData/local/kuid " + std::to_string(k.userId) + " " +
           std::to_string(k.contentId) + " " + std::to_string(k.version);
  }
  // A package of one asset whose files are `files` (path below the asset, bytes).
  static std::string Package(const std::string& name, Soup asset,
                             const std::vector<std::pair<std::string, std::string>>& files) {
    Soup content;
    content.EnsureContainer();
    for (const auto& [path, bytes] : files) {
      MPRef<ACSChunk> node = content.GetRoot();
      size_t start = 0;
      for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
        const Qel::PString folder(path.substr(start, slash - start).c_str());
        MPRef<ACSChunk> inner = node->GetChild(folder);
        if (!ACSChunk::IsPresent(inner.Get())) {
          inner = node->CreateTag(kKindContainer, nullptr);
          node->AddChild(folder, inner);
        }
        node = inner;
      }
      node->AddChild(
          Qel::PString(path.substr(start).c_str()),
          node->CreateTag(kKindRaw, ACSRawDataCore::CreateCopy(bytes.data(), u32(bytes.size()))));
    }
    asset.SetNamedSoup(kTagFiles, content);
    Soup package;
    EXPECT_EQ(AddArchivedAsset(package, asset), Qel::PString());
    const std::string path = root_->Root() + "/" + name + ".cdp";
    EXPECT_EQ(SaveContentPackage(package, path.c_str()), Qel::PString());
    return path;
  }
  static bool StagingIsEmpty() {
    const std::string staging = root_->Root() + "/UserData/staging";
    return !fs::exists(staging) || fs::is_empty(staging);
  }

  static std::unique_ptr<InstallRoot> root_;
};
std::unique_ptr<InstallRoot> MisleadingInstall::root_;

// A configuration file shipped among the files would be read before the declared one: its name
// and dependency would be the asset's. Every install path leaves it out.
TEST_F(MisleadingInstall, AShippedConfigurationNeverStandsInForTheDeclaredOne) {
  Soup hidden = Config("<kuid:400800:1>", "Hidden", "<kuid:400300:1>");
  const std::string chump = root_->Root() + "/hidden.chump";
  ASSERT_TRUE(hidden.SaveFile("", chump.c_str(), nullptr));
  const std::string hiddenBytes = scratch::ReadAll(chump);
  const struct {
    const char* kuid;
    const char* via;
  } cases[] = {{"<kuid:400800:1>", "installcdp"}, {"<kuid:400800:2>", "installfrompath"}};
  for (const auto& c : cases) {
    std::string source;
    if (std::string(c.via) == "installcdp") {
      source = Package("shipped", Config(c.kuid, "Declared"),
                       {{"Config.CHUMP", hiddenBytes}, {"config.chump", hiddenBytes}});
    } else {
      source = root_->Root() + "/shipped";
      Soup declared = Config(c.kuid, "Declared");
      fs::create_directories(source);
      ASSERT_TRUE(declared.SaveFile("", (source + "/config.txt").c_str(), nullptr));
      root_->WriteFile("shipped/CONFIG.Chump", hiddenBytes);
    }
    const ToolRun r = root_->Run({c.via, source});
    EXPECT_EQ(r.exitCode, 0) << c.via << r.out;
    EXPECT_EQ(r.out.find("Hidden"), std::string::npos) << c.via << r.out;
    ASSERT_TRUE(fs::is_directory(Installed(c.kuid))) << c.via << r.out;
    for (const auto& e : fs::directory_iterator(Installed(c.kuid))) {
      EXPECT_EQ(e.path().filename(), "config.txt") << c.via;
    }
    const ToolRun config = root_->Run({"printconfig", c.kuid});
    EXPECT_NE(config.out.find("Declared"), std::string::npos) << c.via << config.out;
    EXPECT_EQ(config.out.find("400300"), std::string::npos) << c.via << config.out;
    fs::remove_all(source);
  }
}

// One depth limit serves every path: deeper trees are refused whole at install (and by the
// commands that install to inspect or export), naming the asset and the limit; a tree at the
// limit installs, and its reinstall leaves nothing in staging.
TEST_F(MisleadingInstall, FoldersDeeperThanTheLimitAreRefusedAtInstall) {
  const struct {
    int depth;
    const char* via;
    bool installs;
  } cases[] = {{64, "installcdp", true},       {70, "installcdp", false},
               {200, "installcdp", false},     {64, "installfrompath", true},
               {70, "installfrompath", false}, {200, "installfrompath", false},
               {70, "vnyparse", false},        {70, "vnyparsefolder", false}};
  u32 content = 10;
  for (const auto& c : cases) {
    const std::string via = c.via;
    const std::string kuid = "<kuid:400800:" + std::to_string(++content) + ">";
    const std::string file = Nested(c.depth) + "/bottom.txt";
    std::string source;
    std::string refusal = "- " + kuid + " : PymDaemon: not installed: ";
    if (via == "installcdp" || via == "vnyparse") {
      source = Package("deep", Config(kuid, "Deep"), {{file, "x"}});
      if (via == "vnyparse") refusal = "- " + kuid + " : Unable to write the files of asset ";
    } else {
      // vnyparsefolder takes the folder that holds asset folders.
      const std::string folder = via == "vnyparsefolder" ? "deeptree/deep" : "deep";
      source = root_->Root() + "/" + folder.substr(0, folder.find('/'));
      root_->WriteFile(folder + "/" + file, "x");
      ASSERT_TRUE(
          Config(kuid, "Deep")
              .SaveFile("", (root_->Root() + "/" + folder + "/config.txt").c_str(), nullptr));
      if (via == "vnyparsefolder") refusal = "- " + kuid + " : Failed to install asset from: ";
    }
    for (int round = 0; round < (c.installs ? 2 : 1); ++round) {
      const ToolRun r = root_->Run({c.via, source});
      if (c.installs) {
        EXPECT_EQ(r.exitCode, 0) << c.via << c.depth << r.out;
        EXPECT_TRUE(fs::exists(Installed(kuid) + "/" + file)) << c.via << c.depth;
      } else {
        EXPECT_EQ(r.exitCode, 255) << c.via << c.depth << r.out;
        EXPECT_NE(r.out.find(refusal), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("folders nested deeper than 64 levels"), std::string::npos) << r.out;
        EXPECT_FALSE(fs::exists(Installed(kuid))) << c.via << c.depth;
      }
      EXPECT_TRUE(StagingIsEmpty()) << c.via << c.depth;
    }
    fs::remove_all(source);
  }
}

// Entries that are no file or folder are left out with a warning each, named as below the
// folder; a link given as the folder (to one asset or to a tree of them) or as its configuration
// is refused by the user's path.
TEST_F(MisleadingInstall, InstallFromPathWarnsOfWhatItLeavesOut) {
  const std::string folder = root_->Root() + "/odd";
  root_->WriteFile("odd/config.txt", "kuid <kuid:400800:100>\nkind \"scenery\"\n");
  root_->WriteFile("odd/sub/plain.txt", "plain");
  ASSERT_EQ(mkfifo((folder + "/sub/pipe.txt").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", folder + "/zero.txt");
  fs::create_symlink(folder + "/sub/plain.txt", folder + "/again.txt");
  ToolRun r = root_->Run({"installfrompath", folder});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(r.out,
            "! <kuid:400800:100> : PymDaemon: not installed (not a file or folder): again.txt\n"
            "! <kuid:400800:100> : PymDaemon: not installed (not a file or folder): "
            "sub/pipe.txt\n"
            "! <kuid:400800:100> : PymDaemon: not installed (not a file or folder): zero.txt\n"
            "+ <kuid:400800:100> : Installed asset <kuid:400800:100>.\n"
            "OK (0 Errors, 3 Warnings)\n");
  EXPECT_TRUE(fs::exists(Installed("<kuid:400800:100>") + "/sub/plain.txt"));

  root_->WriteFile("real/config.txt", "kuid <kuid:400800:101>\nkind \"scenery\"\n");
  fs::create_directory_symlink(root_->Root() + "/real", root_->Root() + "/linked");
  root_->WriteFile("tree/a/config.txt", "kuid <kuid:400800:102>\nkind \"scenery\"\n");
  fs::create_directory_symlink(root_->Root() + "/tree", root_->Root() + "/treelink");
  root_->WriteFile("viaconfig/x.txt", "");
  fs::create_symlink(root_->Root() + "/real/config.txt", root_->Root() + "/viaconfig/config.txt");
  const struct {
    std::string given;
    std::string refused;
  } cases[] = {{root_->Root() + "/linked", root_->Root() + "/linked"},
               {root_->Root() + "/treelink", root_->Root() + "/treelink"},
               {root_->Root() + "/viaconfig", root_->Root() + "/viaconfig/config.txt"}};
  for (const auto& c : cases) {
    r = root_->Run({"installfrompath", c.given});
    EXPECT_EQ(r.exitCode, 255) << r.out;
    EXPECT_NE(r.out.find("PymDaemon: not installed: " + c.refused + " is a link"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("staging"), std::string::npos) << r.out;
  }
  EXPECT_FALSE(fs::exists(Installed("<kuid:400800:101>")));
  EXPECT_FALSE(fs::exists(Installed("<kuid:400800:102>")));
  for (const char* made : {"odd", "real", "linked", "tree", "treelink", "viaconfig"}) {
    fs::remove_all(root_->Root() + "/" + made);
  }
}

// A folder or package that names an installed asset replaces it as a commit does: each version
// it replaces is kept in the day's backups, once, and the line of the install names where.
TEST_F(MisleadingInstall, AnAssetReplacedFromAFolderIsKeptInTheBackups) {
  char today[16];
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  strftime(today, sizeof today, "%y-%m-%d", &local);
  for (const std::string via : {"installfrompath", "installcdp"}) {
    const std::string content = via == "installcdp" ? "201" : "200";
    const std::string kuid = "<kuid:400800:" + content + ">";
    const std::string place =
        root_->Root() + "/UserData/backups/" + today + "/local/kuid 400800 " + content + " 0";
    // The version installed, and where the version it replaces is kept.
    const std::pair<std::string, std::string> steps[] = {
        {"old", ""}, {"new", place}, {"new", place + ".1"}, {"last", place + ".1"}};
    for (const auto& [version, kept] : steps) {
      std::vector<std::pair<std::string, std::string>> files;
      for (const char* file : {"a.txt", "b.txt", "c.txt"}) files.emplace_back(file, version + file);
      std::string source = Package("v", Config(kuid, "V"), files);
      if (via == "installfrompath") {
        source = "v";
        root_->WriteFile("v/config.txt", "kuid " + kuid + "\nkind \"scenery\"\n");
        for (const auto& [file, bytes] : files) root_->WriteFile("v/" + file, bytes);
      }
      const ToolRun r = root_->Run({via, source});
      ASSERT_EQ(r.exitCode, 0) << r.out;
      const std::string line =
          "; " + kuid + " : The version it replaced is kept in " + kept + " for 5 days.\n";
      EXPECT_EQ(r.out.find(line) != std::string::npos, !kept.empty()) << r.out;
      fs::remove_all(root_->Root() + "/v");
    }
    std::vector<std::string> kept;
    const std::string backups = root_->Root() + "/UserData/backups";
    if (fs::exists(backups)) {
      for (const auto& e : fs::recursive_directory_iterator(backups)) {
        const bool ours =
            e.path().parent_path().filename().string().starts_with("kuid 400800 " + content + " 0");
        if (ours && e.is_regular_file() && e.path().filename() != "config.txt") {
          kept.push_back(scratch::ReadAll(e.path().string()));
        }
      }
    }
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{"newa.txt", "newb.txt", "newc.txt", "olda.txt",
                                              "oldb.txt", "oldc.txt"}))
        << via;
    EXPECT_EQ(scratch::ReadAll(Installed(kuid) + "/a.txt"), "lasta.txt") << via;
  }
}

// A binary configuration whose tags nest one level deeper than a soup may.
std::string TooDeepChump() {
  std::string body;
  for (u32 i = 0; i <= kMaxSoupDepth; ++i) {
    u8 size[4];
    ByteOrder::StoreLE32(size, u32(body.size() + 4));
    body = std::string(reinterpret_cast<char*>(size), 4) +
           std::string(
               "\x02"
               "a\0\0",
               4) +
           body;
  }
  u8 header[kSoupHeaderSize];
  MakeSoupHeader(header, u32(body.size()));
  return std::string(reinterpret_cast<char*>(header), sizeof header) + body;
}

// Entries whose names differ only in case would become one file, a name longer than a reply
// carries would show as none, and a configuration too deep would pass for one without a KUID:
// every install path refuses them with the reason and changes nothing.
TEST_F(MisleadingInstall, WhatAnInstallWouldMangleIsRefusedOnEveryPath) {
  using Files = std::vector<std::pair<std::string, std::string>>;
  const Files cased = {{"Readme.txt", "a"}, {"README.txt", "b"}, {"readme.TXT", "c"}};
  const Files folders = {{"Sub/a.txt", "a"}, {"SUB/b.txt", "b"}};
  const std::string casedWhy = "the names README.txt and Readme.txt differ only in case";
  const std::string foldersWhy = "the names SUB and Sub differ only in case";
  const std::string longName(65536, 'n');
  const std::string longWhy = "the username is 65536 bytes long, more than the 65535 a name";
  const struct {
    std::string via;
    Files files;
    std::string name;
    std::string why;
  } cases[] = {
      {"installcdp", cased, "n", casedWhy},
      {"installfrompath", cased, "n", casedWhy},
      {"vnyparse", folders, "n", foldersWhy},
      {"vnyparsefolder", folders, "n", foldersWhy},
      {"installcdp", {}, longName, longWhy},
      {"installfrompath", {}, longName, longWhy},
      {"vnyparse", {}, longName, longWhy},
      {"installfrompath", {}, "", "tags nested deeper than 1000 levels"},
  };
  u32 content = 400;
  for (const auto& c : cases) {
    const std::string kuid = "<kuid:400800:" + std::to_string(++content) + ">";
    const std::string folder = c.via == "vnyparsefolder" ? "tree/m" : "m";
    const std::string source = root_->Root() + "/" + folder.substr(0, folder.find('/'));
    std::string given = source;
    if (c.via == "installcdp" || c.via == "vnyparse") {
      given = Package("m", Config(kuid, c.name.c_str()), c.files);
    } else if (c.name.empty()) {
      root_->WriteFile(folder + "/config.chump", TooDeepChump());
    } else {
      root_->WriteFile(folder + "/config.txt", "kuid " + kuid + "\nusername \"" + c.name + "\"\n");
    }
    for (const auto& [file, bytes] : c.files) root_->WriteFile(folder + "/" + file, bytes);
    const ToolRun r = root_->Run({c.via, given});
    EXPECT_EQ(r.exitCode, 255) << c.via << " " << c.why;
    EXPECT_NE(r.out.find(c.why), std::string::npos) << c.via << r.out.substr(0, 2000);
    EXPECT_FALSE(fs::exists(Installed(kuid))) << c.via << " " << c.why;
    EXPECT_TRUE(StagingIsEmpty()) << c.via;
    fs::remove_all(source);
  }
}

// What one command writes or installs, every other takes: an asset that an install refuses is
// packaged by no command, a package is refused alike by every command that installs it (a KUID
// listed twice keeps its first asset), and what the walk of a folder passes over is named.
TEST_F(MisleadingInstall, PackagesAndInstallsAgree) {
  const std::string root = root_->Root();
  const auto put = [&](const char* kuid, const std::string& folder) {
    root_->WriteFile(folder + "/config.txt", "kuid " + std::string(kuid) + "\nkind \"scenery\"\n");
  };
  std::vector<std::pair<std::string, std::string>> many;  // empty files, more than a package holds
  for (u32 i = 0; i <= kMaxPackageFiles; ++i)
    many.emplace_back("f" + std::to_string(i) + ".txt", "");
  // Installed assets that no package can hold, made so behind the daemon.
  put("<kuid:400800:601>", "small/deep");
  put("<kuid:400800:602>", "small/many");
  ASSERT_EQ(root_->Run({"installfrompath", "small"}).exitCode, 0);
  put("<kuid:400800:601>", Installed("<kuid:400800:601>").substr(root.size() + 1) + "/" +
                               Nested(kMaxAssetFolderDepth + 2));
  // Links are quicker made than files; one file takes at most 65000 of them.
  for (u32 i = 0; i < many.size(); ++i) {
    fs::create_hard_link(root + (i % 2 ? "/small/deep" : "/small/many") + "/config.txt",
                         Installed("<kuid:400800:602>") + "/" + many[i].first);
  }
  put("<kuid:400800:602>", "tree/many");
  // As deep as an install reads: a package, holding the asset one level down, cannot.
  std::string tags;
  for (u32 level = 0; level < kMaxSoupDepth; ++level) tags = "a\n{\n" + tags + "}\n";
  root_->WriteFile("tree/nested/config.txt", "kuid <kuid:400800:603>\nkind \"scenery\"\n" + tags);
  const std::string manyCdp = Package("many", Config("<kuid:400800:604>", "Many"), many);
  Soup assets;
  assets.EnsureContainer();
  for (const char* name : {"First", "Second"}) {
    Soup asset = Config("<kuid:400800:605>", name);
    Soup files;
    files.EnsureContainer();
    asset.SetNamedSoup(kTagFiles, files);
    assets.GetRoot()->AddChild(Qel::PString("<kuid:400800:605>"), asset.GetRoot());
  }
  Soup twice;
  twice.SetNamedSoup(kTagAssets, assets);
  RebuildPackageTables(twice);
  ASSERT_EQ(SaveContentPackage(twice, (root + "/twice.cdp").c_str()), Qel::PString());
  // The walk installs a folder named with a '\\' as it is named, and names one it cannot search.
  put("<kuid:400800:607>", "walk/x\\y");
  put("<kuid:400800:609>", "walk/p\\q/a");
  const std::string slashed = root + "/walk/p\\q";
  const std::string typed = "- <NULL> : Not installed: " + slashed + ": a '\\' in a path you type";
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
      {{"createcdp", root + "/deep.cdp", "<kuid:400800:601>"},
       {" : PymDaemon: not packaged: " + Nested(kMaxAssetFolderDepth + 1) +
        ": folders nested deeper than 64 levels\n"}},
      {{"vnyparsefolder", "tree"},
       {"- <kuid:400800:602> : Failed to save asset cdp : ",
        " could not be added: the package would hold more than 65536 files, the most an install "
        "takes\n",
        ": an asset holds tags nested deeper than a package can hold\n"}},
      {{"vnyparse", manyCdp},
       {"- <NULL> : Not installed: the package holds more than 65536 files.\n",
        "- <NULL> : Aborted processing\n"}},
      {{"vnyparse", root + "/twice.cdp"},
       {" : Not installed: the asset is listed twice.\n", "- <NULL> : Aborted processing\n"}},
      {{"installcdp", root + "/twice.cdp"},
       {" : Installed asset ", " : PymDaemon: not installed: the asset is listed twice\n"}},
      {{"installfrompath", "walk"},
       {"+ <kuid:400800:607> : Installed asset <kuid:400800:607>.\n",
        "- <NULL> : Not installed: " + slashed +
            ": a '\\' in a folder name reads as a folder separator, so the folders below it "
            "cannot be searched.\n"}},
      {{"installfrompath", slashed},
       {typed + " reads as a folder separator; give the folder that holds it.\n"}},
      {{"installfrompath", "walk/p\\q"}, {typed}},
  };
  for (const auto& [args, lines] : cases) {
    const std::string out = root_->Run(args).out;
    for (const std::string& line : lines) {
      EXPECT_NE(out.find(line), std::string::npos)
          << args[0] << " " << args[1] << out.substr(0, 2000);
    }
  }
  // Nothing is written that would not install, and what does not install is not installed.
  EXPECT_FALSE(fs::exists(root + "/deep.cdp"));
  for (const char* kuid : {"<kuid:400800:603>", "<kuid:400800:604>", "<kuid:400800:609>"}) {
    EXPECT_FALSE(fs::exists(Installed(kuid))) << kuid;
  }
  EXPECT_NE(root_->Run({"printconfig", "<kuid:400800:605>"}).out.find("First"), std::string::npos);
  EXPECT_TRUE(StagingIsEmpty());
  for (const char* made : {"small", "tree", "walk", "twice.cdp", "many.cdp"}) {
    fs::remove_all(root + "/" + made);
  }
}

// vnyparse never takes the user's editing copy for its own, and an asset whose commit is refused
// is as before once the package is aborted: gone if new, else neither replaced nor left open.
TEST_F(MisleadingInstall, VnyparseLeavesTheUsersWorkAndNoHalfInstalledAsset) {
  root_->WriteFile("w/config.txt", "kuid <kuid:400800:500>\nkind \"scenery\"\n");
  ASSERT_EQ(root_->Run({"installfrompath", "w"}).exitCode, 0);
  root_->WriteFile("w2/config.txt", "kuid <kuid:400800:502>\nkind \"scenery\"\n");
  ASSERT_EQ(root_->Run({"installfrompath", "w2"}).exitCode, 0);
  ASSERT_EQ(root_->Run({"edit", "<kuid:400800:500>"}).exitCode, 0);
  root_->WriteFile("UserData/editing/kuid 400800 500 0/mine.txt", "mine");
  // Installed folders reached through a link refuse the new asset's commit.
  const std::string userData = root_->Root() + "/UserData";
  fs::rename(userData + "/local", userData + "/local.real");
  fs::create_directory_symlink("local.real", userData + "/local");
  for (const std::string refusal :
       {"- <kuid:400800:500> : Not installed: the asset is open for editing.\n",
        "- <kuid:400800:501> : PymDaemon: not committed: ",
        "- <kuid:400800:502> : PymDaemon: not committed: "}) {
    const std::string kuid = refusal.substr(2, refusal.find(' ', 2) - 2);
    const ToolRun r = root_->Run({"vnyparse", Package("p", Config(kuid, "P"), {{"p.txt", "p"}})});
    EXPECT_EQ(r.exitCode, 255) << r.out;
    EXPECT_NE(r.out.find(refusal), std::string::npos) << r.out;
  }
  const std::string editing = root_->Root() + "/UserData/editing/kuid 400800 50";
  EXPECT_EQ(scratch::ReadAll(editing + "0 0/mine.txt"), "mine");
  EXPECT_FALSE(fs::exists(editing + "0 0/p.txt"));
  EXPECT_FALSE(fs::exists(editing + "1 0"));
  EXPECT_FALSE(fs::exists(editing + "2 0"));
  EXPECT_TRUE(fs::exists(userData + "/local.real/kuid 400800 502 0/config.txt"));
  EXPECT_FALSE(fs::exists(userData + "/local.real/kuid 400800 502 0/p.txt"));
  EXPECT_EQ(root_->Run({"status", "<kuid:400800:501>"}).out.find("EIadLmF"), std::string::npos);
  EXPECT_TRUE(StagingIsEmpty());
  fs::remove_all(root_->Root() + "/w");
  fs::remove_all(root_->Root() + "/w2");

  // On a full disk (200 KB free) the take-back of an install fails too: the output says so, and
  // the daemon's next start takes it back once there is room.
  fs::remove(userData + "/local");
  fs::rename(userData + "/local.real", userData + "/local");
  root_->StopDaemons();
  struct SmallDisk {
    std::string at;
    std::string real = at + ".real";
    bool mounted = false;
    ~SmallDisk() {
      root_->StopDaemons();
      if (mounted && std::system(("umount '" + at + "'").c_str()) == 0) {
        fs::remove_all(at);
        fs::rename(real, at);
      }
    }
  } disk{userData};
  fs::rename(userData, disk.real);
  fs::create_directory(userData);
  // Room for what the earlier tests left, and 2 MB more.
  uintmax_t bytes = 2 << 20;
  for (const auto& e : fs::recursive_directory_iterator(disk.real)) {
    bytes += e.is_regular_file() ? e.file_size() + 4096 : 4096;
  }
  const std::string size = std::to_string(bytes / 1024 + 1) + "k";
  disk.mounted =
      std::system(("mount -t tmpfs -o size=" + size + " tmpfs '" + userData + "'").c_str()) == 0;
  if (!disk.mounted) {
    fs::remove(userData);
    fs::rename(disk.real, userData);
    GTEST_SKIP() << "needs root, to mount a small file system";
  }
  fs::copy(disk.real, userData, fs::copy_options::recursive);
  // Files that fill the disk to its last block, so that nothing is left for the take-back.
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < 100; ++i)
    files.emplace_back("f" + std::to_string(i) + ".txt", std::string(4000, 'x'));
  const std::string package = Package("full", Config("<kuid:400800:502>", "P"), files);
  {
    std::ofstream filler(userData + "/filler", std::ios::binary);
    const std::string block(4096, '\0');
    while (fs::space(userData).available > 200 * 1024 && filler.write(block.data(), block.size())) {
      filler.flush();
    }
  }
  const ToolRun r = root_->Run({"vnyparse", package});
  EXPECT_EQ(r.exitCode, 255) << r.out;
  EXPECT_NE(r.out.find("- <kuid:400800:502> : The install could not be taken back"),
            std::string::npos)
      << r.out;
  fs::remove(userData + "/filler");
  for (int start = 0; start < 2; ++start) {
    root_->StopDaemons();
    EXPECT_NE(root_->Run({"status", "<kuid:400800:502>"}).out.find(": eI"), std::string::npos);
  }
  EXPECT_FALSE(fs::exists(userData + "/editing/kuid 400800 502 0"));
  EXPECT_TRUE(fs::exists(userData + "/local/kuid 400800 502 0/config.txt"));
  EXPECT_FALSE(fs::exists(userData + "/local/kuid 400800 502 0/f0.txt"));
  EXPECT_NE(scratch::ReadAll(userData + "/pymdaemon.log")
                .find("took back the install of <kuid:400800:502>"),
            std::string::npos);
}

}  // namespace
