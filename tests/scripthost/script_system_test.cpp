#include "scripthost/script_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_log.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_native_function.h"
#include "gsruntime/native_params.h"
#include "gsruntime/script_call.h"
#include "gsruntime/script_run_fixture.h"
#include "qel/file.h"
#include "scripthost/script_class_registry.h"
#include "scripthost/script_probe.h"
#include "scripthost/standard_natives.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;
using ScriptHost::ScriptBinding;
using ScriptHost::ScriptClass;
using ScriptHost::ScriptClassId;

const fs::path kGslib = fs::path(KESTRO_TEST_DATA_DIR) / "../../gslib";

// Every gslib source compiled into a scratch "libraries" folder, once for the suite.
const scratch::Folder& CompiledLibraries() {
  // Made once for the process; removed as it ends.
  static const std::unique_ptr<scratch::Folder> folder = [] {
    auto made = std::make_unique<scratch::Folder>();
    fs::create_directories(made->At("libraries"));
    for (const auto& entry : fs::directory_iterator(kGslib)) {
      if (entry.path().extension() != ".gs") continue;
      GSCompileLog log;
      const std::string output = made->At("libraries") + "/";
      EXPECT_EQ(CompileLibraryFile(entry.path().c_str(), output.c_str(), nullptr, &log), 0)
          << entry.path();
    }
    return made;
  }();
  return *folder;
}

std::vector<std::string> LibraryNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

class ScriptSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gs_test::LogLines().clear();
    GSMachine::SetLogHook(gs_test::CaptureLine);
    Forget();
  }
  void TearDown() override {
    Forget();
    GSMachine::SetLogHook(nullptr);
  }
  // A machine without the host's natives and a script system not yet set up.
  static void Forget() {
    GSMachine::RemoveInitHook(ScriptHost::RegisterStandardNatives);
    ScriptHost::ResetScriptSystemForTests();
    GSMachine::ResetForTests();
  }
  // An installation root whose "libraries" folder holds the compiled standard libraries but
  // those named.
  void Install(const std::set<std::string>& leftOut = {}) {
    const std::string from = CompiledLibraries().At("libraries");
    fs::create_directories(root_.At("libraries"));
    for (const std::string& name : LibraryNames(from)) {
      if (leftOut.count(name) == 0) fs::copy_file(from + "/" + name, root_.At("libraries/" + name));
    }
  }
  static bool Logged(const std::string& text) {
    for (const std::string& line : gs_test::LogLines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  static size_t CountLogged(const std::string& text) {
    size_t count = 0;
    for (const std::string& line : gs_test::LogLines()) count += line.find(text) != line.npos;
    return count;
  }
  // The natives of the class registered with the machine, and those its tables hold.
  static size_t NativesOf(std::string_view cls) {
    size_t count = 0;
    const Utils::DoubleLinkList& natives = GSMachine::Instance().Natives();
    for (auto* node = natives.First(); node != nullptr; node = natives.Next(node)) {
      count += static_cast<const GSRuntime::GSNativeFunction*>(node)->ClassName().View() == cls;
    }
    return count;
  }
  static size_t TableNativesOf(std::string_view cls) {
    size_t count = 0;
    for (const ScriptHost::NativeTable& table : ScriptHost::StandardNativeTables()) {
      for (const GSRuntime::NativeEntry& row : table.natives) {
        count += GSRuntime::SignatureClass(row.signature) == cls;
      }
    }
    return count;
  }
  static bool Registered(const char* cls, const char* signature) {
    return GSMachine::Instance().FindNative(cls, signature) != nullptr;
  }
  // Loads every library of the root's folder; the names that do not load.
  std::vector<std::string> LoadAll() {
    std::vector<std::string> failed;
    for (const std::string& name : LibraryNames(root_.At("libraries"))) {
      if (GSMachine::Instance().FindLibrary(name) == nullptr) failed.push_back(name);
    }
    return failed;
  }

  scratch::Folder root_;
};

// What the libraries declare native and what the host registers are the same set of
// (class, signature text) pairs.
TEST_F(ScriptSystemTest, EveryNativeDeclarationHasABindingAndEveryBindingADeclaration) {
  Install();
  ASSERT_TRUE(ScriptHost::InitScriptSystem(root_.path()));
  EXPECT_TRUE(LoadAll().empty());
  std::set<std::pair<std::string, std::string>> declared;
  const Utils::DoubleLinkList& libraries = GSMachine::Instance().Libraries();
  for (auto* node = libraries.First(); node != nullptr; node = libraries.Next(node)) {
    for (const auto& cls : static_cast<GSRuntime::GSLibrary*>(node)->classes) {
      for (const GSRuntime::GSFunction& function : cls->functions) {
        if (function.IsNative()) declared.emplace(*cls->name, *function.name);
      }
    }
  }
  std::set<std::pair<std::string, std::string>> registered;
  const Utils::DoubleLinkList& natives = GSMachine::Instance().Natives();
  for (auto* node = natives.First(); node != nullptr; node = natives.Next(node)) {
    const auto* native = static_cast<const GSRuntime::GSNativeFunction*>(node);
    EXPECT_TRUE(registered
                    .emplace(std::string(native->ClassName().View()),
                             std::string(native->Signature().View()))
                    .second)
        << "registered twice: " << native->Signature().CStr();
  }
  for (const auto& entry : declared) {
    EXPECT_EQ(registered.count(entry), 1u) << "no binding for " << entry.second;
  }
  for (const auto& entry : registered) {
    EXPECT_EQ(declared.count(entry), 1u) << "no declaration of " << entry.second;
  }
  size_t standard = 0;
  for (const ScriptHost::NativeTable& table : ScriptHost::StandardNativeTables()) {
    standard += table.natives.size();
  }
  EXPECT_EQ(ScriptHost::StandardNativeTables().size(), 15u);
  EXPECT_EQ(standard, 157u);
  EXPECT_FALSE(Logged("Could not resolve native link"));
}

// The natives come back with every set-up of the machine, so that the libraries link again.
TEST_F(ScriptSystemTest, EveryStandardLibraryLinksInAFreshMachineAndAfterShutdownAndInit) {
  Install();
  // A user's library beside the shipped ones.
  scratch::Folder user;
  fs::copy_file(root_.At("libraries/Menu.gsl"), user.At("Mine.gsl"));
  fs::remove(root_.At("libraries/Menu.gsl"));
  Qel::File::Subst(Qel::PString("libraries"), user.path().c_str());
  ASSERT_TRUE(ScriptHost::InitScriptSystem(root_.path()));
  Qel::File::Subst(Qel::PString("libraries"), nullptr);
  EXPECT_NE(GSMachine::Instance().FindLibrary("mine.gsl"), nullptr);
  for (int id = 0; id < static_cast<int>(ScriptClassId::kCount); ++id) {
    EXPECT_NE(ScriptClass(static_cast<ScriptClassId>(id)), nullptr) << id;
  }
  EXPECT_TRUE(LoadAll().empty());

  GSMachine::Instance().Shutdown();
  GSMachine::Instance().Init();
  // The classes went with the libraries.
  EXPECT_EQ(ScriptClass(ScriptClassId::kSoup), nullptr);
  ASSERT_TRUE(GSMachine::Instance().AddLibraryFolder(root_.path(), "libraries"));
  ASSERT_TRUE(GSMachine::Instance().AddLibraryFolder("", user.path()));
  EXPECT_TRUE(LoadAll().empty());
  EXPECT_TRUE(Registered("Soup", "$int@Soup::CountTags()"));
  EXPECT_FALSE(Logged("Could not resolve native link"));
  EXPECT_FALSE(Logged("Error"));
}

// A failed set-up is reported by every call, not only the first.
TEST_F(ScriptSystemTest, AFailedSetUpKeepsItsResult) {
  Install({"worldcoordinate.gsl"});
  EXPECT_FALSE(ScriptHost::InitScriptSystem(root_.path()));
  EXPECT_NE(ScriptClass(ScriptClassId::kGameObject), nullptr);
  EXPECT_FALSE(Registered("Soup", "$int@Soup::CountTags()"));
  EXPECT_FALSE(ScriptHost::InitScriptSystem(root_.path()));

  Forget();
  fs::remove_all(root_.At("libraries"));
  Install({"Constructors.gsl"});
  EXPECT_FALSE(ScriptHost::InitScriptSystem(root_.path()));
  EXPECT_TRUE(Registered("ConstructorsBase", "$Soup@ConstructorsBase::NewSoup()"));
  EXPECT_TRUE(Registered("KUID", "$string@KUID::GetName()"));
  EXPECT_NE(ScriptClass(ScriptClassId::kSecurityToken), nullptr);
  EXPECT_EQ(ScriptClass(ScriptClassId::kConstructorsBase), nullptr);
  EXPECT_FALSE(ScriptHost::InitScriptSystem(root_.path()));
}

// A file replaced after it was registered is not linked under the registered identity.
TEST_F(ScriptSystemTest, ALibraryFileReplacedSinceItsRegistrationIsRefused) {
  Install();
  GSMachine& machine = GSMachine::Instance();
  ASSERT_TRUE(machine.AddLibraryFolder(root_.path(), "libraries"));
  GSLibraryId identity;
  ASSERT_TRUE(machine.AddLibrary(root_.path(), "libraries", "gs.gsl", &identity));
  const std::string kuid = root_.At("libraries/kuid.gsl");
  const std::string kept = root_.At("kuid.kept");
  fs::copy_file(kuid, kept);
  GSLibraryId kuidIdentity;
  ASSERT_TRUE(machine.AddLibrary(root_.path(), "libraries", "kuid.gsl", &kuidIdentity));
  fs::copy_file(root_.At("libraries/StringTable.gsl"), kuid, fs::copy_options::overwrite_existing);

  EXPECT_EQ(machine.GetLibrary(kuidIdentity), nullptr);
  EXPECT_TRUE(Logged("is not the library"));
  fs::copy_file(kept, kuid, fs::copy_options::overwrite_existing);
  EXPECT_NE(machine.GetLibrary(kuidIdentity), nullptr);
}

// The set-up loads no library: a standard class binds, its library loaded then, on first use
// and once, also when first asked for before the set-up; a registered library that does not
// load is tried once; a machine set up again binds the class again.
TEST_F(ScriptSystemTest, AStandardClassBindsOnFirstUseAndOnce) {
  Install();
  // Registered by its header, but short of everything after it.
  fs::resize_file(root_.At("libraries/SecurityToken.gsl"), 20);
  EXPECT_EQ(ScriptClass(ScriptClassId::kSoup), nullptr);
  GSMachine& machine = GSMachine::Instance();
  const u32 builtIns = machine.Libraries().Count();
  ASSERT_TRUE(ScriptHost::InitScriptSystem(root_.path(), ScriptBinding::kOnFirstUse));
  EXPECT_EQ(machine.Libraries().Count(), builtIns);

  GSRuntime::GSClass* soup = ScriptClass(ScriptClassId::kSoup);
  ASSERT_NE(soup, nullptr);
  EXPECT_EQ(*soup->name, "Soup");
  EXPECT_EQ(soup->library, machine.FindLibrary("soup.gsl"));
  const u32 loaded = machine.Libraries().Count();
  EXPECT_GT(loaded, builtIns);
  EXPECT_EQ(ScriptClass(ScriptClassId::kSoup), soup);
  EXPECT_EQ(machine.Libraries().Count(), loaded);

  EXPECT_EQ(ScriptClass(ScriptClassId::kSecurityToken), nullptr);
  EXPECT_EQ(ScriptClass(ScriptClassId::kSecurityToken), nullptr);
  EXPECT_EQ(CountLogged("SecurityToken.gsl"), 1u);

  machine.Shutdown();
  machine.Init();
  EXPECT_EQ(ScriptClass(ScriptClassId::kSoup), nullptr);
  ASSERT_TRUE(machine.AddLibraryFolder(root_.path(), "libraries"));
  ASSERT_NE(ScriptClass(ScriptClassId::kSoup), nullptr);
  EXPECT_EQ(ScriptClass(ScriptClassId::kSoup)->library, machine.FindLibrary("soup.gsl"));
}

// The set-up that binds every class fails on a library that does not load: a damaged standard
// library is a failed set-up, not a later surprise.
TEST_F(ScriptSystemTest, TheSetUpThatBindsEveryClassFailsOnALibraryThatDoesNotLoad) {
  Install();
  fs::resize_file(root_.At("libraries/SecurityToken.gsl"), 20);
  EXPECT_FALSE(ScriptHost::InitScriptSystem(root_.path()));
  EXPECT_EQ(ScriptClass(ScriptClassId::kSecurityToken), nullptr);
  // Binding on first use finds the files there and leaves the failure to the class's first use.
  Forget();
  EXPECT_TRUE(ScriptHost::InitScriptSystem(root_.path(), ScriptBinding::kOnFirstUse));
}

// A standard class's natives are made when first looked up, the whole class at once, also when
// its table is another class's, and again after the machine is set up again; those of classes
// never looked up are not made.
TEST_F(ScriptSystemTest, AStandardClassesNativesAreMadeOnFirstLookup) {
  Install();
  GSMachine& machine = GSMachine::Instance();
  const u32 builtIns = machine.NativeCount();
  ASSERT_TRUE(ScriptHost::InitScriptSystem(root_.path(), ScriptBinding::kOnFirstUse));
  EXPECT_EQ(machine.NativeCount(), builtIns);
  struct Lookup {
    const char* cls;
    const char* signature;
    bool found;
  };
  const Lookup lookups[] = {
      {"Soup", "$int@Soup::CountTags()", true},
      {"Soup", "$void@Soup::NoSuchMethod()", false},
      {"Soup", "$void@Soup::Clear()", true},
      {"HTMLBufferStatic", "$HTMLBuffer@HTMLBufferStatic::Construct()", true},
      {"NoSuchClass", "$void@NoSuchClass::Run()", false},
  };
  for (const Lookup& lookup : lookups) {
    EXPECT_EQ(Registered(lookup.cls, lookup.signature), lookup.found) << lookup.signature;
  }
  EXPECT_EQ(NativesOf("Soup"), TableNativesOf("Soup"));
  EXPECT_EQ(NativesOf("HTMLBufferStatic"), 1u);
  EXPECT_EQ(NativesOf("HTMLBuffer"), 0u);
  EXPECT_EQ(NativesOf("Image"), 0u);

  machine.Shutdown();
  machine.Init();
  EXPECT_EQ(NativesOf("Soup"), 0u);
  EXPECT_TRUE(Registered("Soup", "$int@Soup::CountTags()"));
  EXPECT_EQ(NativesOf("Soup"), TableNativesOf("Soup"));
}

constexpr const char* kLateSoup = R"(include "Constructors.gs"
class Late {
  public int Tags(int value) {
    Soup soup = ConstructorsBase.NewSoup();
    soup.SetNamedTag("a", 1);
    soup.SetNamedTag("b", value);
    return soup.CountTags() + soup.GetNamedTagAsInt("b");
  }
};
)";

// Objects of a class bound on first use are made from two contexts, each call finding the one
// binding.
TEST_F(ScriptSystemTest, ObjectsOfALateBoundClassAreMadeFromTwoContexts) {
  Install();
  const std::unique_ptr<scratch::Folder> compiled = script_probe::Compile("late.gs", kLateSoup);
  ASSERT_TRUE(ScriptHost::InitScriptSystem(root_.path(), ScriptBinding::kOnFirstUse));
  GSMachine& machine = GSMachine::Instance();
  ASSERT_TRUE(machine.AddLibraryFolder("", compiled->path()));
  GSRuntime::GSLibrary* late = machine.FindLibrary("late.gsl");
  ASSERT_NE(late, nullptr);
  GSRuntime::ScriptObjectHolder first;
  GSRuntime::ScriptObjectHolder second;
  ASSERT_TRUE(first.Create(late->FindClass("Late")));
  ASSERT_TRUE(second.Create(late->FindClass("Late")));
  for (const auto& [holder, value] : {std::pair{&first, 5}, {&second, 7}, {&first, 9}}) {
    i32 result = 0;
    ASSERT_TRUE(holder->Call("Tags", {GSRuntime::ScriptArgument::Int(value)}, &result));
    EXPECT_EQ(result, value + 2);
  }
  EXPECT_EQ(NativesOf("Soup"), TableNativesOf("Soup"));
  EXPECT_EQ(NativesOf("ConstructorsBase"), TableNativesOf("ConstructorsBase"));
  EXPECT_FALSE(Logged("Could not resolve native link"));
}

}  // namespace
