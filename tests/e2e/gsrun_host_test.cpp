// A script run by gsrun under the host's context against an installation and its daemon: it
// finds installed assets by kind and category, and reads their names, descriptions,
// dependencies and configuration values through the Asset class. The stand-in daemon resolves a
// KUID it does not know to itself, so such a KUID gives an Asset object with empty answers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "scripthost/script_probe.h"
#include "support/install_root.h"
#include "support/scratch_folder.h"

namespace {

using kestro_test::InstallRoot;
using kestro_test::ToolRun;

constexpr const char* kDataDir = KESTRO_TEST_DATA_DIR "/../../data/data";

// Inner calls that give objects go through locals first.
constexpr const char* kShow = R"(include "Kestro.gs"
class Show {
  KUID Parse(string text) {
    Soup s = ConstructorsBase.NewSoup();
    s.SetNamedTag("k", text);
    return s.GetNamedTagAsKUID("k");
  }
  void Describe(Asset a) {
    KUID k = a.GetKUID();
    string line = k.GetHTMLString() + " " + a.GetLocalisedName() + ": " + a.GetLocalisedDescription();
    KUIDList needs = a.GetDependencyList();
    int i;
    for (i = 0; i < needs.CountKUIDs(); i++) {
      KUID need = needs.GetIndexedKUID(i);
      line = line + " needs " + need.GetHTMLString();
    }
    Soup config = a.GetConfigSoup();
    line = line + " colour=" + config.GetNamedTag("colour") + " locked=" + config.IsLocked();
    KestroScriptBase.Log(line);
  }
  public string Run() {
    Asset[] scenery = KestroScriptBase.GetAssetList("Scenery");
    int i;
    for (i = 0; i < scenery.size(); i++) Describe(scenery[i]);
    Asset[] locos = KestroScriptBase.GetAssetList("traincar", "locomotive");
    for (i = 0; i < locos.size(); i++) Describe(locos[i]);
    Asset[] none = KestroScriptBase.GetAssetList("nosuchkind");
    KUID[] vehicles = KestroScriptBase.SearchAssets("tv", true);
    KUID shed = Parse("<kuid:400300:1>");
    Asset found = KestroScriptBase.FindAsset(shed);
    KUID missing = Parse("<kuid:400300:99>");
    Asset absent = KestroScriptBase.FindAsset(missing);
    return scenery.size() + "," + locos.size() + "," + none.size() + "," + vehicles.size() + "," +
           (found == scenery[0]) + ",[" + absent.GetLocalisedName() + "]," +
           KestroScriptBase.GetNormalizedSystemTime() + "," + KestroScriptBase.GetSystemYear();
  }
};
)";

TEST(GsrunHostTest, AScriptFindsInstalledAssetsAndReadsThemThroughTheDaemon) {
  InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
  ASSERT_TRUE(root.IsReady()) << root.Error();
  root.WriteFile("UserData/local/shed/config.txt",
                 "kuid <kuid:400300:1>\nusername \"Shed\"\nkind \"scenery\"\n"
                 "category-class \"SY;SCEN\"\ndescription \"A wooden shed\"\ncolour \"red\"\n"
                 "kuid-table {\n  roof <kuid:400300:3>\n}\n");
  root.WriteFile("UserData/local/loco/config.txt",
                 "kuid <kuid:400300:2>\nusername \"Loco\"\nkind \"traincar\"\n"
                 "category-class \"TR;TV;LOCO\"\ndescription \"Green engine\"\ncolour \"green\"\n");
  root.WriteFile("UserData/local/roof/config.txt",
                 "kuid <kuid:400300:3>\nusername \"Roof\"\nkind \"mesh\"\n");

  const std::unique_ptr<scratch::Folder> compiled(script_probe::Compile("show.gs", kShow));
  const scratch::Folder& scripts = *compiled;

  const ToolRun run = root.RunProgram(
      KESTRO_BINARY_DIR "/gsrun", {"--root", root.Root(), "--host", "--time", "2024-03-05T18:00:00",
                                   "--lib", scripts.path(), "--class", "Show", "--call", "Run"});
  EXPECT_EQ(run.out,
            "<kuid:400300:1> Shed: A wooden shed needs <kuid:400300:3> colour=red locked=true\n"
            "<kuid:400300:2> Loco: Green engine colour=green locked=true\n"
            "result: 1,1,0,1,true,[],0.250000,2024\n")
      << run.err;
  EXPECT_EQ(run.exitCode, 0);

  // Without the host's context the same natives refuse the call.
  const ToolRun plain = root.RunProgram(
      KESTRO_BINARY_DIR "/gsrun",
      {"--root", root.Root(), "--lib", scripts.path(), "--class", "Show", "--call", "Run"});
  EXPECT_NE(plain.out.find("ER_NativeCallError"), std::string::npos) << plain.out;
  EXPECT_EQ(plain.exitCode, 1);
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A library asset: its Init logs once per context and its properties are one note.
constexpr const char* kCounter = R"(include "Kestro.gs"
include "Library.gs"
class Counter isclass Library {
  string note = "first";
  public void Init(Asset self) {
    inherited(self);
    KestroScriptBase.Log("Counter Init note=" + note);
  }
  public void SetProperties(Soup soup) {
    note = soup.GetNamedTag("note");
    KestroScriptBase.Log("Counter restored note=" + note);
  }
  public Soup GetProperties() {
    Soup soup = ConstructorsBase.NewSoup();
    soup.SetNamedTag("note", note);
    return soup;
  }
};
)";

constexpr const char* kUseLibrary = R"(include "Kestro.gs"
class UseLibrary {
  KUID Parse(string text) {
    Soup s = ConstructorsBase.NewSoup();
    s.SetNamedTag("k", text);
    return s.GetNamedTagAsKUID("k");
  }
  public string Run() {
    KUID k = Parse("<kuid:400300:20>");
    Library first = KestroScriptBase.GetLibrary(k);
    Library again = KestroScriptBase.GetLibrary(k);
    KUID other = Parse("<kuid:400300:1>");
    Library none = KestroScriptBase.GetLibrary(other);
    string answer = first.LibraryCallNative("ping", null, null);
    return (first == again) + ",[" + answer + "]," + (none == null);
  }
  public string Nothing() { return "none"; }
};
)";

TEST(GsrunHostTest, AnInstalledLibraryRunsOnceAndItsPropertiesSurviveTheWorldList) {
  InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
  ASSERT_TRUE(root.IsReady()) << root.Error();
  // The standard sources are the include root of asset scripts, as an installation lays them out.
  std::error_code ec;
  std::filesystem::copy(KESTRO_TEST_DATA_DIR "/../../gslib", root.Root() + "/scripts",
                        std::filesystem::copy_options::recursive, ec);
  ASSERT_FALSE(ec) << ec.message();
  root.WriteFile("UserData/local/counter/config.txt",
                 "kuid <kuid:400300:20>\nusername \"Counter\"\nkind \"library\"\n"
                 "script \"counter\"\nclass \"Counter\"\n");
  root.WriteFile("UserData/local/counter/counter.gs", kCounter);
  root.WriteFile("UserData/local/shed/config.txt",
                 "kuid <kuid:400300:1>\nusername \"Shed\"\nkind \"scenery\"\n");
  const std::unique_ptr<scratch::Folder> compiled(script_probe::Compile("use.gs", kUseLibrary));
  const std::string world = root.Root() + "/world.bin";
  const std::vector<std::string> args = {"--root", root.Root(), "--host", "--world", world,
                                         "--lib", compiled->path(), "--class", "UseLibrary",
                                         "--call", "Run"};

  const ToolRun first = root.RunProgram(KESTRO_BINARY_DIR "/gsrun", args);
  EXPECT_EQ(first.out,
            "Counter Init note=first\n"
            "Library.LibraryCall> unknown function 'ping' was called on object "
            "'<kuid:400300:20> \"Counter\"'\n"
            "result: true,[],true\n")
      << first.err;
  const std::string saved = ReadWhole(world);
  EXPECT_NE(saved.find("first"), std::string::npos);

  const ToolRun second = root.RunProgram(KESTRO_BINARY_DIR "/gsrun", args);
  EXPECT_NE(second.out.find("Counter Init note=first\nCounter restored note=first\n"),
            std::string::npos)
      << second.out << second.err;
  EXPECT_EQ(ReadWhole(world), saved);

  // A run that never asks for the library keeps its saved properties too.
  std::vector<std::string> idle = args;
  idle.back() = "Nothing";
  const ToolRun third = root.RunProgram(KESTRO_BINARY_DIR "/gsrun", idle);
  EXPECT_EQ(third.out, "result: none\n") << third.err;
  EXPECT_EQ(ReadWhole(world), saved);
}

}  // namespace
