#include "assetdata/cdp_package_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "assetdata/cdp_package.h"
#include "assetdata/soup_text.h"
#include "assetdata/soup_tree.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;

Soup Parse(const std::string& text) {
  Soup soup;
  ParseSoupText(soup, text, true);
  return soup;
}

// An asset with a files tree two folders deep and a container nested `depth` levels below its
// top, each level one tag.
Soup Asset(const std::string& kuid, u32 depth = 1) {
  Soup asset = Parse("kuid " + kuid +
                     "\nkind traincar\nengine 1\nbogey <kuid:1:10>\nobsolete-table {\n0 " + kuid +
                     "\n1 <kuid:1:40>\n}\nfiles {\nmesh {\ntextures {\na.texture \"x\"\n}\n"
                     "b.im \"yy\"\n}\n}\ncompression LZSS\n");
  Soup inner;
  inner.SetNamedInt("leaf", 1);
  for (u32 i = 1; i < depth; ++i) {
    Soup outer;
    outer.SetNamedSoup("level", inner);
    inner = outer;
  }
  asset.SetNamedSoup("nested", inner);
  return asset;
}

// The same assets written whole from a package soup and one by one; both files are compared.
struct Written {
  Qel::PString whole;
  Qel::PString streamed;
  std::vector<Qel::PString> refusals;
  Qel::String reason;
};

Written WriteBoth(const scratch::Folder& folder, const std::vector<Soup>& assets) {
  Written out;
  Soup package;
  for (Soup asset : assets) {
    if (InsertArchivedAsset(package, asset).IsEmpty()) continue;
  }
  RebuildPackageTables(package);
  out.whole = SaveContentPackage(package, folder.At("whole.cdp").c_str());
  ContentPackageWriter writer(folder.At("streamed.cdp").c_str());
  for (Soup asset : assets) out.refusals.push_back(writer.Add(asset));
  out.streamed = writer.Finish();
  out.reason = writer.FailureReason();
  return out;
}

TEST(ContentPackageWriterTest, WritesTheBytesOfTheWholePackage) {
  const Qel::PString none;
  const Qel::PString twice(
      "Unable to add content as an item with KUID <kuid:1:2> is already present");
  const Qel::PString noKuid("Unable to add content as it doesnt not contain a valid KUID");
  const Qel::PString saveFailed("Unable to write archive file. Needs to be .cdp file extension");
  // The deepest container a package holds lies kMaxSoupDepth below its top; an asset's own tags
  // lie three below it.
  const u32 deepest = kMaxSoupDepth - 2;
  const struct {
    const char* name;
    std::vector<Soup> assets;
    std::vector<Qel::PString> refusals;
    Qel::PString result;
  } cases[] = {
      {"no assets", {}, {}, none},
      {"three, one refused twice and one without KUID",
       {Asset("<kuid:1:1>"), Asset("<kuid:1:2>"), Asset("<kuid2:1:2:0>"), Parse("kind x\n"),
        Asset("<kuid:1:3>")},
       {none, none, twice, noKuid, none},
       none},
      {"as deep as a package goes", {Asset("<kuid:1:1>", deepest)}, {none}, none},
      {"one level deeper", {Asset("<kuid:1:1>", deepest + 1)}, {none}, saveFailed},
  };
  for (const auto& k : cases) {
    scratch::Folder folder;
    const Written w = WriteBoth(folder, k.assets);
    EXPECT_EQ(w.refusals, k.refusals) << k.name;
    EXPECT_EQ(w.whole, k.result) << k.name;
    EXPECT_EQ(w.streamed, k.result) << k.name;
    EXPECT_EQ(std::string(w.reason.CStr()),
              k.result.IsEmpty() ? "" : "an asset holds tags nested deeper than a package can hold")
        << k.name;
    if (k.result.IsEmpty()) {
      EXPECT_EQ(folder.Read("streamed.cdp"), folder.Read("whole.cdp")) << k.name;
    }
    // Nothing but the finished packages is left.
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(folder.path())) {
      EXPECT_EQ(e.path().extension(), ".cdp") << k.name << ": " << e.path();
      ++files;
    }
    EXPECT_EQ(files, k.result.IsEmpty() ? 2u : 0u) << k.name;
  }
}

TEST(ContentPackageWriterTest, AnUnfinishedOrUnwritablePackageLeavesNothing) {
  scratch::Folder folder;
  const std::string target = folder.At("p.cdp");
  std::ofstream(target) << "old";
  {
    ContentPackageWriter writer(target.c_str());
    Soup asset = Asset("<kuid:1:1>");
    EXPECT_EQ(writer.Add(asset), Qel::PString());
  }
  EXPECT_EQ(scratch::ReadAll(target), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);
  ContentPackageWriter nowhere(folder.At("missing/p.cdp").c_str());
  Soup asset = Asset("<kuid:1:1>");
  const Qel::PString saveFailed("Unable to write archive file. Needs to be .cdp file extension");
  EXPECT_TRUE(nowhere.Failed());
  EXPECT_EQ(nowhere.Add(asset), Qel::PString());
  EXPECT_EQ(nowhere.Finish(), saveFailed);
  EXPECT_EQ(std::string(nowhere.FailureReason().CStr()), "No such file or directory");
  EXPECT_FALSE(fs::exists(folder.At("missing")));
  // A folder in the package's place: the reason is the system's, not the extension's.
  fs::create_directory(folder.At("taken.cdp"));
  ContentPackageWriter taken(folder.At("taken.cdp").c_str());
  EXPECT_EQ(taken.Add(asset), Qel::PString());
  EXPECT_EQ(taken.Finish(), saveFailed);
  EXPECT_EQ(std::string(taken.FailureReason().CStr()), "Is a directory");
  EXPECT_TRUE(fs::is_empty(folder.At("taken.cdp")));
}

// What an install would refuse is never written.
TEST(ContentPackageWriterTest, RefusesWhatAnInstallWouldRefuse) {
  const struct {
    std::vector<const char*> files;
    std::string refusal;
    u32 maxFiles;
    u64 maxConfigBytes;
  } cases[] = {
      {{"a.txt", "b.txt"}, "the package would hold more than 1 files, the most an install", 1, 99},
      {{}, "configuration too large: its config.txt would be ", 1, 10},
      {{"Readme.txt", "README.txt"}, "the names README.txt and Readme.txt differ only", 2, 99},
  };
  for (const auto& c : cases) {
    scratch::Folder folder;
    {
      ContentPackageWriter writer(folder.At("p.cdp").c_str());
      writer.SetLimitsForTests(c.maxFiles, c.maxConfigBytes);
      Soup asset = Parse("kuid <kuid:1:1>\n");
      Soup files;
      files.EnsureContainer();
      for (const char* name : c.files) {
        files.GetRoot()->AddChild(name, files.GetRoot()->CreateTag(kKindRaw, nullptr));
      }
      asset.SetNamedSoup(kTagFiles, files);
      EXPECT_EQ(std::string(writer.Add(asset).View()).substr(0, c.refusal.size()), c.refusal);
    }
    EXPECT_TRUE(fs::is_empty(folder.path())) << c.refusal;
  }
}

}  // namespace
