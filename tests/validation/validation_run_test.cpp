// The validation of an asset folder through the whole run: configurations with one fault each and
// the exact finding each gives, file names that would leave the asset, rules placed where the tree
// lacks what they need, and one asset's validation never changing the next one's.
#include "validation/validation_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "assetdata/results_log.h"
#include "support/scratch_folder.h"
#include "validation/data_manager.h"
#include "validation/error_handler.h"

namespace {

using TETLib::DataManager;
using TETLib::ErrorHandler;

constexpr const char* kKinds = R"(
thing
{
  top-level 1
  subpossibilities
  {
    kind
    {
      type "string"
    }
    kestro-build
    {
      type "float"
    }
    kuid
    {
      type "kuid"
    }
    username
    {
      type "string"
    }
    alias
    {
      type "kuid"
    }
    count
    {
      type "int"
      validation
      {
        isnotzero ""
        ispositive ""
      }
    }
    speed
    {
      type "float"
      validation
      {
        range
        {
          min 1
          max 5
        }
      }
    }
    size3
    {
      type "floatlist"
      validation
      {
        arraysize
        {
          size 3
        }
      }
    }
    pos
    {
      type "vector3"
    }
    file
    {
      type "filepath"
      datatype "image"
      validation
      {
        fileexists ""
      }
    }
    script
    {
      type "filepath"
      datatype "script"
      validation
      {
        scriptfileexists ""
      }
    }
    first
    {
      type "string"
      validation
      {
        mustbepaired
        {
          0 "first"
          1 "second"
        }
      }
    }
    second
    {
      type "string"
    }
    lamp
    {
      type "string"
      validation
      {
        mustbeinlightcontainer ""
      }
    }
    thing
    {
      type "string"
      validation
      {
        notownparent ""
      }
    }
    colour
    {
      type "combobox"
      source "colours"
    }
    pick
    {
      type "combobox"
      source "mesh-table"
    }
    part
    {
      kind "element"
      element-type "part"
    }
    lights
    {
      kind "element"
      element-type "lights"
    }
  }
}
pic
{
  top-level 1
  subpossibilities
  {
    kind
    {
      type "string"
    }
    kestro-build
    {
      type "float"
    }
    texture
    {
      type "filepath"
      datatype "image"
    }
  }
  validation
  {
    hasvalidtexturefile ""
  }
}
)";

constexpr const char* kContainers = R"(
part
{
  subpossibilities
  {
    lamp
    {
      type "string"
      validation
      {
        mustbeinlightcontainer ""
      }
    }
  }
}
lights
{
  array-element
  {
    container-type0 "light"
  }
}
light
{
  subpossibilities
  {
    colour
    {
      type "string"
    }
  }
}
)";

constexpr const char* kHead =
    "kind \"thing\"\nkestro-build 3.5\nkuid <kuid:400100:77>\nusername \"Good\"\n";

class ValidationRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Put("tet/inheritance.txt", "");
    dir_.Put("tet/kind.txt", kKinds);
    dir_.Put("tet/container.txt", kContainers);
    dir_.Put("tet/lists/colours", "red\ngreen\n");
    // Files beside the asset that no name of it may reach.
    dir_.Put("lamp.gs", "class Lamp {};\n");
    dir_.Put("outside.tga", "x");
    Start();
  }
  void TearDown() override { Stop(); }

  void Start() {
    ErrorHandler::CreateInstance();
    ASSERT_TRUE(DataManager::CreateInstance(dir_.At("tet").c_str()));
  }
  void Stop() {
    DataManager::DestroyInstance();
    ErrorHandler::DestroyInstance();
  }

  // The asset folder has capitals, which the lookup of a value must keep.
  std::string Asset() const { return dir_.At("Asset"); }

  // Validates a fresh asset of that configuration and files; each entry as "E text" or "W text",
  // with " @<KUID>" when it names the asset.
  std::vector<std::string> Validate(const std::string& config,
                                    const std::vector<std::string>& files = {},
                                    bool* passed = nullptr) {
    std::filesystem::remove_all(Asset());
    dir_.Put("Asset/config.txt", config);
    for (const std::string& file : files) dir_.Put("Asset/" + file, "x");
    ResultsLog log;
    const bool ok =
        TETLib::ValidateAssetFolder(&log, Qel::PString(), Qel::File::Path(Asset().c_str()), false);
    if (passed != nullptr) *passed = ok;
    std::vector<std::string> out;
    for (const ResultsLogEntry& e : log.GetEntries()) {
      std::string line = (e.type == ResultsLog::kError ? "E " : "W ") + std::string(e.text.CStr());
      out.push_back(line);
    }
    return out;
  }

  scratch::Folder dir_;
};

TEST_F(ValidationRunTest, EachFaultyConfigurationGivesItsFinding) {
  const std::string outside = dir_.At("outside.tga");
  const struct Case {
    const char* what;
    std::string config;
    std::vector<std::string> files;
    std::vector<std::string> findings;
  } cases[] = {
      {"good", kHead, {}, {}},
      {"zero", std::string(kHead) + "count 0\n", {}, {"E $tet_val_notzero 'count'"}},
      {"negative", std::string(kHead) + "count -2\n", {}, {"E $tet_val_notpositive 'count'"}},
      {"range",
       std::string(kHead) + "speed 7\n",
       {},
       {"E $tet_val_notwithinrange 'speed' '1' '5'"}},
      {"bound", std::string(kHead) + "speed 5\n", {}, {}},
      {"array",
       std::string(kHead) + "size3 \"1,2\"\n",
       {},
       {"E $tet_val_arraywrongsize 'size3' '3' '2'"}},
      {"vector",
       std::string(kHead) + "pos \"1,2\"\n",
       {},
       {"E $tet_val_arraywrongsize 'pos' '3' '2'"}},
      {"missing file",
       std::string(kHead) + "file \"a.tga\"\n",
       {},
       {"E $tet_val_file_dne 'a.tga'"}},
      {"climbing file",
       std::string(kHead) + "file \"../outside.tga\"\n",
       {},
       {"E $tet_val_file_dne '../outside.tga'"}},
      {"absolute file",
       std::string(kHead) + "file \"" + outside + "\"\n",
       {},
       {"E $tet_val_file_dne '" + outside + "'"}},
      {"file in other case", std::string(kHead) + "file \"Sub\\\\Pic.TGA\"\n", {"sub/pic.tga"}, {}},
      {"wrong extension",
       std::string(kHead) + "file \"a.doc\"\n",
       {"a.doc"},
       {"E $tet_container_nopictureext 'file' 'thing'"}},
      {"climbing script",
       std::string(kHead) + "script \"../lamp\"\n",
       {},
       {"E $tet_val_scriptfiledne '../lamp'"}},
      {"script", std::string(kHead) + "script \"Lamp\"\n", {"lamp.gs"}, {}},
      {"script with its extension", std::string(kHead) + "script \"Lamp.gs\"\n", {"lamp.gs"}, {}},
      {"packed script by its plain name", std::string(kHead) + "script \"lamp.gs\"\n",
       {"lamp.gse"}, {}},
      {"script of another extension", std::string(kHead) + "script \"lamp.txt\"\n",
       {"lamp.txt"}, {"E $tet_val_scriptfiledne 'lamp.txt'"}},
      {"unpaired",
       std::string(kHead) + "first \"a\"\n",
       {},
       {"E $tet_val_mustbepaired 'first' 'second'"}},
      {"no grandparent",
       std::string(kHead) + "lamp \"0\"\n",
       {},
       {"E $tet_val_nograndparent 'lamp'"}},
      {"no light",
       std::string(kHead) + "part\n{\n  lamp \"0,7\"\n}\nlights\n{\n  0\n  {\n  }\n}\n",
       {},
       {"E $tet_val_mustbeinlightcontainer '7'"}},
      {"own parent", std::string(kHead) + "thing \"x\"\n", {}, {"E $tet_val_notownparent"}},
      {"not in list",
       std::string(kHead) + "colour \"purple\"\n",
       {},
       {"E $tet_container_emptycombobox 'colour' 'thing'"}},
      {"not registered",
       std::string(kHead) + "pick \"nothing\"\n",
       {},
       {"E $tet_container_notavalidpossibility2 'pick' 'nothing' ''"}},
      {"image as texture",
       "kind \"pic\"\nkestro-build 3.5\ntexture \"p.tga\"\n",
       {"p.tga"},
       {"E $tet_val_texturefilewrongformat 'p.tga'"}},
      {"missing texture",
       "kind \"pic\"\nkestro-build 3.5\ntexture \"p.texture\"\n",
       {},
       {"E $tet_val_texturefiledne 'p.texture'"}},
      {"future", "kind \"thing\"\nkestro-build 3.61\n", {}, {"E $tet_future_asset"}},
      {"water", "kind \"Water\"\nkestro-build 3.5\n", {}, {"W $tet_obsolete_water"}},
  };
  for (const Case& c : cases) {
    bool passed = false;
    EXPECT_EQ(Validate(c.config, c.files, &passed), c.findings) << c.what;
    EXPECT_EQ(passed, c.findings.empty() || c.findings[0][0] == 'W') << c.what;
  }
}

TEST_F(ValidationRunTest, FindingsNameTheAssetAndAMissingConfigurationIsAnError) {
  std::filesystem::remove_all(Asset());
  dir_.Put("Asset/config.txt", std::string(kHead) + "count 0\n");
  ResultsLog log;
  EXPECT_FALSE(
      TETLib::ValidateAssetFolder(&log, Qel::PString(), Qel::File::Path(Asset().c_str()), false));
  ASSERT_EQ(log.GetEntries().size(), 1u);
  EXPECT_EQ(std::string(log.GetEntries()[0].property.GetText().View()), "<kuid:400100:77>");

  std::filesystem::remove(Asset() + "/config.txt");
  ResultsLog missing;
  EXPECT_FALSE(TETLib::ValidateAssetFolder(&missing, Qel::PString(),
                                           Qel::File::Path(Asset().c_str()), false));
  EXPECT_EQ(missing.GetErrorCount(), 1u);
}

// A link inside the asset is followed only while it stays inside.
TEST_F(ValidationRunTest, ALinkOutOfTheAssetIsAMissingFile) {
  std::filesystem::remove_all(Asset());
  dir_.Put("Asset/in.tga", "x");
  std::filesystem::create_symlink(dir_.At("outside.tga"), Asset() + "/out.tga");
  std::filesystem::create_symlink("in.tga", Asset() + "/near.tga");
  std::filesystem::create_symlink(dir_.path(), Asset() + "/up");
  const struct {
    const char* value;
    bool found;
  } cases[] = {{"out.tga", false}, {"near.tga", true}, {"up/outside.tga", false}};
  for (const auto& c : cases) {
    dir_.Put("Asset/config.txt", std::string(kHead) + "file \"" + c.value + "\"\n");
    ResultsLog log;
    TETLib::ValidateAssetFolder(&log, Qel::PString(), Qel::File::Path(Asset().c_str()), false);
    EXPECT_EQ(log.GetErrorCount(), c.found ? 0u : 1u) << c.value;
  }
}

TEST_F(ValidationRunTest, AnAssetAfterAnotherIsValidatedAsAlone) {
  const std::string b = std::string(kHead) + "pick \"nothing\"\ncount 0\n";
  const std::vector<std::string> fresh = Validate(b);
  ASSERT_EQ(fresh.size(), 2u);
  Stop();
  Start();
  // An alias, mesh findings and a failed rule in the first asset change nothing for the second.
  Validate(std::string(kHead) + "alias <kuid:1:2>\npick \"other\"\nspeed 9\n");
  EXPECT_EQ(Validate(b), fresh);
}

}  // namespace
