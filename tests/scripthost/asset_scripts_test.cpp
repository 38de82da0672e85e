// Asset scripts compiled into the per-asset library cache, through PymCompileAsset and through
// the script side of the asset specification, in a scratch installation without a daemon.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_environment.h"
#include "gscompiler/gs_source_file.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "pymclient/asset_spec_lookup.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/resource_db_cache.h"
#include "pymclient/spec_registry.h"
#include "scripthost/gso_library.h"
#include "scripthost/kestro_script_spec.h"
#include "scripthost/pym_compile_asset.h"
#include "scripthost/script_system.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kHello =
    "class Hello {\n"
    "  public int Greet(int times) { return times * 2; }\n"
    "};\n";

class AssetScriptsTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(InitInstallPaths(Qel::File::Path(root_.c_str())));
    CreateUserDataFolders();
    CreateSpecRegistry();
    // The standard libraries the script system binds, as an installation ships them.
    fs::create_directories(fs::path(root_) / "bin" / "libraries");
    for (const auto& entry : fs::directory_iterator(KESTRO_BINARY_DIR "/libraries")) {
      fs::copy_file(entry.path(), fs::path(root_) / "bin" / "libraries" / entry.path().filename());
    }
    GSMachine::ResetForTests();
    ScriptHost::ResetScriptSystemForTests();
    InstallScriptSpecFactory();
  }
  void TearDown() override {
    SetScriptSystemSetUp(nullptr);
    SetKestroBaseSpecMaker(nullptr);
    DeleteSpecRegistry();
    ReleaseContentDatabases();
    EvictUnusedResourceDatabases();
    ClearInstallPaths();
  }

  void Write(const std::string& relative, const std::string& text) const {
    const fs::path path = fs::path(root_) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  std::string Asset(const std::string& name) const { return root_ + "/UserData/local/" + name; }
  std::string Cache(const std::string& spacedKuid) const {
    return root_ + "/UserData/cache/libraries/" + spacedKuid;
  }
  std::vector<std::string> Libraries(const std::string& spacedKuid) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Cache(spacedKuid), ec)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
  bool Compile(const std::string& name, ResultsLog& log) const {
    return PymCompileAsset("local", Qel::File::Path(Asset(name).c_str()), log);
  }

  scratch::Folder scratch_;
  std::string root_ = scratch_.path();
};

std::vector<std::string> Texts(ResultsLog& log) {
  std::vector<std::string> texts;
  for (const ResultsLogEntry& entry : log.GetEntries()) texts.emplace_back(entry.text.CStr());
  return texts;
}

TEST_F(AssetScriptsTest, CachesTheLibraryReusesItAndCompilesAnEditedSourceAfresh) {
  // A folder with only the text form of the configuration.
  Write("UserData/local/hello/config.txt",
        "kuid <kuid:400100:5001>\nkind \"scenery\"\nkestro-build 3.5\nscript \"Hello\"\n"
        "class \"Hello\"\n");
  Write("UserData/local/hello/hello.gs", kHello);
  ResultsLog log;
  ASSERT_TRUE(Compile("hello", log)) << testing::PrintToString(Texts(log));
  EXPECT_EQ(log.CountEntries(), 0u);
  std::vector<std::string> first = Libraries("kuid 400100 5001");
  ASSERT_EQ(first.size(), 1u);
  const fs::path library = fs::path(Cache("kuid 400100 5001")) / first[0];
  const auto stamp = fs::file_time_type(std::chrono::hours(24 * 365 * 30));
  fs::last_write_time(library, stamp);

  ResultsLog again;
  EXPECT_TRUE(Compile("hello", again));
  EXPECT_EQ(fs::last_write_time(library), stamp) << "a second validation compiles nothing";

  Write("UserData/local/hello/hello.gs", std::string(kHello) + "class Extra {};\n");
  ResultsLog edited;
  EXPECT_TRUE(Compile("hello", edited));
  EXPECT_EQ(Libraries("kuid 400100 5001").size(), 2u) << "an edited source is a new library";
}

// Without a daemon every asset counts as prebuilt (the cautious answer), so a missing cache folder
// is filled from the installation's prebuilt libraries, which are then used as they are: here a
// library with one more class, under the identity of the asset's source.
TEST_F(AssetScriptsTest, AMissingCacheFolderIsFilledFromThePrebuiltLibraries) {
  Write("UserData/local/hello/config.txt",
        "kuid <kuid:400100:5050>\nscript \"hello\"\nclass \"Hello\"\n");
  Write("UserData/local/hello/hello.gs", kHello);
  ResultsLog first;
  ASSERT_TRUE(Compile("hello", first));
  const std::vector<std::string> names = Libraries("kuid 400100 5050");
  ASSERT_EQ(names.size(), 1u);
  fs::remove_all(Cache("kuid 400100 5050"));

  Write("variant/hello.gs", std::string(kHello) + "class Prebuilt { };\n");
  ASSERT_EQ(CompileLibraryFile((root_ + "/variant/hello.gs").c_str(), nullptr, nullptr, nullptr),
            0);
  std::string bytes = scratch::ReadAll(root_ + "/variant/hello.gsl");
  const auto word = [](u32 value) { return std::string(reinterpret_cast<const char*>(&value), 4); };
  const std::string variantId = bytes.substr(12, 4);
  const std::string sourceId = word(u32(std::stoul(names[0].substr(0, 8), nullptr, 16)));
  for (size_t at = bytes.find(variantId); at != std::string::npos; at = bytes.find(variantId, at))
    bytes.replace(at, 4, sourceId);
  Write("prebuilt/asset-libraries/kuid 400100 5050/" + names[0], bytes);

  // A fresh process, which has not loaded the library compiled above.
  GSMachine::ResetForTests();
  ResultsLog again;
  EXPECT_TRUE(Compile("hello", again)) << testing::PrintToString(Texts(again));
  EXPECT_EQ(Libraries("kuid 400100 5050"), names);
  // The compile's own registration is gone with it: the file left in the cache is read here.
  GSMachine& machine = GSMachine::Instance();
  ASSERT_TRUE(machine.AddLibrary("", Cache("kuid 400100 5050"), names[0]));
  GSRuntime::GSLibrary* library = machine.FindLibrary(Cache("kuid 400100 5050") + "/" + names[0]);
  ASSERT_NE(library, nullptr);
  EXPECT_NE(library->FindClass("Prebuilt"), nullptr) << "the prebuilt library, not a new compile";
}

// A command host validates for days: each script, compiled and linked, leaves the script machine
// holding what it held before; the standard libraries stay loaded.
TEST_F(AssetScriptsTest, DistinctScriptsLeaveTheScriptMachineAsItWas) {
  Write("scripts/gs.gs", scratch::ReadAll(KESTRO_TEST_DATA_DIR "/../../gslib/gs.gs"));
  Write("UserData/local/probe/config.txt",
        "kuid <kuid:400100:5060>\nscript \"probe\"\nclass \"Probe\"\n");
  Write("UserData/local/probe/part.gs", "include \"gs.gs\"\nclass Part isclass GameObject { };\n");
  const auto compile = [&](int i) {
    Write("UserData/local/probe/probe.gs",
          "include \"part.gs\"\nclass Probe isclass Part {\n  public int Which() { return " +
              std::to_string(i) + "; }\n};\n");
    ResultsLog log;
    EXPECT_TRUE(Compile("probe", log)) << i << testing::PrintToString(Texts(log));
  };
  const GSMachine& machine = GSMachine::Instance();
  const auto loaded = [&] {
    std::vector<std::string> names;
    for (auto* node = machine.Libraries().First(); node != nullptr;
         node = machine.Libraries().Next(node)) {
      names.push_back(static_cast<GSRuntime::GSLibrary*>(node)->name);
    }
    return names;
  };
  compile(0);
  const std::vector<std::string> standard = loaded();
  EXPECT_EQ(std::count(standard.begin(), standard.end(), "gs.gs"), 1);
  for (const char* unit : {"part.gs", "probe.gs"})
    EXPECT_EQ(std::count(standard.begin(), standard.end(), unit), 0) << unit;
  const size_t registrations = machine.RegistrationCount();
  const size_t functions = machine.FunctionCount();
  for (int i = 1; i <= 30; ++i) compile(i);
  EXPECT_EQ(loaded(), standard);
  EXPECT_EQ(machine.RegistrationCount(), registrations);
  EXPECT_EQ(machine.FunctionCount(), functions);
  EXPECT_EQ(Libraries("kuid 400100 5060").size(), 32u) << "each script was compiled";
}

TEST_F(AssetScriptsTest, EachFailureAddsOneErrorOfItsOwnOrTheCompilersMessages) {
  Write("UserData/local/nokuid/config.txt", "kind \"scenery\"\nscript \"hello\"\n");
  Write("UserData/local/plain/config.txt", "kuid <kuid:400100:5002>\nkind \"scenery\"\n");
  Write("UserData/local/noprimary/config.txt", "kuid <kuid:400100:5003>\nscript \"absent\"\n");
  Write("UserData/local/noprimary/other.gs", kHello);
  Write("UserData/local/climbs/config.txt", "kuid <kuid:400100:5004>\nscript \"../hello\"\n");
  Write("UserData/local/absolute/config.txt", "kuid <kuid:400100:5005>\nscript \"/tmp/x/hello\"\n");
  Write("UserData/local/broken/config.txt", "kuid <kuid:400100:5006>\nscript \"broken\"\n");
  Write("UserData/local/broken/broken.gs", "class Broken {\n  public int F( { return 1; }\n};\n");
  Write("UserData/local/noclass/config.txt",
        "kuid <kuid:400100:5007>\nscript \"hello\"\nclass \"Missing\"\n");
  Write("UserData/local/noclass/hello.gs", kHello);

  struct Case {
    const char* folder;
    bool compiled;
    std::vector<std::string> errors;  // empty with `compiler`: the compiler's own messages
    bool compiler = false;
  };
  const Case cases[] = {
      {"nokuid", false, {"PymCompileAsset unable to determine asset KUID"}},
      {"nothere", false, {"PymCompileAsset unable to load asset config"}},
      {"plain", true, {}},
      {"noprimary",
       false,
       {"Unable to locate primary script source file '" + Asset("noprimary") + "/absent.gs'"}},
      {"climbs", false, {"Script path '../hello' leaves the asset's folder."}},
      {"absolute", false, {"Script path '/tmp/x/hello' leaves the asset's folder."}},
      {"broken", false, {}, true},
      {"noclass", false, {"Unable to link compiled script class."}},
  };
  for (const Case& c : cases) {
    ResultsLog log;
    EXPECT_EQ(Compile(c.folder, log), c.compiled) << c.folder;
    const std::vector<std::string> texts = Texts(log);
    EXPECT_EQ(log.GetErrorCount(), texts.size()) << c.folder << ": every entry is an error";
    if (!c.compiler) {
      EXPECT_EQ(texts, c.errors) << c.folder;
      continue;
    }
    ASSERT_FALSE(texts.empty()) << c.folder;
    EXPECT_EQ(texts[0].rfind("broken.gs(2) : ", 0), 0u) << texts[0];
    for (const std::string& text : texts) EXPECT_NE(text, "Failed to compile asset") << c.folder;
  }
}

// A live asset specification of the KUID is used when it can compile, refused when it cannot,
// and taken out of the registry's index either way.
TEST_F(AssetScriptsTest, ALiveAssetSpecificationIsUsedOnlyWhenItCarriesTheScriptSide) {
  Write("UserData/local/hello/config.txt",
        "kuid <kuid:400100:5040>\nscript \"hello\"\nclass \"Hello\"\n");
  Write("UserData/local/hello/hello.gs", kHello);
  const KUID kuid(400100, 5040, 0);
  for (const bool scripted : {false, true}) {
    SetKestroBaseSpecMaker(nullptr);
    if (scripted) InstallScriptSpecFactory();
    SpecPointer live;
    LoadAssetSpec(live, Qel::File::Path(Asset("hello").c_str()), "local", nullptr, false);
    ASSERT_TRUE(live) << scripted;
    ResultsLog log;
    EXPECT_EQ(Compile("hello", log), scripted);
    EXPECT_EQ(Texts(log),
              scripted ? std::vector<std::string>{}
                       : std::vector<std::string>{"Asset of wrong spec type for compilation"});
    EXPECT_EQ(SpecRegistry::GetCurrent()->GetIndexed(kuid), nullptr) << scripted;
  }
}

TEST_F(AssetScriptsTest, AFailedSetUpIsReportedAndTheCompilerEnvironmentComesBack) {
  SetScriptSystemSetUp([] { return false; });
  ResultsLog refused;
  EXPECT_FALSE(Compile("any", refused));
  EXPECT_EQ(Texts(refused),
            std::vector<std::string>{"PymCompileAsset unable to initialise script system"});
  SetScriptSystemSetUp(nullptr);

  Write("UserData/local/broken/config.txt", "kuid <kuid:400100:5010>\nscript \"broken\"\n");
  Write("UserData/local/broken/broken.gs", "class Broken { int };\n");
  Write("UserData/local/good/config.txt",
        "kuid <kuid:400100:5011>\nscript \"hello\"\nclass \"Hello\"\n");
  Write("UserData/local/good/hello.gs", kHello);
  IncludePathList& list = GetIncludeSearchList();
  list.Clear();
  list.Add("caller/folder", Qel::PString());
  for (const char* folder : {"broken", "good"}) {
    ResultsLog log;
    GSSourceFile::SetPendingPrefix(Qel::PString("left over"));
    EXPECT_EQ(Compile(folder, log), std::string(folder) == "good")
        << folder << testing::PrintToString(Texts(log));
    ASSERT_EQ(list.Count(), 1u) << folder;
    EXPECT_STREQ(list[0].folder.CStr(), "caller/folder") << folder;
    EXPECT_TRUE(GSSourceFile::GetPendingPrefix().IsEmpty()) << folder;
  }
  list.Clear();
}

TEST_F(AssetScriptsTest, ASlashAndAPlainNameIsAnInstallationLibrary) {
  const struct {
    const char* script;
    bool accepted;
  } paths[] = {{"/shared", true},    {"/a/b", false}, {"../b", false},
               {"a/../../b", false}, {"c:/b", false}, {"sub/b", true}};
  for (const auto& p : paths) {
    Soup config;
    config.EnsureContainer();
    config.SetNamedTag("script", p.script);
    Qel::PString className;
    Qel::File::Path path;
    EXPECT_EQ(ReadAssetScriptInfo(config, className, path), p.accepted) << p.script;
  }

  // Found in the installation's library folder first, then in the user's.
  Write("scratch/shared.gs", "class Shared { public int Which() { return 1; } };\n");
  Write("scratch/usersonly.gs", "class UsersOnly { };\n");
  fs::create_directories(root_ + "/bin/libraries");
  ASSERT_EQ(CompileLibraryFile((root_ + "/scratch/shared.gs").c_str(),
                               (root_ + "/bin/libraries/").c_str(), nullptr, nullptr),
            0);
  ASSERT_EQ(CompileLibraryFile((root_ + "/scratch/usersonly.gs").c_str(),
                               (root_ + "/UserData/libraries/").c_str(), nullptr, nullptr),
            0);
  const struct {
    const char* script;
    const char* className;
  } libraries[] = {{"/shared", "Shared"}, {"/UsersOnly", "UsersOnly"}};
  for (const auto& l : libraries) {
    const std::string folder = Asset(l.className);
    Write("UserData/local/" + std::string(l.className) + "/config.txt",
          "kuid <kuid:400100:5020>\nscript \"" + std::string(l.script) + "\"\nclass \"" +
              l.className + "\"\n");
    Soup config;
    ASSERT_TRUE(config.LoadFile(nullptr, (folder + "/config.txt").c_str(), nullptr));
    const Qel::String location(folder.c_str());
    const Qel::String sub;
    KestroScriptSpec spec(KUID(400100, 5020, 0), &location, &sub, Qel::PString("local"), config);
    ResultsLog log;
    EXPECT_TRUE(spec.CompileScripts(&log)) << l.script;
    EXPECT_NE(spec.GetScriptFlags() & KestroScriptSpec::kScriptInstallationLibrary, 0) << l.script;
    EXPECT_FALSE(fs::exists(Cache("kuid 400100 5020"))) << "nothing is compiled for " << l.script;
    GSRuntime::GSClass* cls = spec.GetGSClass();
    ASSERT_NE(cls, nullptr) << l.script;
    EXPECT_TRUE(cls->IsA(l.className));
  }
}

// Two assets whose primary sources are equal but whose includes differ, and an include edited
// under a cached library: each runs the code of its own includes.
TEST_F(AssetScriptsTest, ALibraryIsReusedOnlyWhenItsIncludedUnitsMatch) {
  const std::string loco = "include \"part.gs\"\nclass Loco isclass Part { };\n";
  const auto part = [](const char* base) {
    return "class " + std::string(base) + " { };\nclass Part isclass " + base + " { };\n";
  };
  Write("UserData/local/a/loco.gs", loco);
  Write("UserData/local/a/part.gs", part("PartA"));
  Write("UserData/local/b/loco.gs", loco);
  Write("UserData/local/b/part.gs", part("PartB"));
  const auto load = [&](const char* name, const KUID& kuid) {
    Soup config;
    config.EnsureContainer();
    config.SetNamedKUID("kuid", kuid);
    config.SetNamedTag("script", "loco");
    config.SetNamedTag("class", "Loco");
    const Qel::String location(Asset(name).c_str());
    const Qel::String sub;
    return std::make_unique<KestroScriptSpec>(kuid, &location, &sub, Qel::PString("local"), config);
  };
  const auto classOf = [](KestroScriptSpec& spec) -> GSRuntime::GSClass* {
    ResultsLog log;
    const bool compiled = spec.CompileScripts(&log);
    EXPECT_TRUE(compiled) << testing::PrintToString(Texts(log));
    return compiled ? spec.GetGSClass() : nullptr;
  };

  const struct {
    const char* asset;
    KUID kuid;
    const char* base;
    const char* other;
  } runs[] = {
      {"a", KUID(400100, 5030, 0), "PartA", "PartB"},
      {"b", KUID(400100, 5031, 0), "PartB", "PartA"},
      {"a", KUID(400100, 5030, 0), "PartA", "PartB"},
  };
  for (const auto& run : runs) {
    auto spec = load(run.asset, run.kuid);
    GSRuntime::GSClass* cls = classOf(*spec);
    ASSERT_NE(cls, nullptr) << run.asset;
    EXPECT_TRUE(cls->IsA(run.base)) << run.asset;
    EXPECT_FALSE(cls->IsA(run.other)) << run.asset;
  }

  Write("UserData/local/a/part.gs", part("PartC"));
  auto spec = load("a", KUID(400100, 5030, 0));
  GSRuntime::GSClass* cls = classOf(*spec);
  ASSERT_NE(cls, nullptr);
  EXPECT_TRUE(cls->IsA("PartC")) << "the cached library of an unchanged source was rebuilt";
}

}  // namespace
