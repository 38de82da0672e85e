#include "gsruntime/fused_code.h"

#include <climits>
#include <vector>

#include "gsruntime/gs_script_instance.h"
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
       {kLoadr, 0, 0, kLoad, 1, 0, kPushc, 1, 0, 0, 0, Op(Opcode::kSub), kCall, 0xFF, 0xFF, 3, 0},
       {Op(FusedOpcode::kLoadMe), 0, 0, Op(FusedOpcode::kLoadConstSub), 1, 0, kPushc, 1, 0, 0, 0,
        Op(Opcode::kSub), Op(FusedOpcode::kCallMe), 0xFF, 0xFF, 3, 0}},
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

}  // namespace
