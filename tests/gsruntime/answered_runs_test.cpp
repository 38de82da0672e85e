// A native that answers for the runs it starts: every report of their failure (the run breaking,
// or a native it calls ending it, or no room to start it) reads as answered for in the exception
// hook; a run nested deeper, or one started by a native that does not answer for it, does not.
#include <string>
#include <vector>

#include "gsruntime/gs_native_function.h"
#include "gsruntime/gs_string.h"
#include "gsruntime/native_params.h"
#include "gsruntime/script_run_fixture.h"

namespace {

constexpr const char* kRuns = R"gs(class P {
  native void Answered(string signature);
  native void Unanswered(string signature);
  native void Refuse();
  public void Fail() { int[] none; none[0] = 1; }
  public void Raise() { Refuse(); }
  public void Nested() { Unanswered("$void@P::Fail()"); }
  public void Deep() { Answered("$void@P::Deep()"); }
  public void Run(string signature) { Answered(signature); }
  public void RunUnanswered(string signature) { Unanswered(signature); }
};
)gs";

// For each ending report: 'A' answered for, 'U' not.
std::string& Reports() {
  static std::string reports;
  return reports;
}

void NoteReport(const char*, GSRuntime::GSStack*, GSRuntime::GSThreadOwner*, bool keepAlive) {
  if (!keepAlive) Reports() += GSMachine::Instance().InAnsweredRun() ? 'A' : 'U';
}

bool RunNamed(GSRuntime::GSHandle me, GSRuntime::GSStack* stack) {
  GSRuntime::CallScriptMethod(me, GSRuntime::StringParam(stack, 1)->Std(), nullptr, {});
  return true;
}

class AnsweredRunsTest : public gs_test::ScriptRunTest {
 protected:
  void SetUp() override {
    ScriptRunTest::SetUp();
    Reports().clear();
    GSMachine::SetExceptionHook(NoteReport);
    GSMachine& machine = GSMachine::Instance();
    machine.RegisterNative(new GSRuntime::GSCNativeFunction(
        "P", "$void@P::Answered(string)", [](GSRuntime::GSHandle me, GSRuntime::GSStack* stack) {
          const GSAnsweredRuns answered;
          return RunNamed(me, stack);
        }));
    machine.RegisterNative(
        new GSRuntime::GSCNativeFunction("P", "$void@P::Unanswered(string)", RunNamed));
    machine.RegisterNative(new GSRuntime::GSCNativeFunction(
        "P", "$void@P::Refuse()", [](GSRuntime::GSHandle, GSRuntime::GSStack*) {
          return GSRuntime::RaiseScriptError("no");
        }));
    Build(kRuns, "P");
  }
  void TearDown() override {
    GSMachine::SetExceptionHook(nullptr);
    ScriptRunTest::TearDown();
  }
};

TEST_F(AnsweredRunsTest, OnlyTheRunsANativeStartsAndAnswersForReadAsAnswered) {
  const struct {
    const char* method;
    const char* signature;
    const char* reports;
  } cases[] = {
      {"Run", "$void@P::Fail()", "A"},
      // The native's error, then the run it ends.
      {"Run", "$void@P::Raise()", "AA"},
      {"Run", "$void@P::Nested()", "U"},
      {"RunUnanswered", "$void@P::Fail()", "U"},
  };
  for (const auto& c : cases) {
    Reports().clear();
    u32 word = 0;
    EXPECT_TRUE(Call(c.method, {GSRuntime::ScriptArgument::String(c.signature)}, &word))
        << c.signature;
    EXPECT_EQ(Reports(), c.reports) << c.method << " " << c.signature;
  }
  // The caller's own failure is its own.
  Reports().clear();
  u32 word = 0;
  EXPECT_FALSE(Call("Raise", {}, &word));
  EXPECT_EQ(Reports(), "UU");
}

TEST_F(AnsweredRunsTest, ARunWithoutRoomToStartIsAnsweredForToo) {
  u32 word = 0;
  EXPECT_TRUE(Call("Deep", {}, &word));
  EXPECT_TRUE(Logged("ER_StackOverflow, line -1"));
  EXPECT_EQ(Reports(), "A");
}

}  // namespace
