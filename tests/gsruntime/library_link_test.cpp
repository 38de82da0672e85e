#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "gscommon/library_image.h"
#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_log.h"
#include "gscompiler/include_path_list.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/script_call.h"
#include "platform/byte_order.h"
#include "qel/file.h"
#include "support/scratch_folder.h"

namespace {

std::vector<std::string> g_lines;

void Capture(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  g_lines.emplace_back(line);
}

constexpr const char* kBase = "class Base { public int Value() { return 1; } };\n";
constexpr const char* kUser =
    "include \"base.gs\"\n"
    "class User isclass Base {\n"
    "  public int Value() { return inherited() + 1; }\n"
    "  native int Host(string s);\n"
    "};\n";

class LibraryLinkTest : public ::testing::Test {
 public:
  void SetUp() override {
    g_lines.clear();
    folder_ = std::make_unique<scratch::Folder>();
    GSMachine::SetLogHook(Capture);
    GSMachine::ResetForTests();
  }
  void TearDown() override {
    GSMachine::ResetForTests();
    GSMachine::SetLogHook(nullptr);
  }
  void Compile(const std::string& name, const std::string& text) {
    folder_->Put(name, text);
    GSCompileLog log;
    ASSERT_EQ(CompileLibraryFile(folder_->At(name).c_str(), nullptr, nullptr, &log), 0) << name;
  }
  std::string Gsl(const std::string& name) const { return folder_->At(name + ".gsl"); }
  // Each sub-folder's "user.gs" over a "base.gs" of its own: one identity, built from other units.
  void CompileUsersOverOwnBases(const std::vector<std::string>& subs) {
    const std::string user = "include \"base.gs\"\nclass User isclass Base { };\n";
    for (const std::string& sub : subs) {
      std::filesystem::create_directories(folder_->At(sub));
      folder_->Put(sub + "/base.gs",
                   "class Base" + sub + " { };\nclass Base isclass Base" + sub + " { };\n");
      Compile(sub + "/user.gs", user);
      Compile(sub + "/base.gs", folder_->Read(sub + "/base.gs"));
    }
  }
  // Replaces every occurrence of `from` in the file by `to` (same length).
  void Patch(const std::string& name, const std::string& from, const std::string& to) {
    std::string bytes = folder_->Read(name + ".gsl");
    for (size_t at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at)) {
      bytes.replace(at, from.size(), to);
    }
    folder_->Put(name + ".gsl", bytes);
  }
  bool Logged(const std::string& text) const {
    for (const std::string& line : g_lines) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  GSRuntime::GSLibrary* Load(const std::string& name) {
    GSMachine& machine = GSMachine::Instance();
    machine.AddLibraryFolder(folder_->path(), "");
    return machine.FindLibrary(name);
  }

  std::unique_ptr<scratch::Folder> folder_;
};

TEST_F(LibraryLinkTest, LinkErrorsHaveTheirLines) {
  struct Case {
    const char* what;
    std::function<void(LibraryLinkTest&)> prepare;
    const char* link;
    bool links;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"links",
       [](LibraryLinkTest&) {},
       "user.gsl",
       true,
       {"Could not resolve native link $int@User::Host(string)"}},
      {"missing dependency",
       [](LibraryLinkTest& t) { std::filesystem::remove(t.Gsl("base")); },
       "user.gsl",
       false,
       {"not found in link table", "GSMachine: Error -2 loading library ", "user.gs (user.gsl)"}},
      {"missing class",
       [](LibraryLinkTest& t) { t.Patch("base", "Base", "Bxse"); },
       "user.gsl",
       false,
       {"GS Link error: Unable to find class 'Base'", "GSMachine: Error -3 loading"}},
      {"missing function",
       [](LibraryLinkTest& t) { t.Patch("base", "Value", "Valux"); },
       "user.gsl",
       false,
       {"GS Link error: Unable to link function '$int@Base::Value()'", "GSMachine: Error -3"}},
      {"similar library",
       [](LibraryLinkTest& t) {
         t.Compile("base.gs", std::string(kBase) + "// changed\n");
         ASSERT_NE(t.Load("base.gsl"), nullptr);
       },
       "user.gsl",
       false,
       {"  Similar library found with matching filename hash but built from different source: "}},
      {"duplicate identity",
       [](LibraryLinkTest& t) {
         std::filesystem::copy_file(t.Gsl("base"), t.Gsl("copy"));
         GSMachine::Instance().AddLibraryFolder(t.folder_->path(), "");
       },
       "user.gsl",
       true,
       {"Could not add game script library copy.gsl to GSMachine"}},
      {"any case", [](LibraryLinkTest&) {}, "USER.GSL", true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    Compile("base.gs", kBase);
    Compile("user.gs", kUser);
    c.prepare(*this);
    GSRuntime::GSLibrary* library = Load(c.link);
    EXPECT_EQ(library != nullptr, c.links);
    for (const std::string& line : c.lines)
      EXPECT_TRUE(Logged(line)) << line << "\n" << testing::PrintToString(g_lines);
    if (library != nullptr) {
      // Overrides are found by the text from "::" on, natives stay unbound without a native.
      GSRuntime::GSClass* user = library->FindClass("User");
      ASSERT_NE(user, nullptr);
      ASSERT_NE(user->functions[0].overridden, nullptr);
      EXPECT_EQ(*user->functions[0].overridden->name, "$int@Base::Value()");
      EXPECT_EQ(user->functions[1].native, nullptr);
    }
  }
}

TEST_F(LibraryLinkTest, LaterNativeWinsAndBinds) {
  GSMachine& machine = GSMachine::Instance();
  EXPECT_EQ(machine.NativeCount(), 31u);  // 2 without body, 15 game-object, 11 Str, 3 Math
  auto* first = new GSRuntime::GSCNativeFunction("User", "$int@User::Host(string)", nullptr);
  auto* second = new GSRuntime::GSCNativeFunction("User", "$int@User::Host(string)", nullptr);
  machine.RegisterNative(first);
  machine.RegisterNative(second);
  Compile("base.gs", kBase);
  Compile("user.gs", kUser);
  GSRuntime::GSLibrary* library = Load("user.gsl");
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(library->FindClass("User")->functions[1].native, second);
  EXPECT_FALSE(Logged("Could not resolve native link"));
}

// Every sample links, through a folder scan and through a path longer than a name-pool block.
TEST_F(LibraryLinkTest, SamplesLink) {
  const std::string deep = std::string(150, 'd') + "/" + std::string(150, 'e');
  for (const char* name : {"chain_c", "chain_b", "chain_a", "shapes", "game", "text"}) {
    const std::string text =
        scratch::ReadAll(std::string(KESTRO_TEST_DATA_DIR) + "/gs_samples/" + name + ".gs");
    Compile(name + std::string(".gs"), text);
    Compile(deep + "/" + name + ".gs", text);
  }
  for (const char* name : {"chain_a", "shapes", "game", "text"}) {
    EXPECT_NE(Load(name + std::string(".gsl")), nullptr) << name;
  }
  GSMachine::ResetForTests();
  GSMachine& machine = GSMachine::Instance();
  for (const char* name : {"chain_c", "chain_b", "chain_a"}) {
    ASSERT_TRUE(machine.AddLibrary(folder_->path(), deep, name + std::string(".gsl")));
  }
  EXPECT_NE(machine.FindLibrary(deep + "/CHAIN_A.gsl"), nullptr);
}

// Libraries are read through the engine's file layer: a substituted folder name and a file name in
// another case find the file, as the script host's "libraries" folder relies on.
TEST_F(LibraryLinkTest, LibrariesAreReadThroughSubstitutionsAndAnyCase) {
  Compile("chain_c.gs",
          scratch::ReadAll(std::string(KESTRO_TEST_DATA_DIR) + "/gs_samples/chain_c.gs"));
  Qel::File::Subst("libraries", folder_->path().c_str());
  GSMachine& machine = GSMachine::Instance();
  EXPECT_TRUE(machine.AddLibrary("libraries", "", "CHAIN_C.GSL"));
  EXPECT_NE(machine.FindLibrary("chain_c.gsl"), nullptr);
  GSMachine::ResetForTests();
  EXPECT_TRUE(GSMachine::Instance().AddLibraryFolder("Libraries", ""));
  EXPECT_NE(GSMachine::Instance().FindLibrary("chain_c.gsl"), nullptr);
  Qel::File::Subst("libraries", nullptr);
}

// The machine and gsrun list a library folder in one order: the extension in any case, folders
// left out, names by upper-case fold ("aab" before "a_b", which a lower-case fold would swap).
TEST(LibraryFolderTest, OneListingOrder) {
  scratch::Folder dir;
  for (const char* name : {"B.gsl", "a_b.gsl", "aab.GSL", "notes.txt", "gsl"}) {
    std::ofstream(dir.At(name)) << "x";
  }
  std::filesystem::create_directory(dir.At("sub.gsl"));
  EXPECT_EQ(GSMachine::LibraryFiles(dir.path()),
            (std::vector<std::string>{"aab.GSL", "a_b.gsl", "B.gsl"}));
  EXPECT_TRUE(GSMachine::LibraryFiles(dir.At("missing")).empty());
}

// A failed link inside a cycle must not leave a library behind that points into the failed one.
TEST_F(LibraryLinkTest, FailedLinkInCycleUnloadsItsDependents) {
  const std::string b = "include \"a.gs\"\nclass Bee { public int G() { A a; return 1; } };\n";
  folder_->Put("b.gs", b);
  Compile("a.gs", "include \"b.gs\"\nclass A { public int F() { Bee b; return 0; } };\n");
  Compile("b.gs", b);
  // a's reference to Bee no longer resolves; b links first, against the a being linked.
  Patch("a", "Bee", "Bxx");
  EXPECT_EQ(Load("a.gsl"), nullptr);
  EXPECT_TRUE(Logged("b.gs, which depends on"));
  EXPECT_EQ(GSMachine::Instance().Libraries().Count(), 0u);
  EXPECT_EQ(GSMachine::Instance().FindLibrary("b.gsl"), nullptr);
}

// Every truncation and many seeded byte flips of a valid library: each load either links or is
// refused with its line; none may crash or trip the sanitizers.
TEST_F(LibraryLinkTest, CorruptImagesAreRefused) {
  Compile("shapes.gs",
          scratch::ReadAll(std::string(KESTRO_TEST_DATA_DIR) + "/gs_samples/shapes.gs"));
  const std::string good = folder_->Read("shapes.gsl");
  std::mt19937 random(20);
  const size_t truncations = good.size();
  for (size_t round = 0; round < truncations + 10000; ++round) {
    std::string bytes = good;
    if (round < truncations) {
      bytes.resize(round);
    } else {
      bytes[random() % bytes.size()] ^= static_cast<char>(1 + random() % 255);
    }
    GSMachine::ResetForTests();
    g_lines.clear();
    std::filesystem::remove(folder_->At("damaged.gsl"));  // a truncating rewrite waits for the disk
    folder_->Put("damaged.gsl", bytes);
    GSMachine& machine = GSMachine::Instance();
    if (!machine.AddLibrary(folder_->path(), "", "damaged.gsl")) {
      ASSERT_TRUE(bytes.size() < 20 || bytes.substr(4, 4) != good.substr(4, 4)) << round;
      continue;
    }
    GSRuntime::GSLibrary* library = machine.FindLibrary("damaged.gsl");
    if (round < truncations) {
      ASSERT_EQ(library, nullptr) << round;
    }
    if (library == nullptr) {
      ASSERT_TRUE(Logged("GSMachine: Error")) << round;
    }
  }
}

// A function reference whose slot is not its function's own slot in the class (as a unit that saw
// the class without its bases numbered it) would call another method: the link refuses it.
TEST_F(LibraryLinkTest, FunctionReferenceOnAnotherSlotIsRefused) {
  Compile("two.gs",
          "class Two {\n  public int First() { return 1; }\n"
          "  public int Second() { return 2; }\n};\n");
  Compile("caller.gs",
          "include \"two.gs\"\nclass Caller {\n"
          "  public int Run() { Two t = new Two(); return t.Second(); }\n};\n");
  ASSERT_NE(Load("caller.gsl"), nullptr);
  // The reference to Second is {class reference, signature string, slot 1}.
  GSLibraryFormat::LibraryImage image;
  std::string bytes = folder_->Read("caller.gsl");
  ASSERT_TRUE(GSLibraryFormat::ReadLibraryImage(reinterpret_cast<const u8*>(bytes.data()),
                                                u32(bytes.size()), &image, nullptr));
  bool patched = false;
  for (const auto& reference : image.functionReferences) {
    if (image.strings[reference.name].find("Second") == std::string::npos) continue;
    std::string entry(12, '\0'), wrong(12, '\0');
    for (u32 i = 0; i < 3; ++i) {
      const u32 word = i == 0 ? reference.classReference : i == 1 ? reference.name : 1;
      ByteOrder::StoreLE32(reinterpret_cast<u8*>(entry.data()) + 4 * i, word);
      ByteOrder::StoreLE32(reinterpret_cast<u8*>(wrong.data()) + 4 * i, i == 2 ? 0 : word);
    }
    const size_t at = bytes.find(entry);
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 12, wrong);
    patched = true;
  }
  ASSERT_TRUE(patched);
  folder_->Put("caller.gsl", bytes);
  GSMachine::ResetForTests();
  g_lines.clear();
  EXPECT_EQ(Load("caller.gsl"), nullptr);
  EXPECT_TRUE(Logged("GS Link error: Unable to link function '$int@Two::Second()'"));
}

// A game-object class two levels below GameObject, with a counted field: every base's place, every
// word of each class's instance layout and every view offset of its method table, changed alone,
// either makes the library refused as malformed or leaves one that runs as the undamaged one
// does. A view word taken as it came sent calls and releases through another view and freed the
// object twice.
TEST_F(LibraryLinkTest, DamagedViewWordsAreRefused) {
  IncludePathList includes;
  includes.Add(KESTRO_TEST_DATA_DIR "/../../gslib", Qel::PString());
  folder_->Put("station.gs",
               "include \"gs.gs\"\n"
               "class Counter isclass GameObject {\n"
               "  public int hits;\n  public string label;\n"
               "  public int Hit(int n) { hits = hits + n; label = \"x\" + n; return hits; }\n"
               "};\n"
               "class Station isclass Counter {\n"
               "  public int Hit(int n) { return inherited(n) * 10 + label.size(); }\n"
               "  public int Twice(int n) { Counter c = me; c.Hit(n); return Hit(n); }\n"
               "};\n");
  GSCompileLog log;
  const i32 errors =
      CompileLibraryFile(folder_->At("station.gs").c_str(), nullptr, &includes, &log);
  for (const char* line; (line = log.Take()) != nullptr;) ADD_FAILURE() << line;
  ASSERT_EQ(errors, 0);
  const std::string good = folder_->Read("station.gsl");
  GSLibraryFormat::LibraryImage image;
  ASSERT_TRUE(GSLibraryFormat::ReadLibraryImage(reinterpret_cast<const u8*>(good.data()),
                                                u32(good.size()), &image, nullptr));
  const auto word = [&](size_t at) { return ByteOrder::LoadLE32(good.data() + at); };
  // The byte offsets of the words to damage: each base entry's place (tag 7), every layout entry
  // word (tag 12) and every method-table entry's view offset (tag 11).
  std::vector<size_t> targets;
  for (const auto& cls : image.classes) {
    for (size_t at = 0; at + 12 <= good.size(); at += 4) {
      if (word(at) == 12 && word(at + 4) == cls.instanceWords &&
          word(at + 8) == cls.layout.size() && at + 12 + 12 * cls.layout.size() <= good.size() &&
          i32(word(at + 12 + 4)) == cls.layout[0].word) {
        for (size_t i = 0; i < 3 * cls.layout.size(); ++i) targets.push_back(at + 12 + 4 * i);
      }
      if (word(at) == 7 && word(at + 4) == cls.name && word(at + 8) == cls.flags &&
          word(at + 12) == cls.parents.size() && !cls.parents.empty()) {
        for (size_t i = 0; i < cls.parents.size(); ++i) targets.push_back(at + 16 + 12 * i + 4);
      }
      if (word(at) == 11 && word(at + 4) == cls.methods.size() && !cls.methods.empty() &&
          i32(word(at + 8)) == cls.methods[0].functionReference &&
          i32(word(at + 12)) == cls.methods[0].viewOffset) {
        for (size_t i = 0; i < cls.methods.size(); ++i) targets.push_back(at + 12 + 8 * i);
      }
    }
  }
  size_t words = 0;
  for (const auto& cls : image.classes) {
    words += 3 * cls.layout.size() + cls.methods.size() + cls.parents.size();
  }
  ASSERT_EQ(targets.size(), words) << "each class's records were found once";

  const auto run = [&](const std::string& bytes, i32* result) {
    GSMachine::ResetForTests();
    g_lines.clear();
    std::filesystem::remove(folder_->At("station.gsl"));
    folder_->Put("station.gsl", bytes);
    GSMachine& machine = GSMachine::Instance();
    machine.AddLibraryFolder(KESTRO_BINARY_DIR "/libraries", "");
    machine.AddLibrary(folder_->path(), "", "station.gsl");
    GSRuntime::GSLibrary* library = machine.FindLibrary("station.gsl");
    if (library == nullptr) return false;
    GSRuntime::ScriptObjectHolder object;
    *result = -1;
    if (object.Create(library->FindClass("Station"))) {
      object.Call("Twice", {GSRuntime::ScriptArgument::Int(3)}, result);
    }
    return true;
  };
  i32 expected = 0;
  ASSERT_TRUE(run(good, &expected));
  ASSERT_EQ(expected, 62);  // (3 + 3) * 10 + size("x3")
  size_t refused = 0;
  for (size_t at : targets) {
    for (const i32 delta : {1, -1, 2, 0x10000}) {
      std::string bytes = good;
      ByteOrder::StoreLE32(reinterpret_cast<u8*>(bytes.data()) + at, word(at) + u32(delta));
      i32 result = 0;
      if (!run(bytes, &result)) {
        ASSERT_TRUE(Logged("GS Link error: Malformed library image")) << at << " " << delta;
        ++refused;
        continue;
      }
      EXPECT_EQ(result, expected) << at << " " << delta;
    }
  }
  // A layout kind other than 0 still names a method entry; every other change is refused.
  EXPECT_GT(refused, targets.size() * 2);
}

TEST(ScriptArenaTest, HandlesAllocateReuseAndResolve) {
  GSRuntime::ScriptArena arena(u64(1) << 24);
  EXPECT_EQ(arena.Allocate(0), 0u);
  EXPECT_EQ(arena.Resolve(0), nullptr);
  const GSRuntime::GSHandle a = arena.Allocate(12);
  const GSRuntime::GSHandle b = arena.Allocate(3000);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  static_cast<u8*>(arena.Resolve(a))[11] = 7;
  arena.Free(a, 12);
  EXPECT_EQ(arena.Allocate(16), a);  // same size class, zeroed again
  EXPECT_EQ(static_cast<u8*>(arena.Resolve(a))[11], 0);
  EXPECT_EQ(arena.Allocate(u32(1) << 25), 0u);  // beyond the reservation
  EXPECT_EQ(arena.Resolve(0xFFFFFFF0u), nullptr);
}

}  // namespace

// Libraries of one identity built over different includes: each file keeps its own code, the
// identity names the one registered last, and a file replaced under its registration is refused.
TEST_F(LibraryLinkTest, AnIdentityIsSharedOnlyByLibrariesBuiltFromTheSameUnits) {
  CompileUsersOverOwnBases({"a", "b", "c"});
  GSMachine& machine = GSMachine::Instance();
  GSLibraryId ids[2];
  for (int i = 0; i < 2; ++i) {
    const std::string sub(1, char('a' + i));
    ASSERT_TRUE(machine.AddLibrary(folder_->path(), sub, "base.gsl"));
    ASSERT_TRUE(machine.AddLibrary(folder_->path(), sub, "user.gsl", &ids[i]));
  }
  ASSERT_EQ(ids[0], ids[1]) << "equal sources and names give one identity";
  for (const char* sub : {"a", "b"}) {
    GSRuntime::GSLibrary* library = machine.FindLibrary(std::string(sub) + "/user.gsl");
    ASSERT_NE(library, nullptr) << sub;
    GSRuntime::GSClass* cls = library->FindClass("User");
    ASSERT_NE(cls, nullptr) << sub;
    EXPECT_TRUE(cls->IsA(("Base" + std::string(sub)).c_str())) << sub;
  }
  EXPECT_EQ(machine.GetLibrary(ids[0]), machine.FindLibrary("b/user.gsl"));

  ASSERT_TRUE(machine.AddLibrary(folder_->path(), "c", "user.gsl"));
  folder_->Put("c/user.gsl", folder_->Read("c/base.gsl"));
  EXPECT_EQ(machine.FindLibrary("c/user.gsl"), nullptr);
  EXPECT_TRUE(Logged("is not the library"));
}

// What a transient scope registers and loads goes with it, and an identity it took over comes
// back; a library registered before and loaded inside stays, as do the function numbers in use.
TEST_F(LibraryLinkTest, ATransientScopeForgetsWhatItAddedAndGivesBackWhatItTookOver) {
  Compile("base.gs", kBase);
  Compile("user.gs", kUser);
  CompileUsersOverOwnBases({"a", "b"});
  GSMachine& machine = GSMachine::Instance();
  machine.AddLibraryFolderOnDemand(folder_->path(), "");
  GSLibraryId shared;
  ASSERT_TRUE(machine.AddLibrary(folder_->path(), "a", "base.gsl"));
  ASSERT_TRUE(machine.AddLibrary(folder_->path(), "a", "user.gsl", &shared));
  GSRuntime::GSLibrary* before = machine.FindLibrary("a/user.gsl");
  ASSERT_NE(before, nullptr);
  const u32 loaded = machine.Libraries().Count();
  GSRuntime::GSLibrary* kept = nullptr;
  size_t functions = 0;
  {
    const GSTransientLibraries transient;
    kept = machine.FindLibrary("user.gsl");
    ASSERT_NE(kept, nullptr);
    functions = machine.FunctionCount();
    for (const char* file : {"base.gsl", "user.gsl"}) {
      ASSERT_TRUE(machine.AddLibrary(folder_->path(), "b", file));
    }
    ASSERT_NE(machine.FindLibrary("b/user.gsl"), nullptr);
    ASSERT_NE(machine.GetLibrary(shared), before) << "b's user took the identity over";
  }
  EXPECT_EQ(machine.FindLibrary("user.gsl"), kept);
  EXPECT_EQ(machine.Libraries().Count(), loaded + 2);
  EXPECT_EQ(machine.FunctionCount(), functions);
  EXPECT_EQ(machine.GetLibrary(shared), before);
  EXPECT_FALSE(machine.HasLibrary("b/user.gsl"));
  EXPECT_FALSE(machine.HasLibrary("b/base.gsl"));
}

// A folder registered on demand answers every lookup as if registered at once, but reads its
// files only when a lookup or a later file of the same name needs them.
TEST_F(LibraryLinkTest, AFolderRegisteredOnDemandAnswersAsIfRegisteredAtOnce) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // compiled library, placed as
    std::function<bool(GSMachine&)> lookup;                  // true when it answers as expected
    std::vector<std::string> lines;                          // logged by the lookup, not before
  };
  const auto found = [](const char* name, const char* cls) {
    return [name, cls](GSMachine& machine) {
      GSRuntime::GSLibrary* library = machine.FindLibrary(name);
      return library != nullptr && library->FindClass(cls) != nullptr;
    };
  };
  const std::vector<Case> cases = {
      {"by name", {{"base", "od/base.gsl"}}, found("BASE.gsl", "Base"), {}},
      {"by identity",
       {{"base", "od/base.gsl"}, {"user", "now/user.gsl"}},
       found("user.gsl", "User"),
       {}},
      {"missing",
       {{"base", "od/base.gsl"}},
       [](GSMachine& machine) {
         return machine.FindLibrary("none.gsl") == nullptr &&
                machine.GetLibrary({1, 2}) == nullptr && machine.FindLibrary("base.gsl");
       },
       {"library '0x1 0x2' not found in link table"}},
      {"duplicate identity",
       {{"base", "od/base.gsl"}, {"base", "od/copy.gsl"}, {"user", "now/user.gsl"}},
       found("user.gsl", "User"),
       {"Could not add game script library od/copy.gsl to GSMachine"}},
      {"a later file of the same name",
       {{"base", "od/base.gsl"}, {"base", "now/base.gsl"}},
       found("base.gsl", "Base"),
       {"Could not add game script library now/base.gsl to GSMachine"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    Compile("base.gs", kBase);
    Compile("user.gs", kUser);
    for (const auto& [library, place] : c.files) {
      std::filesystem::create_directories(std::filesystem::path(folder_->At(place)).parent_path());
      std::filesystem::copy_file(Gsl(library), folder_->At(place));
    }
    GSMachine& machine = GSMachine::Instance();
    ASSERT_TRUE(machine.AddLibraryFolderOnDemand(folder_->path(), "od"));
    EXPECT_TRUE(machine.HasLibrary("Base.GSL"));
    EXPECT_FALSE(machine.HasLibrary("none.gsl"));
    // The later folder's own duplicates are the only lines its registration may log.
    machine.AddLibraryFolder(folder_->path(), "now");
    if (std::string(c.what) != "a later file of the same name") {
      EXPECT_TRUE(g_lines.empty()) << testing::PrintToString(g_lines);
    }
    EXPECT_TRUE(c.lookup(machine));
    for (const std::string& line : c.lines)
      EXPECT_TRUE(Logged(line)) << line << "\n" << testing::PrintToString(g_lines);
  }
  EXPECT_FALSE(GSMachine::Instance().AddLibraryFolderOnDemand(folder_->path(), "empty"));
}
