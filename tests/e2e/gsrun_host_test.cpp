// A script run by gsrun under the host's context against an installation and its daemon: it
// finds installed assets by kind and category, and reads their names, descriptions,
// dependencies and configuration values through the Asset class; a KUID the database does not
// know finds nothing. Library assets run once per context, call their native plug-ins and trade
// security tokens. The run's clock, interface text, program log and online access are gsrun's
// own: each is tried against what a script sees of it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "online/oapeer_process.h"
#include "scripthost/script_probe.h"
#include "support/command_run.h"
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
           (found == scenery[0]) + "," + (absent == null) + "," +
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
            "result: 1,1,0,1,true,true,0.250000,2024\n")
      << run.err;
  EXPECT_EQ(run.exitCode, 0);

  // Without the host's context the same natives refuse the call.
  const ToolRun plain = root.RunProgram(
      KESTRO_BINARY_DIR "/gsrun",
      {"--root", root.Root(), "--lib", scripts.path(), "--class", "Show", "--call", "Run"});
  EXPECT_NE(plain.out.find("ER_NativeCallError"), std::string::npos) << plain.out;
  EXPECT_EQ(plain.exitCode, 1);
}

// The standard sources are the include root of asset scripts, as an installation lays them out.
// The error's text; empty when they are in place.
std::string AddScriptSources(const InstallRoot& root) {
  std::error_code ec;
  std::filesystem::copy(KESTRO_TEST_DATA_DIR "/../../gslib", root.Root() + "/scripts",
                        std::filesystem::copy_options::recursive, ec);
  return ec ? ec.message() : std::string();
}

// A library asset in UserData/local/<folder>: its configuration (with `extra` lines) and its one
// source, <script>.gs, whose class is `cls`.
void AddLibraryAsset(const InstallRoot& root, const std::string& folder, const std::string& kuid,
                     const std::string& script, const std::string& cls, const char* source,
                     const std::string& extra = "") {
  const std::string at = "UserData/local/" + folder;
  root.WriteFile(at + "/config.txt", "kuid " + kuid + "\nusername \"" + folder +
                                         "\"\nkind \"library\"\nscript \"" + script +
                                         "\"\nclass \"" + cls + "\"\n" + extra);
  root.WriteFile(at + "/" + script + ".gs", source);
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
  ASSERT_EQ(AddScriptSources(root), "");
  AddLibraryAsset(root, "Counter", "<kuid:400300:20>", "counter", "Counter", kCounter);
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
  const std::string saved = scratch::ReadAll(world);
  EXPECT_NE(saved.find("first"), std::string::npos);

  const ToolRun second = root.RunProgram(KESTRO_BINARY_DIR "/gsrun", args);
  EXPECT_NE(second.out.find("Counter Init note=first\nCounter restored note=first\n"),
            std::string::npos)
      << second.out << second.err;
  EXPECT_EQ(scratch::ReadAll(world), saved);

  // A run that never asks for the library keeps its saved properties too.
  std::vector<std::string> idle = args;
  idle.back() = "Nothing";
  const ToolRun third = root.RunProgram(KESTRO_BINARY_DIR "/gsrun", idle);
  EXPECT_EQ(third.out, "result: none\n") << third.err;
  EXPECT_EQ(scratch::ReadAll(world), saved);
}

// Two libraries: "echo" names the echo plug-in, "stray" a name outside the plug-in folder. The
// driver calls the plug-in and has the libraries issue, check, re-issue and merge tokens. In the
// sanitizer build the leak check fails gsrun's exit when an ended library kept its plug-in handle.
constexpr const char* kPlainLibrary = R"(include "Kestro.gs"
include "Library.gs"
class Plain isclass Library {
};
)";

constexpr const char* kTokens = R"(include "Kestro.gs"
class Tokens {
  KUID Parse(string text) {
    Soup s = ConstructorsBase.NewSoup();
    s.SetNamedTag("k", text);
    return s.GetNamedTagAsKUID("k");
  }
  string[] Rights(string a, string b) {
    string[] rights = new string[2];
    rights[0] = a;
    rights[1] = b;
    return rights;
  }
  public string Run() {
    KUID ka = Parse("<kuid:400300:30>");
    KUID kb = Parse("<kuid:400300:31>");
    Library a = KestroScriptBase.GetLibrary(ka);
    Library b = KestroScriptBase.GetLibrary(kb);
    string[] args = new string[3];
    args[0] = "hello";
    args[2] = "after a null";
    string calls = a.LibraryCallNative("Echo", args, null) + "," +
                   a.LibraryCallNative("Number", args, null) + "," +
                   b.LibraryCallNative("Echo", args, null);

    SecurityToken t = a.IssueSecurityToken(kb, Rights("read", "duplicate-token"));
    string checks = b.Validate(t, a, "read") + "," + b.Validate(t, ka, "read") + "," +
                    b.Validate(t, a, "write") + "," + a.Validate(t, a, "read");
    // b holds "duplicate-token": the new entry carries only what b holds of the request.
    SecurityToken re = b.IssueSecurityToken(t, ka, Rights("read", "write"));
    string reissue = a.Validate(re, b, "read") + "," + a.Validate(re, b, "write") + "," +
                     b.Validate(re, a, "read");
    SecurityToken plain = a.IssueSecurityToken(kb, Rights("read", "Duplicate-Token"));
    SecurityToken refused = b.IssueSecurityToken(plain, ka, Rights("read", "read"));
    SecurityToken[] both = new SecurityToken[3];
    both[0] = re;
    both[2] = a.IssueSecurityToken(ka, Rights("write", "write"));
    SecurityToken merged = a.MergeSecurityTokens(both);
    string merge = a.Validate(merged, a, "write") + "," + a.Validate(merged, b, "read") + "," +
                   (merged != re) + "," + (refused == null);
    // One OnlineAccess object a library, the same at every call.
    OnlineAccess oa = a.GetOnlineAccess();
    OnlineAccess again = a.GetOnlineAccess();
    OnlineAccess ob = b.GetOnlineAccess();
    string online = (oa != null) + "," + (oa == again) + "," + (oa != ob);
    // An owner that is not installed has no `KestroBaseSpec`, so it is not modified.
    SecurityToken unowned = a.IssueSecurityToken(Parse("<kuid:400300:99>"), Rights("read", "read"));
    string owners = "" + unowned.IsOwnerLocallyModified();
    return calls + ";" + checks + ";" + reissue + ";" + merge + ";" + online + ";" + owners;
  }
  public string EmptyRight() {
    Library a = KestroScriptBase.GetLibrary(Parse("<kuid:400300:30>"));
    SecurityToken t = a.IssueSecurityToken(Parse("<kuid:400300:31>"), Rights("read", "read"));
    return "" + a.Validate(t, a, "");
  }
};
)";

TEST(GsrunHostTest, LibrariesCallTheirPluginAndTradeSecurityTokens) {
  InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
  ASSERT_TRUE(root.IsReady()) << root.Error();
  ASSERT_EQ(AddScriptSources(root), "");
  // The echo plug-in in the plug-in folder, and once more where "../x" would reach if names were
  // not checked.
  std::error_code ec;
  std::filesystem::create_directories(root.Bin() + "/plugins", ec);
  for (const char* place : {"/plugins/echo_plugin.so", "/x.so"}) {
    std::filesystem::copy_file(KESTRO_BINARY_DIR "/test_plugins/echo_plugin.so", root.Bin() + place,
                               ec);
    ASSERT_FALSE(ec) << ec.message();
  }
  const struct {
    const char* folder;
    const char* kuid;
    const char* plugin;
  } libraries[] = {{"echo", "<kuid:400300:30>", "echo_plugin"}, {"stray", "<kuid:400300:31>", "../x"}};
  for (const auto& library : libraries) {
    AddLibraryAsset(root, library.folder, library.kuid, "plain", "Plain", kPlainLibrary,
                    std::string("nativelibrary \"") + library.plugin + "\"\n");
  }
  const std::unique_ptr<scratch::Folder> compiled(script_probe::Compile("tokens.gs", kTokens));
  const ToolRun run = root.RunProgram(
      KESTRO_BINARY_DIR "/gsrun", {"--root", root.Root(), "--host", "--lib", compiled->path(),
                                   "--class", "Tokens", "--call", "Run"});
  // The router may report the libraries' OnlineAccess objects still registered when gsrun ends.
  EXPECT_EQ(run.out.rfind("Library.LibraryCall> unknown function 'Echo' was called on object "
                          "'<kuid:400300:31> \"stray\"'\n"
                          "result: hello,,;true,true,false,false;true,false,true;true,true,true,"
                          "true;true,true,true;false\n",
                          0),
            0u)
      << run.out << run.err;
  EXPECT_EQ(run.exitCode, 0);

  // A right must be named.
  const ToolRun empty = root.RunProgram(KESTRO_BINARY_DIR "/gsrun",
                                        {"--root", root.Root(), "--host", "--lib", compiled->path(),
                                         "--class", "Tokens", "--call", "EmptyRight"});
  EXPECT_NE(empty.out.find("KestroGameObject.Validate> empty string at parameter 3"),
            std::string::npos)
      << empty.out;
  EXPECT_EQ(empty.exitCode, 1);
}

// Each tick moves the application clock on by its step, at once or as the wall clock passes.
constexpr const char* kClock = R"(include "Kestro.gs"
class Clock isclass GameObject {
  thread void Wait() {
    Sleep(0.5);
    KestroScriptBase.Log("awake after half a second: " + (KestroScriptBase.GetSeconds() >= 0.5));
  }
  public float Start() {
    Wait();
    return KestroScriptBase.GetSeconds();
  }
};
)";

TEST(GsrunHostTest, EachTickMovesTheApplicationClockOn) {
  const std::unique_ptr<scratch::Folder> compiled(script_probe::Compile("clock.gs", kClock));
  for (const bool realTime : {false, true}) {
    const auto started = std::chrono::steady_clock::now();
    const kestro_test::CommandRun run = kestro_test::RunCommand(
        std::string(KESTRO_BINARY_DIR "/gsrun --host --lib '") + compiled->path() +
        "' --class Clock --call Start --ticks 8" + (realTime ? " --real-time" : ""));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(run.out, "awake after half a second: true\nresult: 0.000000\n") << realTime;
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_GE(seconds, realTime ? 0.8 : 0.0);
  }
}

// The installation's interface text: its language, and the scenario text a string table falls
// back on.
constexpr const char* kText = R"(include "Kestro.gs"
class Text {
  public string Run() {
    Soup s = ConstructorsBase.NewSoup();
    s.SetNamedTag("k", "<kuid:400300:5>");
    Asset sign = KestroScriptBase.FindAsset(s.GetNamedTagAsKUID("k"));
    StringTable table = sign.GetStringTable();
    return table.GetLanguage() + "," + table.GetString("greeting") + "," +
           table.GetString("farewell");
  }
};
)";

TEST(GsrunHostTest, TheRootsInterfaceTextGivesTheLanguageAndTheScenarioText) {
  InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
  ASSERT_TRUE(root.IsReady()) << root.Error();
  root.WriteFile(
      "bin/data/InterfaceText.txt",
      "$main_language \"deutsch\"\nscenario_text\n{\n  farewell \"Auf Wiedersehen\"\n}\n");
  root.WriteFile("UserData/local/sign/config.txt",
                 "kuid <kuid:400300:5>\nusername \"Sign\"\nkind \"scenery\"\n"
                 "string-table {\n  greeting \"Hallo\"\n}\n");
  const std::unique_ptr<scratch::Folder> compiled(script_probe::Compile("text.gs", kText));
  const ToolRun run = root.RunProgram(KESTRO_BINARY_DIR "/gsrun",
                                      {"--root", root.Root(), "--host", "--lib", compiled->path(),
                                       "--class", "Text", "--call", "Run"});
  EXPECT_EQ(run.out, "result: deutsch,Hallo,Auf Wiedersehen\n") << run.err;
  EXPECT_EQ(run.exitCode, 0);
}

// A library whose Init fails: GetLibrary gives null and the script goes on, so the run's result
// is the script's; the program log says why.
constexpr const char* kBroken = R"(include "Kestro.gs"
include "Library.gs"
class Broken isclass Library {
  public void Init(Asset self) {
    inherited(self);
    Soup none;
    none.CountTags();
  }
};
)";

constexpr const char* kUseBroken = R"(include "Kestro.gs"
class UseBroken {
  public string Run() {
    Soup s = ConstructorsBase.NewSoup();
    s.SetNamedTag("k", "<kuid:400300:40>");
    Library broken = KestroScriptBase.GetLibrary(s.GetNamedTagAsKUID("k"));
    return "went on: " + (broken == null);
  }
};
)";

TEST(GsrunHostTest, ALibraryWhoseInitFailsLeavesTheResultToTheScript) {
  InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
  ASSERT_TRUE(root.IsReady()) << root.Error();
  ASSERT_EQ(AddScriptSources(root), "");
  AddLibraryAsset(root, "broken", "<kuid:400300:40>", "broken", "Broken", kBroken);
  const std::unique_ptr<scratch::Folder> compiled(script_probe::Compile("use.gs", kUseBroken));
  const ToolRun run = root.RunProgram(KESTRO_BINARY_DIR "/gsrun",
                                      {"--root", root.Root(), "--host", "--log-stderr", "--lib",
                                       compiled->path(), "--class", "UseBroken", "--call", "Run"});
  EXPECT_NE(run.out.find("result: went on: true\n"), std::string::npos) << run.out << run.err;
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.err.find("GSOLibrary::CallScriptInit> script Init failed for <kuid:400300:40>"),
            std::string::npos)
      << run.err;
}

// An online script end to end: a library's OnlineAccess logs in to oapeer as the service, posts,
// and hears the service's answer, all within its ticks of real time.
constexpr const char* kOnline = R"(include "Kestro.gs"
include "OnlineAccess.gs"
class Online isclass GameObject {
  OnlineAccess online;
  bool posted = false;
  void OnOnline(Message m) {
    if (m.minor == "StatusChange") {
      KestroScriptBase.Log("status " + online.GetStatus());
      if (online.GetStatus() == 7 and !posted) {
        Soup s = ConstructorsBase.NewSoup();
        s.SetNamedTag("v", 42);
        KestroScriptBase.Log("posted " + online.PostMessage("hello", s));
        posted = true;
      }
    } else if (m.minor == "ReceiveMessage") {
      string name = "";
      Soup s = ConstructorsBase.NewSoup();
      int r = online.CollectMessage(name, s);
      KestroScriptBase.Log("heard " + r + " " + name + " " + s.GetNamedTagAsInt("v", -1));
    }
  }
  public string Run() {
    Soup s = ConstructorsBase.NewSoup();
    s.SetNamedTag("k", "<kuid:400300:50>");
    Library library = KestroScriptBase.GetLibrary(s.GetNamedTagAsKUID("k"));
    online = library.GetOnlineAccess();
    online.Sniff(me, "OnlineAccess", "", true);
    AddHandler(me, "OnlineAccess", "", "OnOnline");
    online.Connect();
    return "connecting";
  }
};
)";

TEST(GsrunHostTest, AnOnlineScriptGetsOnlinePostsAndHearsItsAnswer) {
  InstallRoot root(KESTRO_BINARY_DIR, kDataDir);
  ASSERT_TRUE(root.IsReady()) << root.Error();
  ASSERT_EQ(AddScriptSources(root), "");
  AddLibraryAsset(root, "talker", "<kuid:400300:50>", "plain", "Plain", kPlainLibrary);
  scratch::Folder peerFolder;
  OapeerProcess peer(peerFolder.path(), {"--service", "1", "--ticket", "ticket-1"});
  const u16 port = peer.WaitForPort();
  ASSERT_NE(port, 0);
  root.WriteFile("online.txt",
                 "profile-name \"alice\"\nservice-host \"127.0.0.1\"\n"
                 "service-port " +
                     std::to_string(port) + "\nauth-ticket \"ticket-1\"\n");
  const std::unique_ptr<scratch::Folder> compiled(script_probe::Compile("online.gs", kOnline));
  const ToolRun run =
      root.RunProgram(KESTRO_BINARY_DIR "/gsrun",
                      {"--root", root.Root(), "--host", "--log-stderr", "--lib", compiled->path(),
                       "--class", "Online", "--call", "Run", "--ticks", "50", "--real-time"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  for (const char* line :
       {"status 7\n", "posted 0\n", "heard 0 hello 42\n", "result: connecting\n"}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out << run.err;
  }
  peer.Stop();
  EXPECT_NE(peer.Log().find("service: message (11)"), std::string::npos) << peer.Log();
}

}  // namespace
