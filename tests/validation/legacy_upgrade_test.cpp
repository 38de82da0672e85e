// The legacy upgrade of old configurations: each configuration of tests/data/upgrade against the
// golden written from the upgrade's rules, and the build boundaries and clean-up rules one by one.
#include "validation/legacy_upgrade.h"

#include <gtest/gtest.h>

#include <string>

#include "assetdata/soup.h"
#include "core/buffer_stream.h"
#include "pymclient/install_paths.h"
#include "qel/dynamic_buffer.h"
#include "validation/data_manager.h"
#include "validation/tag_vocabulary.h"
#include "support/scratch_folder.h"

namespace {

using TETLib::DataManager;

const std::string kData = std::string(KESTRO_TEST_DATA_DIR) + "/upgrade/";

// The text form as tettool prints it: no byte-order mark, LF line ends.
std::string TextOf(const Soup& soup) {
  Qel::DynamicBuffer buffer;
  TBuffer stream(&buffer, false);
  WriteSoupText(stream, soup);
  std::string text(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  std::erase(text, '\r');
  while (text.starts_with("\n")) text.erase(0, 1);
  return text;
}

// Each tag as "name=text", a container as "name{...}", separated by blanks.
std::string Compact(const Soup& soup) {
  std::string out;
  for (u32 i = 0; i < soup.CountTags(); ++i) {
    const Qel::PString name = soup.GetIndexedTagName(i);
    if (!out.empty()) out += ' ';
    out += name.CStr();
    const Soup child = soup.GetIndexedSoup(i);
    out += child.IsNull() ? "=" + std::string(soup.GetNamedTag(name).View())
                          : "{" + Compact(child) + "}";
  }
  return out;
}

Soup Parse(const std::string& text) {
  TBuffer stream(new Qel::DynamicBuffer(), true);
  stream.WriteBytes(text.data(), u32(text.size()));
  stream.Seek(0, 0);
  Soup soup;
  Soup::ParseText(soup, stream, false);
  return soup;
}

class LegacyUpgradeTest : public ::testing::Test {
 protected:
  // Held as a validation holds it: the data manager and the definitions' facts are used under it.
  const Qel::SingleLock validationLock_{GetValidationMutex()};
  void SetUp() override {
    ASSERT_TRUE(DataManager::CreateInstance((kData + "tet").c_str()));
    DataManager::Instance().LoadDefinitions();
    DataManager::Instance().OpenAssetResourceDatabase(Qel::PString(), Qel::String(kData.c_str()));
  }
  void TearDown() override { DataManager::DestroyInstance(); }

  // The configuration after the upgrade, its build read as the container load reads it.
  static Soup Upgraded(Soup config) {
    DataManager::Instance().SetBuildNumber(
        config.GetNamedTagAsFloat(TETLib::kTagKestroBuild, 1.3f) + 0.001f);
    TETLib::UpgradeConfig(config);
    return config;
  }
};

TEST_F(LegacyUpgradeTest, OldConfigurationsMatchTheirGoldens) {
  for (const char* name : {"traincar", "scenery", "interior", "junction", "crossing", "turntable",
                           "build30", "build35"}) {
    Soup config;
    ASSERT_TRUE(config.LoadFile(nullptr, (kData + name + ".txt").c_str(), "txt")) << name;
    EXPECT_EQ(TextOf(Upgraded(config)), scratch::ReadAll(kData + name + ".expected")) << name;
  }
}

TEST_F(LegacyUpgradeTest, BuildDecidesWhatChanges) {
  const struct {
    const char* what;
    const char* in;
    const char* out;
  } cases[] = {
      {"2.9 is current; an empty region still goes",
       "kestro-build 2.9\ncategory-region \"\"\nthis \"x\"\n", "kestro-build=2.9 this=x"},
      {"no build counts as 1.3", "kind \"mesh\"\nlight 1\n",
       "kind=mesh category-era=1800s category-class=ZX category-region=00 kestro-build=2.9"},
      {"only index 1 of the regions", "category-region-1 \"au\"\n",
       "category-region=AU category-era=1800s category-class=ZX kestro-build=2.9"},
      {"regions 0 and 2: the gap stops the scan",
       "category-region-0 \"a\"\ncategory-region-2 \"b\"\n",
       "category-region-2=b category-region=A category-era=1800s category-class=ZX "
       "kestro-build=2.9"},
      {"three colour parts stay, two go", "rgb \"1,2,3\"\n",
       "rgb=1,2,3 category-era=1800s category-class=ZX category-region=00 kestro-build=2.9"},
      {"numbered bogeys start at 0", "kind \"traincar\"\nbogey-1 <kuid:1:2>\nbogey-2 <kuid:1:3>\n",
       "kind=traincar bogey-1=<kuid:1:2> bogey-2=<kuid:1:3> bogeys{} category-era=1800s "
       "category-class=ZX category-region=00 kestro-build=2.9"},
      {"plain and reversed bogey of index 0", "kind \"traincar\"\nbogey-0 <kuid:1:2>\n"
       "bogey-0-r <kuid:1:3>\n",
       "kind=traincar bogeys{0{bogey=<kuid:1:2> reversed=0} 1{bogey=<kuid:1:3> reversed=1}} "
       "category-era=1800s category-class=ZX category-region=00 kestro-build=2.9"},
      {"renames and the name purge",
       "auteur \"a\"\nauthor \"b\"\norganization \"o\"\norganisation \"p\"\n"
       "2 \"x\"\n__ \"y\"\na_1 \"z\"\n",
       "organisation=p a_1=z category-era=1800s category-class=ZX category-region=00 author=a "
       "kestro-build=2.9"},
  };
  for (const auto& c : cases) EXPECT_EQ(Compact(Upgraded(Parse(c.in))), c.out) << c.what;
}

TEST_F(LegacyUpgradeTest, CleanUpKeepsKnownTagsFromFragmentsAndAssetTags) {
  Soup config = Parse(
      "description \"d\"\nis \"x\"\nkind \"traincar\"\nwords \"y\"\nasset-id \"a\"\n"
      "asset-x \"b\"\nkuid <kuid:1:2>\n");
  TETLib::RemoveDescriptionFragments(config);
  TETLib::RemoveAssetTags(config);
  EXPECT_EQ(Compact(config), "description=d kind=traincar words=y asset-id=a kuid=<kuid:1:2>");
  Soup stopped = Parse("description \"d\"\nsub\n{\n}\nis \"x\"\n");
  TETLib::RemoveDescriptionFragments(stopped);
  EXPECT_EQ(Compact(stopped), "description=d sub{} is=x");
  EXPECT_TRUE(TETLib::IsKnownTopLevelTag(Qel::PString("asset-id")));
  EXPECT_FALSE(TETLib::IsKnownTopLevelTag(Qel::PString("Kind")));
}

}  // namespace
