// Scriptable objects: the delayed stages in order and once, a re-initialisation from inside one of
// the object's own running threads, and own sources compiled to libraries named by their ids.
#include "scripthost/scriptable_object.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/file_util.h"
#include "gsruntime/gs_message.h"
#include "gsruntime/gs_native_function.h"
#include "gsruntime/gs_router.h"
#include "gsruntime/gs_string.h"
#include "scripthost/gso_library.h"
#include "scripthost/kestro_script_context.h"
#include "scripthost/native_binding.h"
#include "scripthost/script_probe.h"

namespace {

constexpr const char* kProbe = R"(include "Kestro.gs"
include "Library.gs"
class Probe isclass Library {
  public int inits = 0;
  public int after = 0;
  public native void Reload();
  public void Init(Asset self) {
    inherited(self);
    inits++;
  }
  public thread void Work() {
    Reload();
    after = 1;
  }
  public string Tokens() {
    Soup s = ConstructorsBase.NewSoup();
    s.SetNamedTag("k", "<kuid:1:2>");
    KUID k = s.GetNamedTagAsKUID("k");
    string[] rights = new string[1];
    rights[0] = "read";
    SecurityToken t = IssueSecurityToken(k, rights);
    SecurityToken[] none = new SecurityToken[1];
    KestroGameObject self = me;
    return (t == null) + "," + (IssueSecurityToken(t, k, rights) == null) + "," +
           (MergeSecurityTokens(none) == null) + "," + Validate(t, self, "read") + "," +
           Validate(t, k, "read");
  }
};
)";

// An object without asset specification whose class is the probe's; it records its stages.
class StagedObject : public ScriptableObject {
 public:
  StagedObject(GSRuntime::GSContext* owner, DelayedInitManager* manager, GSRuntime::GSClass* cls)
      : ScriptableObject(owner, manager), cls_(cls) {}
  KestroScriptSpec* GetSpec() const override { return nullptr; }
  GSRuntime::GSClass* GetScriptClass() override { return cls_; }
  void InitStage1() override {
    stages.push_back(1);
    ScriptableObject::InitStage1();
  }
  void InitStage2() override {
    stages.push_back(2);
    ScriptableObject::InitStage2();
  }
  void InitStage3() override {
    stages.push_back(3);
    ScriptableObject::InitStage3();
  }
  // The native of the probe's thread: re-initialises the object the thread runs on.
  void Reload(GSRuntime::GSStack*) {
    ++reloads;
    Reinitialise();
  }

  std::vector<int> stages;
  int reloads = 0;

 private:
  GSRuntime::GSClass* cls_;
};

class ScriptableObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    compiled_ = script_probe::Compile("probe.gs", kProbe);
    script_probe::Errors().clear();
    GSMachine::SetExceptionHook(script_probe::CaptureError);
    script_probe::Forget();
    ASSERT_TRUE(ScriptHost::InitScriptSystem(KESTRO_BINARY_DIR));
    GSMachine::Instance().RegisterNative(new GSRuntime::GSCPPNativeFunction<StagedObject>(
        "Probe", "$void@Probe::Reload()", &StagedObject::Reload));
    GSMachine::Instance().AddLibraryFolder("", compiled_->path());
    GSRuntime::GSLibrary* library = GSMachine::Instance().FindLibrary("probe.gsl");
    ASSERT_NE(library, nullptr);
    cls_ = library->FindClass("Probe");
    ASSERT_NE(cls_, nullptr);
    context_ = KestroScriptContext::Create();
  }
  void TearDown() override {
    context_.reset();
    script_probe::TearDown();
  }
  KestroScriptContext* Host() { return static_cast<KestroScriptContext*>(context_.get()); }

  std::unique_ptr<scratch::Folder> compiled_;
  GSRuntime::GSClass* cls_ = nullptr;
  std::unique_ptr<GSRuntime::GSContext> context_;
};

TEST_F(ScriptableObjectTest, StagesRunOnceInOrderFromTheQueue) {
  auto object = std::make_unique<StagedObject>(Host(), Host(), cls_);
  EXPECT_EQ(Host()->QueuedCount(), 1u);
  Host()->Enqueue(object.get());
  EXPECT_EQ(Host()->QueuedCount(), 1u);
  Host()->RunQueue();
  EXPECT_EQ(object->stages, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(Host()->QueuedCount(), 0u);
  EXPECT_NE(object->scriptInstance, 0u);
  // A client whose stages are done is never queued again.
  Host()->Enqueue(object.get());
  EXPECT_EQ(Host()->QueuedCount(), 0u);
  object->RunPendingStages();
  EXPECT_EQ(object->stages, (std::vector<int>{1, 2, 3}));
  // Without an asset the script's GetAsset gives null: the Init counts as failed.
  EXPECT_TRUE(object->InitFailed());

  // A new source re-runs stages 2 and 3 once; the same source again does nothing; blanks clear it.
  object->SetSource(Qel::String("class CustomObject isclass GameObject {};"));
  object->SetSource(Qel::String("class CustomObject isclass GameObject {};"));
  EXPECT_EQ(object->stages, (std::vector<int>{1, 2, 3, 2, 3}));
  object->SetSource(Qel::String(" \t\r\n"));
  EXPECT_EQ(object->stages, (std::vector<int>{1, 2, 3, 2, 3, 2, 3}));
  EXPECT_EQ(object->GetSource(), ScriptableObject::WrapperSource({}, {}));

  // An object that goes while queued leaves the queue.
  auto queued = std::make_unique<StagedObject>(Host(), Host(), cls_);
  queued.reset();
  EXPECT_EQ(Host()->QueuedCount(), 0u);
}

// Tokens are issued in an asset's name: without one, every token native answers null or false
// (and raises nothing for the null token it is handed back).
TEST_F(ScriptableObjectTest, AnObjectWithoutAssetIssuesNoTokens) {
  auto object = std::make_unique<StagedObject>(Host(), Host(), cls_);
  object->RunPendingStages();
  ASSERT_NE(object->scriptInstance, 0u);
  u32 word = 0;
  ASSERT_TRUE(GSRuntime::CallScriptMethod(object->scriptInstance, "$string@Probe::Tokens()", &word,
                                          {}));
  const GSRuntime::GSString* text = GSRuntime::GSString::FromReference(word);
  EXPECT_EQ(text != nullptr ? text->Std() : "<null>", "true,true,true,false,false");
  GSRuntime::ObjectBridge::ReleaseIfSet(word);
  EXPECT_TRUE(script_probe::Errors().empty());
}

TEST_F(ScriptableObjectTest, ReinitialisingFromTheObjectsRunningThreadEndsThatThread) {
  auto object = std::make_unique<StagedObject>(Host(), Host(), cls_);
  object->RunPendingStages();
  ASSERT_NE(object->scriptInstance, 0u);
  ASSERT_TRUE(GSRuntime::CallScriptMethod(object->scriptInstance, "$void@Probe::Work()", nullptr,
                                          {}));
  ASSERT_EQ(object->ThreadCount(), 1u);
  // The thread's native unbinds the instance the thread runs on and binds a new one; the running
  // thread is ended when its run returns and never reaches its next line.
  object->Update(0.1f);
  EXPECT_EQ(object->reloads, 1);
  EXPECT_EQ(object->stages, (std::vector<int>{1, 2, 3, 2, 3}));
  EXPECT_EQ(object->ThreadCount(), 0u);
  ASSERT_NE(object->scriptInstance, 0u);
  object->Update(0.1f);
  object.reset();
}

TEST_F(ScriptableObjectTest, OwnSourcesCompileToLibrariesNamedByTheirIds) {
  const scratch::Folder data;
  ASSERT_TRUE(SetUserDataRoot(data.path().c_str()));
  std::filesystem::create_directories(data.At("cache"));
  const Qel::String gslib(KESTRO_TEST_DATA_DIR "/../../gslib");
  auto source = [](const char* answer) {
    return Qel::String((std::string("include \"Kestro.gs\"\nclass CustomObject isclass GameObject "
                                    "{\n  public string Answer() { return \"") +
                        answer + "\"; }\n};\n")
                           .c_str());
  };
  GSRuntime::GSClass* first = ScriptableObject::CompileOwnSource(source("A"), gslib, {});
  GSRuntime::GSClass* second = ScriptableObject::CompileOwnSource(source("B"), gslib, {});
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(ScriptableObject::CompileOwnSource(source("A"), gslib, {}), first);

  std::vector<std::string> libraries;
  for (const auto& entry : std::filesystem::directory_iterator(data.At("cache"))) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() == ".gsl") libraries.push_back(name);
  }
  ASSERT_EQ(libraries.size(), 2u);
  for (const std::string& name : libraries) {
    EXPECT_EQ(name.rfind("temp_object_", 0), 0u) << name;
    EXPECT_EQ(name.size(), std::string("temp_object_0123456789abcdef.gsl").size()) << name;
  }
  // Each object's class keeps its own code.
  for (auto [cls, answer] : {std::pair{first, "A"}, std::pair{second, "B"}}) {
    GSRuntime::ScriptObjectHolder holder;
    ASSERT_TRUE(holder.Create(cls));
    EXPECT_EQ(script_probe::Text(holder, "Answer"), answer);
  }
  SetUserDataRoot(nullptr);
}

TEST(ScriptableObjectWrapperTest, WrapperDeclaresTheCustomClassOnTheAssetsClass) {
  EXPECT_EQ(std::string(ScriptableObject::WrapperSource({}, {}).CStr()),
            "include \"Kestro.gs\"\n\ninclude \"gs.gs\"\n\nclass CustomObject isclass GameObject\n"
            "{\n  public void Init(Asset self)\n  {\n    inherited(self);\n    //...\n  }\n};\n\n");
  const std::string named(
      ScriptableObject::WrapperSource(Qel::PString("Shed"), Qel::PString("shed.gsl")).CStr());
  EXPECT_NE(named.find("include \"shed.gs\""), std::string::npos) << named;
  EXPECT_NE(named.find("class CustomObject isclass Shed\n"), std::string::npos) << named;
}

// A message named "click" that carries the library's icon handle is the user's click: the library's
// script gets "Interface", "ClickSystemButton"; anything else goes on to the forward target (none
// here, which answers 1).
TEST_F(ScriptableObjectTest, ALibraryTurnsAClickOnItsIconIntoAScriptMessage) {
  Soup config;
  config.EnsureContainer();
  GSOLibrarySpec spec(KUID(1, 2, 0), nullptr, nullptr, Qel::PString(), config);
  GSRouter router;
  router.Start();
  // Records what the router hands the library.
  struct Library : GSOLibrary {
    using GSOLibrary::GSOLibrary;
    bool HandleMessage(GSRuntime::GSMessage* m) override {
      messages.push_back(router->TypeNameOfId(m->major) + "." + router->TypeNameOfId(m->minor) +
                         (m->destination == id ? " to the library" : " elsewhere"));
      return true;
    }
    std::vector<std::string> messages;
  } library(Host(), &spec);
  ASSERT_TRUE(router.AddNode(&library));
  // As a script handler of the message does.
  library.Subscribe(router.InternTypeName("Interface"));
  const auto delivered = [&] {
    router.Tick(0.0f);
    return std::exchange(library.messages, {});
  };
  const NuMessageData click(Qel::PString("click"), 7);
  // Without an icon there is nothing to click.
  EXPECT_EQ(library.ReceiveMessage(click), 1);
  EXPECT_TRUE(delivered().empty());
  library.SetSystemMenuIcon(7);
  const struct {
    const char* name;
    u32 handle;
    int answer;
    std::vector<std::string> messages;
  } cases[] = {
      {"click", 7, 0, {"Interface.ClickSystemButton to the library"}},
      {"click", 8, 1, {}},
      {"Click", 7, 1, {}},
      {"pipe-closed", 7, 1, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(library.ReceiveMessage(NuMessageData(Qel::PString(c.name), c.handle)), c.answer)
        << c.name << " " << c.handle;
    EXPECT_EQ(delivered(), c.messages) << c.name << " " << c.handle;
  }
}

}  // namespace
