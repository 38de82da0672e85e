#include <climits>
#include <cmath>
#include <cstring>
#include <optional>

#include "gscommon/opcode_table.h"
#include "gsruntime/gs_context.h"
#include "gsruntime/gs_object.h"
#include "gsruntime/gs_script_instance.h"
#include "gsruntime/gs_tracked_object.h"
#include "gsruntime/script_call.h"
#include "gsruntime/script_run_fixture.h"

namespace {

using GSRuntime::ScriptArgument;

constexpr const char* kOps = R"(class Busy {
  public int Burn(int n) { int i; for (i = 0; i < n; i++) { } return n; }
  int spent = Burn(400000);
};
class Ops {
  public int Compare(int a, int b) {
    int r = 0;
    if (a < b) r = r + 1;
    if (a <= b) r = r + 2;
    if (a > b) r = r + 4;
    if (a >= b) r = r + 8;
    if (a == b) r = r + 16;
    if (a != b) r = r + 32;
    return r;
  }
  public int Div(int a, int b) { return a / b; }
  public int Mod(int a, int b) { return a % b; }
  public int Shl(int a, int b) { return a << b; }
  public int Shr(int a, int b) { return a >> b; }
  public float FDiv(float a, float b) { return a / b; }
  public int Ftoi(float f) { return (int) f; }
  public int Order(string a, string b) { if (a < b) return -1; if (a > b) return 1; return 0; }
  public int Switch(int a) { switch (a) { case 1: return 10; case 5: return 50; default: return 7; } return 0; }
  public int Grow(int at) { int[] v = new int[0]; v[at] = 3; return v.size() * 10 + v[at] + v[0]; }
  public int Read(int at) { int[] v = new int[2]; return v[at]; }
  public int Spin() { while (true) { } return 0; }
  public int Make(int n) { int i; for (i = 0; i < n; i++) { } Busy b = new Busy(); return 1; }
  public int Deep(int n) { return Deep(n + 1); }
  public int Double(int n) { string s = "x"; int i; for (i = 0; i < n; i++) { s = s + s; } return s.size(); }
};
class Rec {
  Rec next = new Rec();
};
)";

ScriptArgument I(i32 v) { return ScriptArgument::Int(v); }
ScriptArgument F(f32 v) { return ScriptArgument::Float(v); }
ScriptArgument S(const char* v) {
  return v != nullptr ? ScriptArgument::String(v) : ScriptArgument::NullString();
}
u32 Bits(f32 v) {
  u32 bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

class InterpreterTest : public gs_test::ScriptRunTest {};

// Each row: a method, its arguments, and the result word or the error exit it ends in. Patched
// rows first replace the method's code with bytes the compiler would not write.
TEST_F(InterpreterTest, OpcodeGroupsGiveTheirResultsAndErrors) {
  struct Row {
    const char* method;
    std::vector<ScriptArgument> arguments;
    u32 result;
    const char* error = nullptr;
    std::vector<u8> patch = {};
  };
  const u32 kMin = u32(INT_MIN);
  const std::vector<Row> rows = {
      {"Compare", {I(INT_MIN), I(INT_MAX)}, 1 + 2 + 32},
      {"Compare", {I(INT_MAX), I(INT_MIN)}, 4 + 8 + 32},
      {"Compare", {I(INT_MIN), I(INT_MIN)}, 2 + 8 + 16},
      {"Div", {I(7), I(-2)}, u32(-3)},
      {"Div", {I(-7), I(2)}, u32(-3)},
      {"Mod", {I(-7), I(2)}, u32(-1)},
      {"Mod", {I(7), I(-2)}, 1},
      {"Div", {I(INT_MIN), I(-1)}, kMin},
      {"Mod", {I(INT_MIN), I(-1)}, 0},
      {"Div", {I(1), I(0)}, 0, "ER_DivideByZero"},
      {"Mod", {I(1), I(0)}, 0, "ER_DivideByZero"},
      {"Shl", {I(1), I(31)}, kMin},
      {"Shl", {I(1), I(32)}, 1},
      {"Shl", {I(1), I(-1)}, kMin},
      {"Shr", {I(-1), I(28)}, 15},
      {"Shr", {I(-1), I(32)}, 0xFFFFFFFFu},
      {"Shr", {I(-1), I(-1)}, 1},
      {"FDiv", {F(1), F(-0.0f)}, Bits(-INFINITY)},
      {"FDiv", {F(1), F(0.0f)}, 0, "ER_DivideByZero"},
      {"Ftoi", {F(NAN)}, kMin},
      {"Ftoi", {F(3e9f)}, kMin},
      {"Ftoi", {F(-2.7f)}, u32(-2)},
      {"Order", {S(nullptr), S("")}, 0},
      {"Order", {S(""), S(nullptr)}, 0},
      {"Order", {S(nullptr), S("a")}, u32(-1)},
      {"Order", {S("a"), S(nullptr)}, 1},
      {"Order", {S("ab"), S("b")}, u32(-1)},
      {"Switch", {I(5)}, 50},
      {"Switch", {I(3)}, 7},
      // LOAD 1; SWITCH with no cases to 10; PUSHC 7; RETV
      {"Switch", {I(1)}, 7, nullptr, {31, 1, 0, 113, 0, 0, 10, 0, 0, 0, 30, 7, 0, 0, 0, 110}},
      {"Grow", {I(5)}, 63},
      {"Grow", {I(INT_MAX)}, 0, "ER_ArrayOutOfBounds"},
      {"Read", {I(INT_MAX)}, 0, "ER_ArrayOutOfBounds"},
      {"Read", {I(-1)}, 0, "ER_ArrayOutOfBounds"},
      // Strings stop at the 16 MiB text cap.
      {"Double", {I(24)}, 1u << 24},
      {"Double", {I(25)}, 0, "ER_StringOutOfBounds"},
      {"Spin", {}, 0, "ER_Timeout", {43, 0, 0, 0, 0}},  // JMP to itself
      {"Div", {I(1), I(1)}, 0, "ER_IllegalInstruction", {200}},
      // LOAD 0; PUSHC 1; RETV: two words above the frame. `me` is released once, not again by
      // the unwinding, so the object lives on for the next row.
      {"Order", {S("a"), S("b")}, 0, "ER_StackReturnError", {31, 0, 0, 30, 1, 0, 0, 0, 110}},
      {"Compare", {I(1), I(1)}, 2 + 8 + 16},
      // The dispatch table follows the opcode list: its first and last entries reach their own
      // handlers and the byte after the last one is illegal.
      // LOAD 1; LOAD 2; ADD; RETV
      {"Shl", {I(40), I(2)}, 42, nullptr, {31, 1, 0, 31, 2, 0, 0, 110}},
      // LOAD 1; NE; RETV
      {"Shr", {I(7), I(0)}, 1, nullptr, {31, 1, 0, 115, 110}},
      {"Mod", {I(1), I(1)}, 0, "ER_IllegalInstruction", {u8(GSByteCode::kOpcodeCount)}},
      // The constructor's loop alone stays inside the budget; after the caller's it does not.
      {"Make", {I(0)}, 1},
      {"Make", {I(400000)}, 0, "ER_ClassCreateError"},
  };
  Build(kOps, "Ops");
  for (const Row& row : rows) {
    const GSRuntime::GSFunction* f = object_.FindPublicMethod(row.method, row.arguments);
    ASSERT_NE(f, nullptr) << row.method;
    if (!row.patch.empty()) PatchCode("Ops", *f->name, row.patch);
    gs_test::LogLines().clear();
    u32 word = 0;
    const bool done = object_.Call(f, row.arguments, &word);
    const std::string what = std::string(row.method) + " row " + std::to_string(&row - &rows[0]);
    if (row.error == nullptr) {
      EXPECT_TRUE(done) << what;
      EXPECT_EQ(word, row.result) << what;
    } else {
      EXPECT_FALSE(done) << what;
      EXPECT_TRUE(Logged(std::string("Thread Exception: ") + row.error + ", line ")) << what;
      EXPECT_TRUE(Logged("Stack Dump...")) << what;
    }
  }
  EXPECT_TRUE(Logged("Thread Exception: ER_Timeout, line 2, file "));  // in Busy's loop
}

TEST_F(InterpreterTest, RecursionEndsInTheStackOverflowExit) {
  Build(kOps, "Ops");
  u32 word = 0;
  EXPECT_FALSE(Call("Deep", {I(0)}, &word));
  EXPECT_TRUE(Logged("GSStack overflow..."));
  EXPECT_TRUE(Logged("function $int@Ops::Deep(int)"));
  EXPECT_TRUE(Logged("Thread Exception: ER_StackOverflow, line 28, file "));
  EXPECT_TRUE(Logged("function $int@Ops::Deep(int), line 28"));

  // Field initialisers that make their own class nest on the static thread until it is full.
  gs_test::LogLines().clear();
  GSRuntime::ScriptObjectHolder recursive;
  EXPECT_FALSE(recursive.Create(library_->FindClass("Rec")));
  EXPECT_TRUE(Logged("GSStack overflow..."));
  EXPECT_TRUE(Logged("Thread Exception: ER_StackOverflow, line "));
  EXPECT_TRUE(Logged("Thread Exception: ER_ClassCreateError, line "));
  // The static thread is as it was: a later call still runs.
  EXPECT_TRUE(Call("Div", {I(9), I(3)}, &word));
  EXPECT_EQ(word, 3u);
}

}  // namespace

// Classes that put functions of different result kinds at one method slot: a call whose
// argument is another call's object result must still find both callees.
TEST_F(InterpreterTest, CallResultsPassedOnRunWhenSlotsCollide) {
  constexpr const char* kCollide = R"(class Other {
  public int Count() { return 3; }
  public int Twice(int n) { return n * 2; }
};
class Holder {
  public Holder Self() { return me; }
  public int Take(Holder h) { if (h == null) return 0; return 7; }
  int Use(Holder g) { return g.Take(g.Self()); }
  public int Run() {
    Holder h = new Holder(); Other o = new Other();
    return h.Take(h.Self()) + o.Count() + o.Twice(h.Take(h.Self())) + Use(h) * 100;
  }
};
)";
  Build(kCollide, "Holder");
  u32 word = 0;
  EXPECT_TRUE(Call("Run", {}, &word));
  EXPECT_EQ(word, 7u + 3u + 14u + 700u);
}

// A call on an object of another context runs in that context, and its return, or a call back
// into the caller's, runs in the caller's again: what each makes is tracked where it ran.
TEST_F(InterpreterTest, CallsOnAnotherContextsObjectRunInItsContext) {
  constexpr const char* kPeers = R"(class Peer {
  Peer peer;
  int[] theirs;
  int[] mine;
  int[] back;
  public int[] Make() { return new int[1]; }
  public int[] Back(Peer caller) {
    int[] made = caller.Make();
    theirs = new int[1];
    return made;
  }
  public void Run() {
    theirs = peer.Make();
    mine = new int[1];
    back = peer.Back(me);
  }
};
)";
  Build(kPeers, "Peer");
  GSRuntime::ScriptObjectHolder other;
  GSRuntime::GSClass* cls = library_->FindClass("Peer");
  ASSERT_TRUE(other.Create(cls));
  other.Context()->shareable = 1;  // so that our object may hold it and what it makes
  const auto field = [&](const char* name) -> u32 {
    for (const auto& f : cls->fields) {
      if (library_->image.strings[f.name] == name) return u32(f.slot);
    }
    ADD_FAILURE() << name;
    return 0;
  };
  GSRuntime::GSScriptInstance::AddRef(other.Reference());
  ASSERT_NE(GSRuntime::GSObject::SetObjectField(object_.Reference(), field("peer"),
                                                other.Reference()),
            0u);
  u32 word = 0;
  ASSERT_TRUE(Call("Run", {}, &word));
  const auto contextOf = [&](GSRuntime::ScriptRef object, const char* name) {
    const u32 array = *GSMachine::Instance().Arena().Word(object + field(name));
    const GSRuntime::GSTrackedRegistry* registry =
        GSRuntime::OwnerRegistry(GSRuntime::GSScriptInstance::InstanceOf(array));
    return registry != nullptr ? registry->Owner() : nullptr;
  };
  EXPECT_EQ(contextOf(object_.Reference(), "theirs"), other.Context());
  EXPECT_EQ(contextOf(object_.Reference(), "mine"), object_.Context());
  EXPECT_EQ(contextOf(object_.Reference(), "back"), object_.Context());
  EXPECT_EQ(contextOf(other.Reference(), "theirs"), other.Context());
  object_.Destroy();
}
