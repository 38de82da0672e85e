// createcdp and installcdp between two installations, each with its own stand-in daemon: the
// package's tables and checksums, and an installation that gets back every file and the same
// configuration.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "assetdata/cdp_dsid.h"
#include "assetdata/cdp_extract.h"
#include "assetdata/cdp_package.h"
#include "assetdata/kuid_table.h"
#include "support/install_root.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;
using kestro_test::InstallRoot;
using kestro_test::ToolRun;

constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";
constexpr const char* kClean = "OK (0 Errors, 0 Warnings)\n";
constexpr const char* kDepot = "<kuid:400300:1>";
constexpr const char* kSignal = "<kuid2:400300:2:1>";
constexpr const char* kCoach = "<kuid:400300:3>";
// Its folder goes behind the daemon's back once the daemon has indexed it.
constexpr const char* kGone = "<kuid:400300:4>";

// Every file below the folder but the configuration, by its path below it.
std::map<std::string, std::string> FilesBelow(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    const std::string relative = fs::relative(e.path(), folder).string();
    if (e.is_regular_file() && relative != "config.txt")
      files[relative] = scratch::ReadAll(e.path().string());
  }
  return files;
}

// The installed folder whose configuration names the KUID.
fs::path InstalledFolder(const InstallRoot& root, const std::string& kuid) {
  for (const auto& e : fs::directory_iterator(root.Root() + "/UserData/local")) {
    std::istringstream config(scratch::ReadAll((e.path() / "config.txt").string()));
    for (std::string line; std::getline(config, line);) {
      if (line.rfind("kuid ", 0) == 0 && line.find(kuid) != std::string::npos) return e.path();
    }
  }
  return {};
}

KUID Kuid(const char* text) { return KUID::Parse(text, true); }

std::vector<KUID> Table(const Soup& package, const char* name) {
  KUIDList list;
  ReadKuidTable(package.GetNamedSoup(Qel::PString(name)), list);
  std::vector<KUID> out;
  for (const KUID& kuid : list) out.push_back(kuid);
  return out;
}

class PackageRoundTrip : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    source_ = std::make_unique<InstallRoot>(KESTRO_BINARY_DIR, kDataDir);
    target_ = std::make_unique<InstallRoot>(KESTRO_BINARY_DIR, kDataDir);
    std::mt19937 random(14);
    std::string noise(200000, '\0');
    for (char& c : noise) c = char(random());
    std::string text;
    for (int i = 0; i < 4000; ++i) text += "line " + std::to_string(i % 37) + " of the timetable\n";
    const auto put = [](const std::string& folder, const std::string& name,
                        const std::string& bytes) {
      source_->WriteFile("UserData/local/" + folder + "/" + name, bytes);
    };
    put("depot", "config.txt",
        std::string("kuid ") + kDepot +
            "\nusername \"Depot\"\nkind \"buildable\"\nkestro-build 3.5\nkuid-table {\n  0 "
            "<kuid:400300:99>\n}\n");
    put("depot", "mesh/body.im", noise);
    put("depot", "mesh/textures/wall.texture", noise.substr(1000, 5000));
    put("depot", "mesh/textures/empty.txt", "");
    put("signal", "config.txt",
        std::string("kuid ") + kSignal +
            "\nusername \"Signal\"\nkind \"scenery\"\nkestro-build 3.5\nkuid-table {\n}\n");
    put("signal", "timetable.txt", text);
    put("coach", "config.txt",
        std::string("kuid ") + kCoach +
            "\nusername \"Coach\"\nkind \"traincar\"\nkestro-build 3.5\nobsolete-table {\n  0 "
            "<kuid:400300:50>\n}\nkuid-table {\n  0 " +
            kSignal + "\n  1 <kuid:400300:99>\n}\n");
    put("coach", "coach.txt", text.substr(0, 999));
    put("gone", "config.txt", std::string("kuid ") + kGone + "\nkind \"scenery\"\n");
  }
  static void TearDownTestSuite() {
    source_.reset();
    target_.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(source_->IsReady()) << source_->Error();
    ASSERT_TRUE(target_->IsReady()) << target_->Error();
  }

  static std::unique_ptr<InstallRoot> source_;
  static std::unique_ptr<InstallRoot> target_;
};
std::unique_ptr<InstallRoot> PackageRoundTrip::source_;
std::unique_ptr<InstallRoot> PackageRoundTrip::target_;

TEST_F(PackageRoundTrip, PackageInstallsElsewhereWholeAndRefusedArgumentsWriteNone) {
  const std::string package = source_->Root() + "/three.cdp";
  // The signal named twice is packaged once, without a message.
  ToolRun r = source_->Run({"createcdp", "three.cdp", kDepot, kSignal, kCoach, kSignal});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "; <NULL> : Wrote the package " + package + ".\n" + kClean);

  Soup loaded;
  ASSERT_EQ(OpenContentPackage(loaded, Qel::PString(), package.c_str()).CStr(), std::string());
  EXPECT_EQ(Table(loaded, "contents-table"),
            (std::vector<KUID>{Kuid(kDepot), Kuid(kSignal), Kuid(kCoach)}));
  EXPECT_EQ(Table(loaded, "kuid-table"), std::vector<KUID>{Kuid("<kuid:400300:99>")});
  EXPECT_EQ(Table(loaded, "obsolete-table"), std::vector<KUID>{Kuid("<kuid:400300:50>")});
  const char* compressions[] = {"", "LZSS", "LZSS"};
  for (u32 i = 0; i < 3; ++i) {
    const Soup asset = GetPackageAsset(loaded, i).soup;
    EXPECT_TRUE(CheckAssetDsid(asset)) << i;
    EXPECT_NE(asset.GetNamedTag(kTagDsid), Qel::PString("0:0")) << i;
    EXPECT_EQ(GetCompressionName(asset), Qel::PString(compressions[i])) << i;
  }

  // Installing twice replaces the first installation whole.
  for (int round = 0; round < 2; ++round) {
    r = target_->Run({"installcdp", package});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    for (const char* kuid : {kDepot, kSignal, kCoach}) {
      EXPECT_NE(r.out.find(std::string("+ ") + kuid + " : Installed asset"), std::string::npos)
          << r.out;
    }
  }
  for (const auto& [folder, kuid] :
       {std::pair{"depot", kDepot}, std::pair{"signal", kSignal}, std::pair{"coach", kCoach}}) {
    const ToolRun original = source_->Run({"printconfig", kuid});
    EXPECT_EQ(target_->Run({"printconfig", kuid}).out, original.out);
    const fs::path installed = InstalledFolder(*target_, kuid);
    ASSERT_FALSE(installed.empty()) << kuid;
    EXPECT_EQ(FilesBelow(installed), FilesBelow(source_->Root() + "/UserData/local/" + folder))
        << kuid;
  }

  const std::string refused = source_->Root() + "/refused.cdp";
  const std::string longName = source_->Root() + "/" + std::string(300, 'n') + ".cdp";
  const std::string folderCdp = source_->Root() + "/folder.cdp";
  fs::create_directory(folderCdp);
  fs::remove_all(source_->Root() + "/UserData/local/gone");
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"createcdp", source_->Root() + "/x.zip", kDepot},
       "- <NULL> : The output filename must have a .cdp extension.\n"},
      {{"createcdp", refused, "nonsense"}, "- <NULL> : Invalid AssetID.\n"},
      {{"createcdp", refused, kDepot, "<kuid:400300:77>"},
       "- <kuid:400300:77> : Asset is not local.\n"},
      // Assets asked for after the one that fails are not written either.
      {{"createcdp", refused, kDepot, "<kuid:400300:77>", kSignal, kCoach},
       "- <kuid:400300:77> : Asset is not local.\n"},
      {{"createcdp", refused, kDepot, kSignal, "nonsense", kCoach},
       "- <NULL> : Invalid AssetID.\n"},
      {{"createcdp", source_->Root() + "/nowhere/refused.cdp", kDepot},
       "- <NULL> : The output folder " + source_->Root() + "/nowhere/ does not exist.\n"},
      {{"createcdp", folderCdp, kDepot},
       "- <NULL> : The output " + folderCdp + " is a folder, not a package file.\n"},
      // The daemon's reason is the one line of an asset it could not pack.
      {{"createcdp", refused, kDepot, kGone},
       std::string("- ") + kGone + " : PymDaemon: cannot read the asset folder " + source_->Root() +
           "/UserData/local/gone\n"},
      // A package that cannot be saved says why.
      {{"createcdp", longName, kDepot},
       "- <NULL> : Unable to write the package " + longName + ": File name too long.\n"},
  };
  for (const auto& c : cases) {
    r = source_->Run(c.args);
    EXPECT_EQ(r.exitCode, 255) << c.args[2];
    EXPECT_EQ(r.out, c.out + "OK (1 Errors, 0 Warnings)\n");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_FALSE(fs::exists(refused));
  // Nor is anything of them left beside it.
  for (const auto& e : fs::directory_iterator(source_->Root())) {
    EXPECT_EQ(e.path().filename().string().find("refused.cdp"), std::string::npos) << e.path();
  }
  r = target_->Run({"installcdp", source_->Root() + "/missing.cdp"});
  EXPECT_EQ(r.exitCode, 255);
  EXPECT_NE(r.out.find("not a valid CDP"), std::string::npos) << r.out;
}

// A package asset that ships a configuration file of its own installs by its declared one, and
// the shipped file is left out; a package of more files than the daemon takes is refused whole
// with a reason.
TEST_F(PackageRoundTrip, ABrokenBinaryFormWarnsAndTooManyFilesAreRefused) {
  const auto makePackage = [&](const std::string& name, const char* kuid, u32 files) {
    Soup asset;
    asset.EnsureContainer();
    asset.SetNamedKUID(Qel::PString("kuid"), Kuid(kuid));
    asset.SetNamedTag(Qel::PString("kind"), Qel::PString("scenery"));
    asset.SetNamedTag(Qel::PString("username"), Qel::PString(name.c_str()));
    Soup content;
    content.EnsureContainer();
    const auto put = [&](const std::string& file, const std::string& bytes) {
      content.GetRoot()->AddChild(
          Qel::PString(file.c_str()),
          content.GetRoot()->CreateTag(
              kKindRaw, ACSRawDataCore::CreateCopy(bytes.data(), u32(bytes.size()))));
    };
    put("config.chump", "not a soup at all");
    for (u32 i = 0; i < files; ++i) put("f" + std::to_string(i) + ".txt", "");
    asset.SetNamedSoup(kTagFiles, content);
    Soup package;
    EXPECT_EQ(AddArchivedAsset(package, asset), Qel::PString());
    const std::string path = source_->Root() + "/" + name + ".cdp";
    EXPECT_EQ(SaveContentPackage(package, path.c_str()), Qel::PString());
    return path;
  };
  ToolRun r = target_->Run({"installcdp", makePackage("chump", "<kuid:400300:201>", 0)});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(r.out,
            "+ <kuid:400300:201> : Installed asset <kuid:400300:201>.\n" + std::string(kClean));
  const fs::path installed = InstalledFolder(*target_, "<kuid:400300:201>");
  ASSERT_FALSE(installed.empty());
  EXPECT_FALSE(fs::exists(installed / "config.chump"));

  const std::string big = makePackage("big", "<kuid:400300:202>", kMaxPackageFiles);
  r = target_->Run({"installcdp", big});
  EXPECT_EQ(r.exitCode, 255) << r.out;
  EXPECT_NE(r.out.find("PymDaemon: the package holds more than 65536 files; nothing was "
                       "installed"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(InstalledFolder(*target_, "<kuid:400300:202>").empty());
}

}  // namespace
