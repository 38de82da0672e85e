#include "assetdata/cdp_package.h"

#include <gtest/gtest.h>

#include <string>

#include "assetdata/cdp_dsid.h"
#include "assetdata/kuid_table.h"
#include "assetdata/soup_text.h"
#include "support/scratch_folder.h"

namespace {

Soup Parse(const std::string& text) {
  Soup soup;
  ParseSoupText(soup, text, true);
  return soup;
}

// The table's KUIDs as one text, in order.
std::string TableText(const Soup& table) {
  std::string text;
  for (u32 i = 0; i < table.CountTags(); ++i) {
    const KUID kuid = table.GetNamedTagAsKUID(table.GetIndexedTagName(i), KUID());
    text += std::string(table.GetIndexedTagName(i).View()) + "=" + kuid.ToString().CStr() + " ";
  }
  return text;
}

std::string TagNames(const Soup& soup) {
  std::string names;
  for (u32 i = 0; i < soup.CountTags(); ++i)
    names += std::string(soup.GetIndexedTagName(i).View()) + " ";
  return names;
}

// A traincar with every kind of reference and exclusion, one asset it refers to (and that refers
// back), and one that obsoletes itself among others.
Soup ThreeAssetPackage() {
  Soup package;
  package.SetNamedTag("thumbnail", "jpg");
  const char* texts[] = {
      "kuid <kuid:1:1>\nkind traincar\nengine 1\nbogey <kuid:1:10>\nnote \"<kuid:9:9>\"\n"
      "kuid-table {\n0 <kuid:1:1>\n1 <kuid:1:2>\n2 <kuid:1:20>\n3 <kuid:1:30>\n}\n"
      "obsolete-table {\n0 <kuid:1:10>\n1 <kuid:1:40>\n}\noptional-kuid-table {\n0 <kuid:1:30>\n}\n"
      "obsoletes-kuid <kuid:1:41>\n",
      "kuid <kuid:1:2>\nalias <kuid:1:1>\nkuid-table {\n0 <kuid:1:1>\n}\n",
      "kuid <kuid:1:3>\nobsolete-table {\n0 <kuid:1:3>\n1 <kuid:1:20>\n2 <kuid:1:50>\n}\n"};
  for (const char* text : texts) {
    Soup asset = Parse(text);
    EXPECT_EQ(AddArchivedAsset(package, asset), Qel::PString());
  }
  return package;
}

TEST(CdpPackageTest, TablesFollowTheAssets) {
  const Soup package = ThreeAssetPackage();
  EXPECT_EQ(TagNames(package),
            "thumbnail assets contents-table kuid-table obsolete-table kind package-version ");
  EXPECT_EQ(TableText(package.GetNamedSoup("contents-table")),
            "0=<kuid:1:1> 1=<kuid:1:2> 2=<kuid:1:3> ");
  // The bogey is both obsoleted and named, so one exclusion leaves it in; the default interior of
  // a driven traincar is needed; the text KUID is found; own, mutual and optional ones are not.
  EXPECT_EQ(TableText(package.GetNamedSoup("kuid-table")),
            "0=<kuid:9:9> 1=<kuid:1:20> 2=<kuid:1:41> 3=<kuid:1:10> 4=<kuid:-10:172> ");
  // The self-obsoleting asset's own KUID goes by moving the block's last entry into its place.
  EXPECT_EQ(TableText(package.GetNamedSoup("obsolete-table")),
            "0=<kuid:1:10> 1=<kuid:1:40> 2=<kuid:1:41> 3=<kuid:1:50> 4=<kuid:1:20> ");
  EXPECT_EQ(FindPackageAsset(package, KUID(1, 3, 0)), 2);
  EXPECT_EQ(FindPackageAsset(package, KUID(1, 4, 0)), -1);
  EXPECT_TRUE(GetPackageAsset(package, 3).soup.IsNull());

  Soup again = Parse("kuid <kuid2:1:2:0>\n");
  Soup copy = package;
  EXPECT_EQ(
      AddArchivedAsset(copy, again),
      Qel::PString("Unable to add content as an item with KUID <kuid:1:2> is already present"));
  Soup nokuid = ArchivedAsset().soup;
  EXPECT_EQ(AddArchivedAsset(copy, nokuid),
            Qel::PString("Unable to add content as it doesnt not contain a valid KUID"));
  EXPECT_EQ(CountPackageAssets(copy), 3u);
}

TEST(CdpPackageTest, OpenRefusesAndClears) {
  scratch::Folder folder;
  const char* notCdp = "Content could not be read, as the file is not a valid CDP";
  const char* newer = "This content requires a newer Kestro version";
  const struct {
    void (*change)(Soup&);
    const char* message;
  } rows[] = {
      {[](Soup& p) { p.SetNamedTag("kind", "ARCHIVE"); }, ""},
      {[](Soup& p) { p.SetNamedTag("kind", "zip"); }, notCdp},
      {[](Soup& p) { p.SetNamedInt("package-version", 2); }, newer},
      {[](Soup& p) { p.RemoveNamedTag("package-version"); }, newer},
      {[](Soup& p) { p.GetNamedSoup("contents-table").RemoveNamedTag("2"); },
       "Content could not be read, as the CDP file is damaged"},
  };
  const std::string path = folder.At("p.cdp");
  for (const auto& row : rows) {
    Soup package = ThreeAssetPackage();
    row.change(package);
    ASSERT_EQ(SaveContentPackage(package, path.c_str()), Qel::PString());
    Soup opened;
    EXPECT_EQ(OpenContentPackage(opened, Qel::PString(), path.c_str()), Qel::PString(row.message));
    EXPECT_EQ(opened.IsNull(), *row.message != '\0') << row.message;
  }
  Soup opened;
  EXPECT_EQ(OpenContentPackage(opened, "", folder.At("missing.cdp").c_str()), Qel::PString(notCdp));
  EXPECT_EQ(SaveContentPackage(ThreeAssetPackage(), folder.At("p.zip").c_str()),
            Qel::PString("Unable to write archive file. Needs to be .cdp file extension"));
}

// Files given as "folder/name" paths and their bytes.
Soup AssetWithFiles(std::initializer_list<std::pair<std::string, std::string>> files) {
  Soup asset;
  Soup root = asset.GetNamedSoup("files");
  root.EnsureContainer();
  for (const auto& [path, bytes] : files) {
    Soup folder = root;
    const size_t slash = path.find('/');
    if (slash != std::string::npos) {
      const Qel::PString name(path.substr(0, slash));
      folder = root.GetNamedSoup(name);
      if (folder.IsNull()) root.SetNamedSoup(name, folder);
    }
    folder.GetRoot()->AddChild(
        Qel::PString(path.substr(slash + 1)),
        folder.GetRoot()->CreateTag(kKindRaw,
                                    ACSRawDataCore::CreateCopy(bytes.data(), bytes.size())));
  }
  asset.SetNamedSoup("files", root);
  return asset;
}

TEST(CdpPackageTest, DsidOverFiles) {
  const std::string words("\1\0\0\0\2\0\0\0", 8);
  const struct {
    Soup asset;
    const char* dsid;
  } rows[] = {
      {AssetWithFiles({}), "0:0"},
      {AssetWithFiles({{"a.txt", "abc"}}), "0:1"},
      {AssetWithFiles({{"a.txt", words}}), "8:8"},
      {AssetWithFiles({{"a.txt", std::string("\0\0\0\xC0\0\0\0\0", 8)}}), "8:6"},
      // The empty sum of the first file becomes (1, 0) before the folder's is added.
      {AssetWithFiles({{"a.txt", "abcd"}, {"s/b.txt", words}, {"s/c.txt", words}}), "16:17"},
  };
  for (const auto& row : rows) {
    Soup asset = row.asset;
    EXPECT_FALSE(CheckAssetDsid(asset));
    SetAssetDsid(asset);
    EXPECT_EQ(asset.GetNamedTag("dsid"), Qel::PString(row.dsid));
    EXPECT_TRUE(CheckAssetDsid(asset));
  }
}

TEST(CdpPackageTest, StripKeepsTheConfiguration) {
  ArchivedAsset asset;
  asset.soup = Parse(
      "kuid <kuid:1:1>\nkind TrainCar\nengine 1\nbogey <kuid:1:10>\nfiles {\n}\ndsid 0:0\n"
      "compression LZSS\nfolder-icon 1\n.cache 1\n"
      "kuid-table {\n0 <kuid:1:10>\n7 <kuid:1:11>\n1 <kuid:1:12>\n}\nname x\n");
  const Soup config = StripPackageTags(asset);
  EXPECT_TRUE(asset.modified);
  EXPECT_EQ(TagNames(config), "kuid engine bogey name kind kuid-table ");
  EXPECT_EQ(config.GetNamedTag("kind"), Qel::PString("traincar"));
  EXPECT_EQ(TableText(config.GetNamedSoup("kuid-table")),
            "0=<kuid:1:10> 7=<kuid:1:11> 1=<kuid:1:12> 8=<kuid:-10:172> ");
  EXPECT_TRUE(asset.soup.HasNamedTag("files"));

  // Nothing to change: only the table moves to the end.
  ArchivedAsset clean;
  clean.soup = Parse("kuid <kuid:1:1>\nkuid-table {\n0 <kuid:1:2>\n}\nkind scenery\n");
  EXPECT_EQ(TagNames(StripPackageTags(clean)), "kuid kind kuid-table ");
  EXPECT_FALSE(clean.modified);
}

}  // namespace
