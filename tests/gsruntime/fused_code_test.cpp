#include "gsruntime/fused_code.h"

#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "gscommon/opcode_table.h"
#include "gsruntime/gs_game_object.h"
#include "gsruntime/gs_native_function.h"
#include "gsruntime/gs_script_instance.h"
#include "gsruntime/gs_thread.h"
#include "gsruntime/object_bridge.h"
#include "gsruntime/script_run_fixture.h"

namespace {

using GSByteCode::Opcode;
using GSRuntime::FusedOpcode;
using GSRuntime::ScriptArgument;
using GSRuntime::ScriptRef;

u8 Op(Opcode op) { return u8(op); }
u8 Op(FusedOpcode op) { return u8(op); }

// Each row: code, and the code FuseCode leaves. Only first bytes of runs may change.
TEST(FusedCodeTest, RewritesTheFirstByteOfEachRunAndNothingElse) {
  constexpr u8 kLoad = u8(Opcode::kLoad);
  constexpr u8 kLoadr = u8(Opcode::kLoadr);
  constexpr u8 kPushc = u8(Opcode::kPushc);
  constexpr u8 kCmp = u8(Opcode::kCmp);
  constexpr u8 kJz = u8(Opcode::kJz);
  constexpr u8 kRetv = u8(Opcode::kRetv);
  constexpr u8 kCall = u8(Opcode::kCall);
  constexpr u8 kJmp = u8(Opcode::kJmp);
  constexpr u8 kStore = u8(Opcode::kStore);
  constexpr u8 kInc = u8(Opcode::kInc);
  struct Row {
    const char* what;
    std::vector<u8> code;
    std::vector<u8> fused;
  };
  const std::vector<Row> rows = {
      {"compare locals, and the compare inside it",
       {kLoad, 1, 0, kLoad, 2, 0, kCmp, Op(Opcode::kGe), kJz, 14, 0, 0, 0, kRetv, kRetv},
       {Op(FusedOpcode::kLoadLoadCmpJz), 1, 0, kLoad, 2, 0, Op(FusedOpcode::kCmpJz),
        Op(Opcode::kGe), kJz, 14, 0, 0, 0, kRetv, kRetv}},
      {"compare with a constant",
       {kLoad, 1, 0, kPushc, 2, 0, 0, 0, kCmp, Op(Opcode::kNot), kJz, 15, 0, 0, 0, kRetv},
       {Op(FusedOpcode::kLoadConstCmpJz), 1, 0, kPushc, 2, 0, 0, 0, Op(FusedOpcode::kCmpJz),
        Op(Opcode::kNot), kJz, 15, 0, 0, 0, kRetv}},
      {"loop heads on less-than, against a local and against a constant",
       {kLoad, 1, 0, kLoad, 2, 0, kCmp, Op(Opcode::kLt), kJz, 28, 0, 0, 0, kLoad, 1, 0, kPushc, 9,
        0, 0, 0, kCmp, Op(Opcode::kLt), kJz, 28, 0, 0, 0, kRetv},
       {Op(FusedOpcode::kLoadLoadLtJz), 1, 0, kLoad, 2, 0, Op(FusedOpcode::kCmpJz),
        Op(Opcode::kLt), kJz, 28, 0, 0, 0, Op(FusedOpcode::kLoadConstLtJz), 1, 0, kPushc, 9, 0, 0,
        0, Op(FusedOpcode::kCmpJz), Op(Opcode::kLt), kJz, 28, 0, 0, 0, kRetv}},
      {"a branch on nonzero and a non-condition stay",
       {kCmp, Op(Opcode::kLt), Op(Opcode::kJnz), 7, 0, 0, 0, kCmp, Op(Opcode::kNeg), kJz, 0, 0, 0,
        0},
       {kCmp, Op(Opcode::kLt), Op(Opcode::kJnz), 7, 0, 0, 0, kCmp, Op(Opcode::kNeg), kJz, 0, 0, 0,
        0}},
      {"sums, and an increment of one slot only",
       {kLoad, 1, 0, kLoad, 2, 0, Op(Opcode::kAdd), kLoad, 1, 0, kPushc, 5, 0, 0, 0,
        Op(Opcode::kSub), kLoad, 3, 0, Op(Opcode::kInc), Op(Opcode::kStore), 3, 0, kLoad, 3, 0,
        Op(Opcode::kInc), Op(Opcode::kStore), 4, 0},
       {Op(FusedOpcode::kLoadLoadAdd), 1, 0, kLoad, 2, 0, Op(Opcode::kAdd),
        Op(FusedOpcode::kLoadConstSub), 1, 0, kPushc, 5, 0, 0, 0, Op(Opcode::kSub),
        Op(FusedOpcode::kLoadIncStore), 3, 0, Op(Opcode::kInc), Op(Opcode::kStore), 3, 0, kLoad, 3,
        0, Op(Opcode::kInc), Op(Opcode::kStore), 4, 0}},
      {"array element runs; a reference store stays",
       {kLoadr, 2, 0, kLoad, 3, 0, kLoad, 4, 0, Op(Opcode::kAset), kLoadr, 2, 0, kLoad, 3, 0,
        Op(Opcode::kAget), kLoadr, 2, 0, Op(Opcode::kAsize), kLoadr, 2, 0, kLoad, 3, 0, kLoadr, 4,
        0, Op(Opcode::kAsetr)},
       {Op(FusedOpcode::kLoadrLoadLoadAset), 2, 0, kLoad, 3, 0, kLoad, 4, 0, Op(Opcode::kAset),
        Op(FusedOpcode::kLoadrLoadAget), 2, 0, kLoad, 3, 0, Op(Opcode::kAget),
        Op(FusedOpcode::kLoadrAsize), 2, 0, Op(Opcode::kAsize), kLoadr, 2, 0, kLoad, 3, 0, kLoadr,
        4, 0, Op(Opcode::kAsetr)}},
      {"a returned local", {kLoad, 1, 0, kRetv}, {Op(FusedOpcode::kLoadRetv), 1, 0, kRetv}},
      {"a returned sum, and a sum stored", {Op(Opcode::kAdd), kRetv, Op(Opcode::kAdd), kStore, 1, 0},
       {Op(FusedOpcode::kAddRetv), kRetv, Op(Opcode::kAdd), kStore, 1, 0}},
      {"a stored sum, a step and its jump back, and a step of another slot before a jump",
       {kLoad, 1, 0, kLoad, 2, 0, Op(Opcode::kAdd), kStore, 3, 0, kLoad, 2, 0, kInc, kStore, 2,
        0, kJmp, 0, 0, 0, 0, kLoad, 2, 0, kInc, kStore, 1, 0, kJmp, 0, 0, 0, 0},
       {Op(FusedOpcode::kLoadLoadAddStore), 1, 0, kLoad, 2, 0, Op(Opcode::kAdd), kStore, 3, 0,
        Op(FusedOpcode::kLoadIncStoreJmp), 2, 0, kInc, kStore, 2, 0, kJmp, 0, 0, 0, 0, kLoad, 2,
        0, kInc, kStore, 1, 0, kJmp, 0, 0, 0, 0}},
      {"a compare with an array's size, an element added to a sum, and the runs inside them",
       {kLoad, 1, 0, kLoadr, 2, 0, Op(Opcode::kAsize), kCmp, Op(Opcode::kLe), kJz, 27, 0, 0, 0,
        kLoad, 3, 0, kLoadr, 2, 0, kLoad, 1, 0, Op(Opcode::kAget), Op(Opcode::kAdd), kStore, 3,
        0, kRetv},
       {Op(FusedOpcode::kLoadLoadrAsizeCmpJz), 1, 0, Op(FusedOpcode::kLoadrAsize), 2, 0,
        Op(Opcode::kAsize), Op(FusedOpcode::kCmpJz), Op(Opcode::kLe), kJz, 27, 0, 0, 0,
        Op(FusedOpcode::kLoadLoadrLoadAgetAddStore), 3, 0, Op(FusedOpcode::kLoadrLoadAget), 2, 0,
        kLoad, 1, 0, Op(Opcode::kAget), Op(Opcode::kAdd), kStore, 3, 0, kRetv}},
      {"a run cut by the code's end", {kLoad, 1, 0, kLoad, 2, 0}, {kLoad, 1, 0, kLoad, 2, 0}},
      {"a call on `me` past its arguments",
       {kLoadr, 0, 0, kLoad, 1, 0, kPushc, 1, 0, 0, 0, Op(Opcode::kAdd), kLoad, 2, 0, kCall, 0xFE,
        0xFF, 3, 0},
       {Op(FusedOpcode::kLoadMe), 0, 0, Op(FusedOpcode::kLoadConstAdd), 1, 0, kPushc, 1, 0, 0, 0,
        Op(Opcode::kAdd), kLoad, 2, 0, Op(FusedOpcode::kCallMe), 0xFE, 0xFF, 3, 0}},
      {"a recursion's step, and one with a second argument",
       {kLoadr, 0, 0, kLoad, 1, 0, kPushc, 1, 0, 0, 0, Op(Opcode::kSub), kCall, 0xFF, 0xFF, 3, 0,
        kLoadr, 0, 0, kLoad, 1, 0, kPushc, 2, 0, 0, 0, Op(Opcode::kSub), kLoad, 2, 0, kCall, 0xFE,
        0xFF, 3, 0},
       {Op(FusedOpcode::kLoadMeLoadConstSubCall), 0, 0, Op(FusedOpcode::kLoadConstSub), 1, 0,
        kPushc, 1, 0, 0, 0, Op(Opcode::kSub), Op(FusedOpcode::kCallMe), 0xFF, 0xFF, 3, 0,
        Op(FusedOpcode::kLoadMe), 0, 0, Op(FusedOpcode::kLoadConstSub), 1, 0, kPushc, 2, 0, 0, 0,
        Op(Opcode::kSub), kLoad, 2, 0, Op(FusedOpcode::kCallMe), 0xFE, 0xFF, 3, 0}},
      {"`me` as an argument, not the object",
       {kLoadr, 1, 0, kLoadr, 0, 0, kCall, 0xFF, 0xFF, 3, 0},
       {kLoadr, 1, 0, kLoadr, 0, 0, kCall, 0xFF, 0xFF, 3, 0}},
      {"a jump into the words between",
       {kJmp, 8, 0, 0, 0, kLoadr, 0, 0, kLoad, 1, 0, kCall, 0xFF, 0xFF, 3, 0},
       {kJmp, 8, 0, 0, 0, kLoadr, 0, 0, kLoad, 1, 0, kCall, 0xFF, 0xFF, 3, 0}},
      {"another call between",
       {kLoadr, 0, 0, kLoadr, 1, 0, kCall, 0, 0, 3, 0, kCall, 0xFF, 0xFF, 3, 0},
       {kLoadr, 0, 0, kLoadr, 1, 0, kCall, 0, 0, 3, 0, kCall, 0xFF, 0xFF, 3, 0}},
  };
  for (const Row& row : rows) {
    std::vector<u8> code = row.code;
    GSByteCode::FunctionRecord record;
    record.code = code.data();
    record.codeLength = u32(code.size());
    GSRuntime::FuseCode(record);
    EXPECT_EQ(code, row.fused) << row.what;
  }
}

TEST(FusedCodeTest, ConditionMasksFollowTheConditionOpcodes) {
  // Outcomes of CMP: bit 0 below, bit 1 equal, bit 2 above.
  EXPECT_EQ(GSRuntime::kConditionMasks.mask[Op(Opcode::kLt)], 0b001);
  EXPECT_EQ(GSRuntime::kConditionMasks.mask[Op(Opcode::kLe)], 0b011);
  EXPECT_EQ(GSRuntime::kConditionMasks.mask[Op(Opcode::kEq)], 0b010);
  EXPECT_EQ(GSRuntime::kConditionMasks.mask[Op(Opcode::kNot)], 0b010);
  EXPECT_EQ(GSRuntime::kConditionMasks.mask[Op(Opcode::kNe)], 0b101);
  EXPECT_EQ(GSRuntime::kConditionMasks.mask[Op(Opcode::kGe)], 0b110);
  EXPECT_EQ(GSRuntime::kConditionMasks.mask[Op(Opcode::kGt)], 0b100);
  EXPECT_EQ(GSRuntime::kConditionMasks.mask[Op(Opcode::kCmp)], 0);
}

class FusedRunTest : public gs_test::ScriptRunTest {};

constexpr const char* kFused = R"(class Runs {
  public int Sum(int n) { int s = 0; int i; for (i = 0; i < n; i++) s = s + i; return s; }
  public int Read(int at) {
    int[] v = new int[2];
    return v[at];
  }
  public int Write(int at) {
    int[] v = new int[2]; int x = 5;
    v[at] = x;
    return v.size();
  }
  public int Size() {
    int[] v;
    return v.size();
  }
  public int Pick(int a, int b) { int c = a * b - a; return c + b + a; }
  public int Total(int n) {
    int[] v = new int[0];
    int i;
    for (i = 0; i < n; i++) v[i] = i;
    int s = 0;
    for (i = 0; i < v.size(); i++) s = s + v[i];
    return s;
  }
  public int Past(int n) {
    int[] v = new int[n];
    int s = 0;
    int i;
    for (i = 0; i <= v.size(); i++) s = s + v[i];
    return s;
  }
  public int Unmade(int n) {
    int[] v;
    int s = n;
    int i;
    for (i = 0; i < v.size(); i++) s = s + v[i];
    return s;
  }
  public int Below(int n) {
    int s = 0;
    int i;
    for (i = n; i < 3; i++) s = s + 2;
    return s;
  }
};
)";

ScriptArgument I(i32 v) { return ScriptArgument::Int(v); }

// Runs fused in a loaded library give the results, errors and error lines of the instructions
// they stand for, and the run budget counts the same bytes.
TEST_F(FusedRunTest, FusedRunsKeepResultsErrorsAndTheBudget) {
  Build(kFused, "Runs");
  u32 word = 0;
  EXPECT_TRUE(Call("Sum", {I(10)}, &word));
  EXPECT_EQ(word, 45u);
  EXPECT_TRUE(Call("Write", {I(7)}, &word));  // a store past the end grows the array
  EXPECT_EQ(word, 8u);
  EXPECT_TRUE(Call("Read", {I(1)}, &word));
  EXPECT_EQ(word, 0u);
  for (const i32 n : {0, 1, 2, 100, 1000}) {
    EXPECT_TRUE(Call("Total", {I(n)}, &word));
    EXPECT_EQ(word, u32(n * (n - 1) / 2)) << n;
  }

  struct Failure {
    const char* method;
    i32 argument;
    const char* text;
  };
  const Failure failures[] = {
      {"Read", INT_MAX, "Thread Exception: ER_ArrayOutOfBounds, line 5, file "},
      {"Read", -1, "Thread Exception: ER_ArrayOutOfBounds, line 5, file "},
      {"Write", -1, "Thread Exception: ER_ArrayOutOfBounds, line 9, file "},
      {"Size", 0, "Thread Exception: ER_NullArrayReference, line 14, file "},
      {"Past", 3, "Thread Exception: ER_ArrayOutOfBounds, line 29, file "},
      {"Unmade", 1, "Thread Exception: ER_NullArrayReference, line 36, file "},
  };
  for (const Failure& failure : failures) {
    gs_test::LogLines().clear();
    const std::vector<ScriptArgument> arguments =
        std::string(failure.method) == "Size" ? std::vector<ScriptArgument>{}
                                              : std::vector<ScriptArgument>{I(failure.argument)};
    EXPECT_FALSE(Call(failure.method, arguments, &word)) << failure.text;
    EXPECT_TRUE(Logged(failure.text)) << failure.text;
  }

  // Each pass of Sum's loop steps the same bytes fused as unfused: from the loop's head to the
  // end of its jump back.
  GSRunBudget& budget = GSMachine::Instance().RunBudget();
  EXPECT_TRUE(Call("Sum", {I(10)}, &word));
  const u32 ten = budget.used;
  EXPECT_TRUE(Call("Sum", {I(20)}, &word));
  EXPECT_EQ(budget.used - ten, 10u * 35u);
  // Total's two loops: 35 bytes a pass filling the array, 40 summing it.
  EXPECT_TRUE(Call("Total", {I(10)}, &word));
  const u32 filled = budget.used;
  EXPECT_TRUE(Call("Total", {I(20)}, &word));
  EXPECT_EQ(budget.used - filled, 10u * (35u + 40u));
}

// A jump into the middle of a fused run runs the instructions from there on.
TEST_F(FusedRunTest, AJumpIntoARunStartsAtItsTarget) {
  Build(kFused, "Runs");
  // 0 LOAD 2; 3 JMP 11; 8 LOAD 1; 11 LOAD 2; 14 ADD; 15 RETV. 8..14 is one fused run.
  PatchCode("Runs", "$int@Runs::Pick(int,int)",
            {Op(Opcode::kLoad), 2, 0, Op(Opcode::kJmp), 11, 0, 0, 0, Op(Opcode::kLoad), 1, 0,
             Op(Opcode::kLoad), 2, 0, Op(Opcode::kAdd), Op(Opcode::kRetv)});
  GSRuntime::FuseCode(Function("Runs", "$int@Runs::Pick(int,int)")->record);
  u32 word = 0;
  EXPECT_TRUE(Call("Pick", {I(40), I(2)}, &word));
  EXPECT_EQ(word, 4u);
}

constexpr const char* kBorrowed = R"(class Node {
  int value;
  Node held;
  public int Deep(int n) {
    if (n == 0) return 1 / n;
    return Deep(n - 1);
  }
  public int Fib(int n) {
    if (n < 2) return n;
    return Fib(n - 1) + Fib(n - 2);
  }
  public int Drop(Node keeper) {
    keeper.held = null;
    return value;
  }
  public int Via(Node keeper) {
    int got = Drop(keeper);
    return got + value;
  }
  public int Run() {
    Node keeper = new Node();
    Node n = new Node();
    n.value = 7;
    keeper.held = n;
    n = null;
    return keeper.held.Via(keeper);
  }
  public int Take(Node other) {
    int a = other.value;
    return a + 0;
  }
  public int Hand() {
    Node other = new Node();
    other.value = 3;
    return Take(other) + value;
  }
};
)";

i32 CountOf(ScriptRef reference) {
  return GSRuntime::GSScriptInstance::Header(GSRuntime::GSScriptInstance::InstanceOf(reference))
      ->refCount;
}

// A call on the caller's own `me` enters a frame that borrows it: returns, a failure unwinding
// a chain of such frames, an object whose other references go during the call and a frame that
// stores over its `me` all leave every count as counted calls would.
TEST_F(FusedRunTest, CallsOnMeBorrowItThroughReturnsErrorsAndDrops) {
  Build(kBorrowed, "Node");
  const i32 count = CountOf(object_.Reference());
  u32 word = 0;
  EXPECT_TRUE(Call("Fib", {I(12)}, &word));
  EXPECT_EQ(word, 144u);
  EXPECT_EQ(CountOf(object_.Reference()), count);

  EXPECT_FALSE(Call("Deep", {I(6)}, &word));
  EXPECT_TRUE(Logged("Thread Exception: ER_DivideByZero, line 5, file "));
  EXPECT_EQ(CountOf(object_.Reference()), count);
  EXPECT_TRUE(Call("Fib", {I(10)}, &word));
  EXPECT_EQ(word, 55u);

  // Via's own count keeps the node while Drop, borrowing it, takes the keeper's away; both new
  // nodes go when Run ends.
  const u64 used = GSMachine::Instance().Arena().UsedBytes();
  EXPECT_TRUE(Call("Run", {}, &word));
  EXPECT_EQ(word, 14u);
  EXPECT_EQ(GSMachine::Instance().Arena().UsedBytes(), used);
  EXPECT_EQ(CountOf(object_.Reference()), count);

  // A frame that replaces the `me` it borrowed releases only what it counted: Take becomes
  // LOADR 1; STORER 0; GETMF value; RETV.
  PatchCode("Node", "$int@Node::Take(Node)",
            {Op(Opcode::kLoadr), 1, 0, Op(Opcode::kStorer), 0, 0, Op(Opcode::kGetmf), 2, 0,
             Op(Opcode::kRetv)});
  EXPECT_TRUE(Call("Hand", {}, &word));
  EXPECT_EQ(word, 3u);
  EXPECT_EQ(GSMachine::Instance().Arena().UsedBytes(), used);
  EXPECT_EQ(CountOf(object_.Reference()), count);
}

constexpr const char* kCalls = R"(class Shape {
  int side;
  public int Area() { return 1; }
  public int Twice(int n) {
    side = n;
    return Area() + Area();
  }
  public int Fib(int n) {
    if (n < 2) return n;
    return Fib(n - 1) + Fib(n - 2);
  }
  public int Deep(int n) {
    if (n == 0) return 1 / n;
    return Deep(n - 1) + 1;
  }
  public int Down(int n) { return Down(n + 1) + 1; }
  public int Held(int n) {
    string s = "ab";
    if (n == 0) return s.size();
    return Held(n - 1) + s.size();
  }
  public int Get() { return side; }
  public int Count(int n) {
    if (n == 0) return 0;
    return Count(n - 1) + 1;
  }
};
class Square isclass Shape {
  public int Area() { return side * side + inherited(); }
  public int Mixed(int n) {
    Shape other = new Shape();
    if (n <= 0) return other.Get() + Get();
    return Mixed(n - 1) + other.Fib(10) + Twice(2);
  }
};
)";

// The instructions fused runs stand for, back in place of their first bytes.
void Unfuse(const GSByteCode::FunctionRecord& record) {
  auto* code = const_cast<u8*>(record.code);
  for (u32 offset = 0; offset < record.codeLength;) {
    switch (static_cast<FusedOpcode>(code[offset])) {
      case FusedOpcode::kCmpJz:
        code[offset] = Op(Opcode::kCmp);
        break;
      case FusedOpcode::kLoadrLoadAget:
      case FusedOpcode::kLoadrLoadLoadAset:
      case FusedOpcode::kLoadrAsize:
      case FusedOpcode::kLoadMe:
      case FusedOpcode::kLoadMeLoadConstSubCall:
        code[offset] = Op(Opcode::kLoadr);
        break;
      case FusedOpcode::kCallMe:
        code[offset] = Op(Opcode::kCall);
        break;
      case FusedOpcode::kAddRetv:
        code[offset] = Op(Opcode::kAdd);
        break;
      default:
        if (code[offset] >= GSRuntime::kFirstFusedOpcode) code[offset] = Op(Opcode::kLoad);
        break;
    }
    const u32 size = GSByteCode::InstructionLength(code, record.codeLength, offset);
    ASSERT_NE(size, 0u) << "at " << offset;
    offset += size;
  }
}

// Every function of the library unfused.
void Unfuse(const GSRuntime::GSLibrary& library) {
  for (const auto& cls : library.classes) {
    for (const GSRuntime::GSFunction& function : cls->functions) Unfuse(function.record);
  }
}

// What one call left behind: its result or the exception it logged, the object's count, the
// arena's bytes and the run budget it used.
struct CallTrace {
  bool done;
  u32 word;
  std::string exception;
  i32 count;
  u64 arenaBytes;
  u32 budget;
  bool operator==(const CallTrace&) const = default;
};

// The loop heads on less-than compare signed words as CMP does, and step the bytes the
// instructions they stand for step.
TEST_F(FusedRunTest, LessThanHeadsCompareAsTheirInstructions) {
  Build(kFused, "Runs");
  struct Case {
    const char* method;
    i32 argument;
    u32 result;
  };
  const Case cases[] = {
      {"Sum", 4, 6},    {"Sum", 0, 0},      {"Sum", -3, 0},          {"Sum", INT_MIN, 0},
      {"Below", 2, 2},  {"Below", -5, 16},  {"Below", 3, 0},         {"Below", INT_MAX, 0},
      {"Total", 3, 3},
  };
  const auto run = [&](const char* form) {
    std::vector<u32> budgets;
    for (const Case& c : cases) {
      u32 word = 0;
      EXPECT_TRUE(Call(c.method, {I(c.argument)}, &word)) << c.method << " " << c.argument;
      EXPECT_EQ(word, c.result) << c.method << " " << c.argument << ", " << form;
      budgets.push_back(GSMachine::Instance().RunBudget().used);
    }
    return budgets;
  };
  const std::vector<u32> fused = run("fused");
  Unfuse(*library_);
  EXPECT_EQ(run("plain"), fused);
}

// Calls entered straight from the interpreter return to their callers the short way (within the
// run's record of callers, and through a borrowed `me` without the release pass); the same calls
// with every run unfused, whose plain calls count `me`, leave the same results, errors, counts and
// budget: recursion past the record's end and to the stack's limit, an error deep in a callee,
// frames that hold references, calls on other objects, overridden and inherited methods.
TEST_F(FusedRunTest, ShortReturnsLeaveWhatPlainCallsLeave) {
  Build(kCalls, "Square");
  struct Step {
    const char* method;
    std::vector<ScriptArgument> arguments;
  };
  const std::vector<Step> steps = {
      {"Fib", {I(15)}},   {"Twice", {I(3)}}, {"Deep", {I(5)}},  {"Deep", {I(50)}},
      {"Held", {I(3)}},   {"Held", {I(45)}}, {"Mixed", {I(4)}}, {"Mixed", {I(40)}},
      {"Fib", {I(12)}},   {"Down", {I(0)}},
  };
  const auto run = [&] {
    std::vector<CallTrace> traces;
    for (const Step& step : steps) {
      gs_test::LogLines().clear();
      CallTrace trace{};
      trace.done = Call(step.method, step.arguments, &trace.word);
      for (const std::string& line : gs_test::LogLines()) {
        if (line.rfind("Thread Exception: ", 0) == 0) trace.exception = line;
      }
      trace.count = CountOf(object_.Reference());
      trace.arenaBytes = GSMachine::Instance().Arena().UsedBytes();
      trace.budget = GSMachine::Instance().RunBudget().used;
      traces.push_back(trace);
    }
    return traces;
  };
  // A level of recursion steps the same bytes whether its return finds the caller in the run's
  // record (the shallow levels) or through the frame's header (those past the record's end).
  const auto budgetOf = [&](const char* method, i32 n) {
    u32 word = 0;
    EXPECT_TRUE(Call(method, {I(n)}, &word)) << method << " " << n;
    return GSMachine::Instance().RunBudget().used;
  };
  const auto checkLevels = [&](const char* form) {
    for (const char* method : {"Count", "Held"}) {
      const u32 deep = budgetOf(method, 60) - budgetOf(method, 59);
      EXPECT_EQ(deep, budgetOf(method, 10) - budgetOf(method, 9)) << method << ", " << form;
      EXPECT_GT(deep, 0u) << method << ", " << form;
    }
  };
  checkLevels("fused");
  const std::vector<CallTrace> fused = run();
  Unfuse(*library_);
  checkLevels("plain");
  const std::vector<CallTrace> plain = run();
  ASSERT_EQ(fused.size(), plain.size());
  for (size_t i = 0; i < fused.size(); ++i) {
    const std::string what = std::string(steps[i].method) + " step " + std::to_string(i);
    EXPECT_EQ(fused[i].done, plain[i].done) << what;
    EXPECT_EQ(fused[i].word, plain[i].word) << what;
    EXPECT_EQ(fused[i].exception, plain[i].exception) << what;
    EXPECT_EQ(fused[i].count, plain[i].count) << what;
    EXPECT_EQ(fused[i].arenaBytes, plain[i].arenaBytes) << what;
    EXPECT_EQ(fused[i].budget, plain[i].budget) << what;
  }
  // And what they leave is right.
  EXPECT_EQ(fused[0].word, 610u);
  EXPECT_EQ(fused[1].word, 20u);  // Square's Area twice: 3 * 3 + Shape's 1
  EXPECT_NE(fused[3].exception.find("ER_DivideByZero, line 13"), std::string::npos);
  EXPECT_EQ(fused[5].word, 92u);
  EXPECT_TRUE(fused[7].done);
  EXPECT_EQ(fused[7].word, 40u * (55u + 10u) + 2u);  // the innermost sees Twice(2)'s side
  EXPECT_NE(fused[9].exception.find("ER_StackOverflow, line 16"), std::string::npos);

  for (const CallTrace& trace : fused) EXPECT_EQ(trace.count, fused[0].count);
}

constexpr const char* kOverflows = R"(include "gs.gs"
class Item {
  public int Wide(int a, GameObject o) {
    int b; int c; int d; int e; int f; int g; int h; int i; int j; int k; int l; int m; return a;
  }
};
static class Aid {
  public int Wide(int a, Item p) {
    int b; int c; int d; int e; int f; int g; int h; int i; int j; int k; int l; int m; return a;
  }
  public native int Host(Item p, int a);
};
class Probe isclass GameObject {
  native int Host(Item p, int a);
  public int Me(int n, int m) { return Me(n + 1, m) + m; }
  public int MeHolding(int n, Item p) { return MeHolding(n + 1, p) + n; }
  public int OnOther(int n, Item p) {
    int w = p.Wide(n, me);
    return OnOther(n + 1, p) + w;
  }
  public int OnStatic(int n, Item p) {
    int w = Aid.Wide(n, p);
    return OnStatic(n + 1, p) + w;
  }
  public int OnNative(int n, Item p) {
    int w = Host(p, n);
    return OnNative(n + 1, p) + w;
  }
  public int OnStaticNative(int n, Item p) {
    int w = Aid.Host(p, n);
    return OnStaticNative(n + 1, p) + w;
  }
  thread void Rest(Item p) { }
  thread void Huge(Item p) { LOCALS }
  public int Once() {
    Item p = new Item();
    return p.Wide(1, me) + Aid.Wide(1, p) + Host(p, 1) + Aid.Host(p, 1);
  }
  public int Start(int form) {
    Item p = new Item();
    if (form == 0) return Me(0, 1);
    if (form == 1) return MeHolding(0, p);
    if (form == 2) return OnOther(0, p);
    if (form == 3) return OnStatic(0, p);
    if (form == 4) return OnNative(0, p);
    if (form == 5) return OnStaticNative(0, p);
    if (form == 6) Huge(p);
    int i;
    for (i = 0; i < 65; i++) Rest(p);
    return 0;
  }
};
)";

// kOverflows with Huge's locals, which need more words than a thread's whole stack.
std::string OverflowsScript() {
  std::string locals;
  for (u32 i = 0; i < GSRuntime::GSStack::kThreadWords; ++i) {
    locals += "int v" + std::to_string(i) + "; ";
  }
  std::string text = kOverflows;
  return text.replace(text.find("LOCALS"), 6, locals);
}

// The static instance Aid's native last ran on.
GSRuntime::GSHandle g_staticSeen = 0;

// A call that fails for want of room (its frame does not fit the stack, the object runs all the
// threads it may) releases the words it pushed and counted for it (`me`, another object, a
// static instance, a reference argument), as script calls, natives and threads, fused or not,
// and fails as before: what is left matches a run that did not fail.
TEST_F(FusedRunTest, ACallWithoutRoomReleasesTheWordsItPushed) {
  GSMachine::Instance().RegisterNative(new GSRuntime::GSCNativeFunction(
      "Probe", "$int@Probe::Host(Item,int)",
      [](GSRuntime::GSHandle, GSRuntime::GSStack*) { return true; }));
  GSMachine::Instance().RegisterNative(new GSRuntime::GSCNativeFunction(
      "Aid", "$int@Aid::Host(Item,int)", [](GSRuntime::GSHandle object, GSRuntime::GSStack*) {
        g_staticSeen = object;
        return true;
      }));
  IncludePathList includes;
  includes.Add(KESTRO_TEST_DATA_DIR "/../../gslib", Qel::PString());
  GSMachine::Instance().AddLibraryFolder("", KESTRO_BINARY_DIR "/libraries");
  Build(OverflowsScript(), "Probe", &includes);
  struct Form {
    const char* what;
    i32 form;
    const char* failure;  // the error and the line of the call that fails
  };
  const Form forms[] = {
      {"a call on `me`", 0, "ER_StackOverflow, line 15,"},
      {"a call on `me` passing a reference", 1, "ER_StackOverflow, line 16,"},
      {"a call on another object passing `me`", 2, "ER_StackOverflow, line 18,"},
      {"a static call", 3, "ER_StackOverflow, line 22,"},
      {"a native on `me`", 4, "ER_StackOverflow, line 26,"},
      {"a static native", 5, "ER_StackOverflow, line 30,"},
      {"a thread whose frame does not fit", 6, "ER_ThreadError, line 47,"},
      {"a thread past the object's last", 7, "ER_ThreadError, line 49,"},
  };
  // The counts of `me` and of the static instance, and the arena's bytes.
  using Left = std::tuple<i32, i32, u64>;
  u32 word = 0;
  ASSERT_TRUE(Call("Once", {}, &word));
  ASSERT_NE(g_staticSeen, 0u);
  const auto left = [&] {
    return Left{CountOf(object_.Reference()), CountOf(g_staticSeen),
                GSMachine::Instance().Arena().UsedBytes()};
  };
  const Left done = left();
  auto* owner = dynamic_cast<GSRuntime::GSGameObject*>(
      GSRuntime::ObjectBridge::GameObjectOf(object_.Reference()));
  ASSERT_NE(owner, nullptr);
  // A native's frame is four words: whether it fits where the recursion stops depends on the
  // words below the run, which a few words pushed first move.
  GSRuntime::GSStack& stack = GSMachine::Instance().StaticThread()->Stack();
  const auto run = [&](const char* shape) {
    for (const Form& form : forms) {
      const std::string what = std::string(form.what) + ", " + shape;
      bool hit = false;
      for (u32 padding = 0; padding < 8 && !hit; ++padding) {
        u32* const top = stack.Top();
        for (u32 i = 0; i < padding; ++i) ASSERT_TRUE(stack.PushWord(0));
        gs_test::LogLines().clear();
        EXPECT_FALSE(Call("Start", {I(form.form)}, &word)) << what;
        stack.SetTop(top);
        hit = Logged(form.failure);
      }
      EXPECT_TRUE(hit) << what;
      // The threads that did start end, and let go of what they held.
      owner->Update(0);
      EXPECT_EQ(owner->ThreadCount(), 0u) << what;
      EXPECT_EQ(left(), done) << what;
      EXPECT_TRUE(Call("Once", {}, &word)) << what;
      EXPECT_EQ(left(), done) << what;
    }
  };
  run("fused");
  Unfuse(*library_);
  run("plain");
}

}  // namespace
