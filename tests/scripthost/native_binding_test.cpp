#include "scripthost/native_binding.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "gsruntime/gs_context.h"
#include "gsruntime/gs_string.h"
#include "gsruntime/object_bridge.h"
#include "gsruntime/script_call.h"
#include "gsruntime/script_run_fixture.h"

namespace {

using GSRuntime::GSStack;

constexpr const char* kProbe = R"(include "gs.gs"
class Probe {
  public native int Take(Probe other, string text, int n);
  public native int TakeLoose(Probe other, string text, int n);
  public native int Which();
  public native int Later();
  public int CallTake(Probe other, string text, int n) { return Take(other, text, n); }
  public int CallTakeLoose(Probe other, string text, int n) { return TakeLoose(other, text, n); }
  public int CallWhich() { return Which(); }
  public int CallLater() { return Later(); }
};
)";

// A native object whose natives read their parameters the checked way: strictly, or with null
// objects and null or empty strings allowed.
struct ProbeObject : GSRuntime::GSObject {
  void Take(GSStack* stack) { Read(stack, false); }
  void TakeLoose(GSStack* stack) { Read(stack, true); }
  void Read(GSStack* stack, bool loose) {
    ProbeObject* other = nullptr;
    Qel::PString interned;
    Qel::String copy;
    if (!GSRuntime::GetParam(stack, 1, &other, loose) ||
        !GSRuntime::GetParam(stack, 2, &interned, loose) ||
        !GSRuntime::GetParam(stack, 2, &copy, loose)) {
      return;
    }
    stack->PushInt(GSRuntime::IntParam(stack, 3) + (other != nullptr ? 100 : 0) +
                   static_cast<i32>(interned.View().size() + copy.Length()));
  }
};

struct ProbeContext : GSRuntime::GSContext {
  void Which(GSStack* stack) { stack->PushInt(7); }
};

void RegisterProbe(GSMachine& machine) {
  GSRuntime::RegisterNative(machine, "Probe", "$int@Probe::Take(Probe,string,int)",
                            &ProbeObject::Take);
  GSRuntime::RegisterNative(machine, "Probe", "$int@Probe::TakeLoose(Probe,string,int)",
                            &ProbeObject::TakeLoose);
  GSRuntime::RegisterContextNative(machine, "Probe", "$int@Probe::Which()", &ProbeContext::Which);
  machine.RegisterNative(new GSRuntime::GSUnbuiltNativeFunction("Probe", "$int@Probe::Later()"));
}

class NativeBindingTest : public gs_test::ScriptRunTest {
 protected:
  void SetUp() override {
    gs_test::ScriptRunTest::SetUp();
    GSMachine::AddInitHook(RegisterProbe);
    folder_.Put("probe.gs", kProbe);
    IncludePathList includes;
    includes.Add(KESTRO_TEST_DATA_DIR "/../../gslib", Qel::PString());
    GSCompileLog log;
    ASSERT_EQ(CompileLibraryFile(folder_.At("probe.gs").c_str(), nullptr, &includes, &log), 0);
    GSMachine::Instance().AddLibraryFolder("", KESTRO_BINARY_DIR "/libraries");
    GSMachine::Instance().AddLibraryFolder(folder_.path(), "");
    GSRuntime::GSLibrary* library = GSMachine::Instance().FindLibrary("probe.gsl");
    ASSERT_NE(library, nullptr);
    probeClass_ = library->FindClass("Probe");
    ASSERT_NE(probeClass_, nullptr);
    EXPECT_FALSE(Logged("Could not resolve native link"));
  }
  void TearDown() override {
    objects_.clear();
    contexts_.clear();
    GSMachine::RemoveInitHook(RegisterProbe);
    gs_test::ScriptRunTest::TearDown();
  }

  // A Probe instance bound to a native object of class T in a context of class C.
  template <class T, class C>
  GSRuntime::GSObject* Make() {
    contexts_.push_back(std::make_unique<C>());
    auto* object = new T;
    EXPECT_TRUE(object->BindScriptInstance(probeClass_, contexts_.back().get()));
    objects_.emplace_back(object);
    return object;
  }

  // Calls a Probe method on `self`; the result, or -1 when the call failed.
  i32 Run(GSRuntime::GSObject* self, const std::string& signature, std::vector<u32> arguments) {
    u32 result = 0;
    if (!GSRuntime::CallScriptMethod(self->scriptInstance, signature, &result, arguments)) {
      return -1;
    }
    return static_cast<i32>(result);
  }
  static u32 Counted(GSRuntime::GSObject* object) {
    if (object == nullptr) return 0;
    GSRuntime::ObjectBridge::AddReference(object->scriptInstance);
    return object->scriptInstance;
  }
  static u32 Text(const char* text) {
    return text == nullptr ? 0 : GSRuntime::ObjectBridge::NewString(text, u32(std::strlen(text)));
  }

  GSRuntime::GSClass* probeClass_ = nullptr;
  std::vector<std::unique_ptr<GSRuntime::GSContext>> contexts_;
  std::vector<std::unique_ptr<GSRuntime::GSObject>> objects_;
};

constexpr const char* kObjectText = "(an object)";

TEST_F(NativeBindingTest, ParametersAreCheckedWithTheScriptErrorsOfEachKind) {
  GSRuntime::GSObject* self = Make<ProbeObject, ProbeContext>();
  GSRuntime::GSObject* plain = Make<GSRuntime::GSObject, GSRuntime::GSContext>();
  enum Other { kSelf, kNull, kPlain };
  struct Row {
    bool loose;
    Other other;
    const char* text;
    i32 result;         // -1: the thread ended
    const char* error;  // the raised text, or null
  };
  const Row rows[] = {
      {false, kSelf, "abc", 100 + 6 + 5, nullptr},
      {false, kNull, "abc", -1, "Probe.Take> null object at parameter 1"},
      {true, kNull, "abc", 6 + 5, nullptr},
      {false, kPlain, "abc", -1, "Probe.Take> incorrect parameter type at parameter 1"},
      {true, kPlain, "abc", -1, "Probe.TakeLoose> incorrect parameter type at parameter 1"},
      {false, kSelf, nullptr, -1, "Probe.Take> null string at parameter 2"},
      {false, kSelf, "", -1, "Probe.Take> empty string at parameter 2"},
      // An object where a string belongs reads as no string, not as a type error.
      {false, kSelf, kObjectText, -1, "Probe.Take> null string at parameter 2"},
      {true, kSelf, kObjectText, 105, nullptr},
      {true, kSelf, nullptr, 105, nullptr},
      {true, kSelf, "", 105, nullptr},
  };
  for (const Row& row : rows) {
    gs_test::LogLines().clear();
    GSRuntime::GSObject* other = row.other == kSelf ? self : row.other == kPlain ? plain : nullptr;
    const char* signature = row.loose ? "$int@Probe::CallTakeLoose(Probe,string,int)"
                                      : "$int@Probe::CallTake(Probe,string,int)";
    const std::string what = std::string(signature) + " " + std::to_string(row.other) + " " +
                             (row.text != nullptr ? row.text : "(null)");
    const u32 text = row.text == kObjectText ? Counted(plain) : Text(row.text);
    EXPECT_EQ(Run(self, signature, {Counted(other), text, 5}), row.result) << what;
    if (row.error != nullptr) {
      EXPECT_TRUE(Logged(row.error)) << what;
    } else {
      EXPECT_TRUE(gs_test::LogLines().empty()) << what;
    }
  }
}

// A native of another object class, or of another context class, fails the call without running;
// a native still to come raises its own name.
TEST_F(NativeBindingTest, AReceiverOfAnotherClassFailsTheCall) {
  GSRuntime::GSObject* plainInProbeContext = Make<GSRuntime::GSObject, ProbeContext>();
  GSRuntime::GSObject* probeInPlainContext = Make<ProbeObject, GSRuntime::GSContext>();

  EXPECT_EQ(Run(plainInProbeContext, "$int@Probe::CallTake(Probe,string,int)",
                {Counted(plainInProbeContext), Text("a"), 1}),
            -1);
  EXPECT_TRUE(Logged("ER_NativeCallError"));
  EXPECT_EQ(Run(plainInProbeContext, "$int@Probe::CallWhich()", {}), 7);

  gs_test::LogLines().clear();
  EXPECT_EQ(Run(probeInPlainContext, "$int@Probe::CallWhich()", {}), -1);
  EXPECT_TRUE(Logged("ER_NativeCallError"));

  gs_test::LogLines().clear();
  EXPECT_EQ(Run(probeInPlainContext, "$int@Probe::CallLater()", {}), -1);
  EXPECT_TRUE(Logged("Probe.Later> not implemented"));
  EXPECT_FALSE(Logged("ER_NativeCallError"));
}

TEST(UnbuiltNativeNameTest, NamesClassAndMethodOfASignature) {
  using GSRuntime::NativeMethodName;
  EXPECT_EQ(NativeMethodName("$Asset[]@KestroScriptBase::GetAssetList(string)"),
            "KestroScriptBase.GetAssetList");
  EXPECT_EQ(NativeMethodName("$void@Soup::Clear()"), "Soup.Clear");
  EXPECT_EQ(NativeMethodName("no signature"), "no signature");
}

}  // namespace
