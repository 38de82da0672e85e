// The byte-code interpreter: GSThread::Execute. One table dispatch per instruction or fused run
// (fused_code.h; a computed goto with GCC and Clang), operands read in place, and the run budget
// counted in a register only where control leaves a straight line.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>

#include "gscommon/opcode_table.h"
#include "gscommon/script_arithmetic.h"
#include "gsruntime/fused_code.h"
#include "gsruntime/gs_array.h"
#include "gsruntime/gs_context.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_native_function.h"
#include "gsruntime/gs_thread.h"
#include "gsruntime/object_bridge.h"
#include "platform/byte_order.h"
#include "platform/invariant.h"

namespace GSRuntime {

namespace {

constexpr u32 kBudgetLimit = GSRunBudget::kLimit;

inline f32 AsFloat(u32 word) {
  f32 value;
  std::memcpy(&value, &word, sizeof value);
  return value;
}
inline u32 AsWord(f32 value) {
  u32 word;
  std::memcpy(&word, &value, sizeof word);
  return word;
}
inline i32 AsInt(u32 word) { return static_cast<i32>(word); }

// An element of an array of plain values within its size, read or written in place (a write
// also one past the end while the capacity lasts); false for anything else (null, references,
// an index outside, a store that must reallocate), which the bridge does.
inline bool ReadPlainElement(GSHandle array, i32 index, u32* value) {
  const GSArray* a = ObjectBridge::ArrayOf(array);
  if (a == nullptr || a->holdsReferences != 0 || u32(index) >= u32(a->size)) return false;
  *value = a->elements[index];
  return true;
}
inline bool WritePlainElement(GSHandle array, i32 index, u32 value) {
  GSArray* a = ObjectBridge::ArrayOf(array);
  return a != nullptr && a->holdsReferences == 0 && a->StoreInPlace(index, value);
}

// A call on another object runs in that object's context when it has one other than the
// caller's; false when the run stays in the caller's (an object without a context runs in its
// caller's). Only a call that changed it looks for the caller's again on return.
inline bool EnterContextOf(GSHandle view) {
  GSContext* entered = ObjectBridge::ContextOf(view);
  if (entered == nullptr || entered == CurrentContext()) return false;
  SetCurrentContext(entered);
  return true;
}

// Room for the longest text "%f" makes of a float (FLT_MAX has 39 digits before the point).
constexpr u32 kFloatTextBytes = 64;

}  // namespace

void GSThread::SetRunBudget(u32 codeBytes) {
  GSMachine::Instance().RunBudget().start = kBudgetLimit - std::min(codeBytes, kBudgetLimit);
}

void GSThread::FailRun(i32 code, i32 line, const char* file) {
  char text[512];
  std::snprintf(text, sizeof text, "Thread Exception: %s, line %d, file %s", RunResultName(code),
                line, file);
  GSMachine::Log("%s", text);
  const GSFrameHeader* frame = stack_.CurrentFrame();
  if (GSExceptionHook hook = GSMachine::ExceptionHook()) {
    GSThreadOwner* object = owner_;
    if (object == nullptr && frame != nullptr) {
      object = ObjectBridge::GameObjectOf(stack_.Locals(frame)[0]);
    }
    hook(text, &stack_, object, false);
  }
  state_ = kDead;
  GSMachine::Log("Stack Dump...");
  stack_.Dump();
  stack_.Unwind();
}

// Each handler keeps its own indirect jump: GCC would otherwise merge their tails into one
// shared jump, which the branch predictor cannot tell apart. A frame header's words are stored
// one by one: packed into one vector store they cost twice the instructions on every call.
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-crossjumping", "no-gcse", "no-tree-slp-vectorize")))
#endif
i32 GSThread::Execute(f32 elapsedSeconds) {
  if (state_ == kBlocked) {
    if (sleepTime_ == 0) return kRunBlocked;
    sleepTime_ -= elapsedSeconds;
    if (sleepTime_ > 0) return kRunBlocked;
    sleepTime_ = 0;
  }
  GSRunBudget& budget = GSMachine::Live().RunBudget();
  if (budget.depth++ == 0) budget.used = budget.start;
  // The count of this run lives in a register (below); it is written back where a nested run
  // may start (a native, a constructor, a static instance made) and read again after it. The
  // straight line run so far is counted then, as the nested run's bytes follow it.
#define KS_BUDGET_USED() \
  static_cast<u32>(reinterpret_cast<uintptr_t>(ip) + kBudgetLimit - budgetEnd)
#define KS_BUDGET_OUT() (budget.used = KS_BUDGET_USED())
#define KS_BUDGET_IN() (budgetEnd = reinterpret_cast<uintptr_t>(ip) + kBudgetLimit - budget.used)
  ++runDepth_;
  // Runs nested inside this one (a native that runs script) leave both counts as they found them.
  [[maybe_unused]] const u32 entryBudgetDepth = budget.depth;
  [[maybe_unused]] const u32 entryRunDepth = runDepth_;
  CancelWait();
  GSThread* const previousThread = CurrentThread();
  GSContext* const previousContext = GSRuntime::CurrentContext();
  SetCurrentThread(this);
  SetCurrentContext(stack_.CurrentContext());
  state_ = kReady;

  GSStack& stack = stack_;
  // The stack top, the instruction pointer and the locals are in nearly every handler: GCC on
  // x86-64 is asked to keep them in callee-saved registers, which it otherwise gives up under the
  // pressure of the call paths.
  // So are the run budget and the function's code, which every jump reads and writes: kept in
  // memory they chain each pass of a loop to the last one's store.
  // The budget is held as the code address at which the straight line being run would use up
  // what is left: a jump compares its own address with it and moves it by as far as it jumps,
  // so that the budget's count and the line's start cost one register. It is reckoned modulo
  // the address space: only its distance from `ip` means anything.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
  register u32* sp asm("rbx") = stack.Top();
  register const u8* ip asm("r12") = nullptr;
  register u32* locals asm("r13") = nullptr;
  register uintptr_t budgetEnd asm("r14") = uintptr_t{kBudgetLimit} - budget.used;
  register const u8* codeStart asm("r15") = nullptr;
#else
  u32* sp = stack.Top();
  const u8* ip = nullptr;
  u32* locals = nullptr;
  uintptr_t budgetEnd = uintptr_t{kBudgetLimit} - budget.used;
  const u8* codeStart = nullptr;
#endif
  // The function being run; its library is the one an instruction's numbers index.
  const GSFunction* function = nullptr;
  i32 error = kRunDone;
  GSFrameHeader* frame = stack.CurrentFrame();
  // What a call instruction found, for the entry both call forms share.
  u32 callSite = 0;
  u32* callObject = nullptr;
  const GSFunction* callee = nullptr;
  GSHandle calleeView = 0;
  u32 callBorrow = 0;  // GSStack::kBorrowedMe for a call on the caller's own `me`
  bool leavingOwnContext = false;  // the frame a return leaves entered a context of its own
  // Where the callers of the frames this run entered resume, innermost last: a return to one of
  // them goes straight back rather than through its header's function number and word indexes,
  // which name the same. Frames past the record's end, and those a paused or nested run left,
  // take the header's way. The caller's locals are found from its header, which the return
  // makes current anyway.
  struct Resume {
    const u8* ip;
    const GSFunction* function;
  };
  constexpr u32 kResumeRecords = 32;
  Resume resumes[kResumeRecords];
  u32 callDepth = 0;  // frames this run entered and has not left

  // Enters the function of `frame` at `offset`; a frame without code or without `me` fails.
#define KS_ENTER(frameExpr, offsetExpr)                                  \
  do {                                                                   \
    const GSFunction* entered_ = GSStack::FunctionOf(frameExpr);         \
    if (entered_ == nullptr || entered_->record.codeLength == 0) {       \
      error = kRunIllegalInstruction;                                    \
      goto error_exit;                                                   \
    }                                                                    \
    function = entered_;                                                 \
    codeStart = function->record.code;                                   \
    KS_MOVE_IP(codeStart + (offsetExpr));                          \
    locals = stack.Locals(frameExpr);                              \
    /* A frame's locals lie below its header. */                   \
    KESTRO_ASSERT(locals < reinterpret_cast<u32*>(frameExpr));     \
    KESTRO_ASSERT(ip <= codeStart + function->record.codeLength);  \
    if (locals[0] == 0) {                                          \
      error = kRunNullReference;                                   \
      goto error_exit;                                             \
    }                                                              \
  } while (0)

  // Moves control to `target` without counting the move: the budget left moves with it.
#define KS_MOVE_IP(targetExpr)                                                           \
  do {                                                                                   \
    const u8* const target_ = (targetExpr);                                              \
    budgetEnd += reinterpret_cast<uintptr_t>(target_) - reinterpret_cast<uintptr_t>(ip); \
    ip = target_;                                                                        \
  } while (0)
  // Adds the straight line just run to the budget before control moves to `target`.
#define KS_JUMP_TO(targetExpr)                         \
  do {                                                 \
    if (reinterpret_cast<uintptr_t>(ip) > budgetEnd) { \
      error = kRunTimeout;                             \
      goto error_exit;                                 \
    }                                                  \
    KS_MOVE_IP(targetExpr);                            \
  } while (0)

#define KS_FAIL(code) \
  do {                \
    error = (code);   \
    goto error_exit;  \
  } while (0)
#define KS_CHECK(expr)                         \
  do {                                         \
    const i32 result_ = (expr);                \
    if (result_ != kRunDone) KS_FAIL(result_); \
  } while (0)
#define KS_U16() (ip += 2, u32(ByteOrder::LoadLE16(ip - 2)))
#define KS_I16() (ip += 2, i32(i16(ByteOrder::LoadLE16(ip - 2))))
#define KS_U32() (ip += 4, ByteOrder::LoadLE32(ip - 4))
#define KS_BINARY_INT(expr)       \
  do {                            \
    const i32 b = AsInt(*sp--);   \
    const i32 a = AsInt(*sp);     \
    *sp = static_cast<u32>(expr); \
  } while (0)
#define KS_BINARY_FLOAT(expr)     \
  do {                            \
    const f32 b = AsFloat(*sp--); \
    const f32 a = AsFloat(*sp);   \
    *sp = AsWord(expr);           \
  } while (0)

#if defined(__GNUC__)
#define KS_CASE(name) L_##name:
#define KS_FUSED_CASE(name) L_##name:
#define KS_NEXT() goto* dispatch[*ip++]
  // A handler label per entry of the opcode list, in its order; every other byte is illegal.
  // A list entry without a handler, or a handler outside the list, does not compile.
  static void* const dispatch[] = {
#define KS_LABEL(name, number, mnemonic, operands, effect, inputs) &&L_##name,
      GS_OPCODE_LIST(KS_LABEL)
#undef KS_LABEL
#define KS_ILLEGAL4 &&L_illegal, &&L_illegal, &&L_illegal, &&L_illegal
#define KS_ILLEGAL20 KS_ILLEGAL4, KS_ILLEGAL4, KS_ILLEGAL4, KS_ILLEGAL4, KS_ILLEGAL4
      // the bytes past the list up to the fused opcodes
      KS_ILLEGAL20,
      KS_ILLEGAL20,
      KS_ILLEGAL20,
      KS_ILLEGAL20,
      KS_ILLEGAL20,
      KS_ILLEGAL4,
      KS_ILLEGAL4,
      // the fused opcodes, in FusedOpcode's order
      &&L_kLoadLoadCmpJz,
      &&L_kLoadConstCmpJz,
      &&L_kCmpJz,
      &&L_kLoadLoadAdd,
      &&L_kLoadConstAdd,
      &&L_kLoadConstSub,
      &&L_kLoadIncStore,
      &&L_kLoadrLoadAget,
      &&L_kLoadrLoadLoadAset,
      &&L_kLoadrAsize,
      &&L_kLoadRetv,
      &&L_kLoadMe,
      &&L_kCallMe,
      &&L_kLoadLoadAddStore,
      &&L_kLoadIncStoreJmp,
      &&L_kLoadLoadrAsizeCmpJz,
      &&L_kLoadLoadrLoadAgetAddStore,
      &&L_kLoadMeLoadConstSubCall,
      &&L_kAddRetv,
      &&L_kLoadLoadLtJz,
      &&L_kLoadConstLtJz,
      // the bytes past them
      KS_ILLEGAL4,
      KS_ILLEGAL4,
      &&L_illegal,
      &&L_illegal,
      &&L_illegal,
#undef KS_ILLEGAL20
#undef KS_ILLEGAL4
  };
  // An opcode added to the list takes one illegal entry away above.
  static_assert(GSByteCode::kOpcodeCount + 108 == kFirstFusedOpcode,
                "the fused opcodes follow the list's illegal bytes");
  static_assert(std::size(dispatch) == 256, "one dispatch entry per byte value");
#else
#define KS_CASE(name) case u8(GSByteCode::Opcode::name):
#define KS_FUSED_CASE(name) case u8(FusedOpcode::name):
#define KS_NEXT() goto dispatch_next
#endif

  if (frame == nullptr) KS_FAIL(kRunNoStackFrame);
  KS_ENTER(frame, resumeOffset_);

#if defined(__GNUC__)
  KS_NEXT();
#else
dispatch_next:
  switch (*ip++) {
#endif

  // ---- Integers ----
  KS_CASE(kAdd) KS_BINARY_INT(GSByteCode::WrapAdd(a, b));
  KS_NEXT();
  KS_CASE(kSub) KS_BINARY_INT(GSByteCode::WrapSub(a, b));
  KS_NEXT();
  KS_CASE(kMul) KS_BINARY_INT(GSByteCode::WrapMul(a, b));
  KS_NEXT();
  KS_CASE(kDiv) {
    if (*sp == 0) KS_FAIL(kRunDivideByZero);
    KS_BINARY_INT(GSByteCode::Divide(a, b));
    KS_NEXT();
  }
  KS_CASE(kMod) {
    if (*sp == 0) KS_FAIL(kRunDivideByZero);
    KS_BINARY_INT(GSByteCode::Remainder(a, b));
    KS_NEXT();
  }
  KS_CASE(kNeg)* sp = static_cast<u32>(GSByteCode::WrapNeg(AsInt(*sp)));
  KS_NEXT();
  KS_CASE(kInc)* sp += 1;
  KS_NEXT();
  KS_CASE(kDec)* sp -= 1;
  KS_NEXT();
  KS_CASE(kItof)* sp = AsWord(static_cast<f32>(AsInt(*sp)));
  KS_NEXT();
  KS_CASE(kCmp) KS_BINARY_INT(GSByteCode::CompareInts(a, b));
  KS_NEXT();
  KS_CASE(kPush0)* ++sp = 0;
  KS_NEXT();
  KS_CASE(kPush1)* ++sp = 1;
  KS_NEXT();
  KS_CASE(kEq) KS_CASE(kNot)* sp = *sp == 0;
  KS_NEXT();
  KS_CASE(kNe)* sp = *sp != 0;
  KS_NEXT();
  KS_CASE(kAnd) KS_BINARY_INT(a & b);
  KS_NEXT();
  KS_CASE(kOr) KS_BINARY_INT(a | b);
  KS_NEXT();
  KS_CASE(kXor) KS_BINARY_INT(a ^ b);
  KS_NEXT();
  KS_CASE(kBnot)* sp = ~*sp;
  KS_NEXT();
  KS_CASE(kShl) KS_BINARY_INT(GSByteCode::ShiftLeft(a, b));
  KS_NEXT();
  KS_CASE(kShr) KS_BINARY_INT(GSByteCode::ShiftRightLogical(a, b));
  KS_NEXT();
  KS_CASE(kLt)* sp = AsInt(*sp) < 0;
  KS_NEXT();
  KS_CASE(kLe)* sp = AsInt(*sp) <= 0;
  KS_NEXT();
  KS_CASE(kGt)* sp = AsInt(*sp) > 0;
  KS_NEXT();
  KS_CASE(kGe)* sp = AsInt(*sp) >= 0;
  KS_NEXT();

  // ---- Floats ----
  KS_CASE(kFadd) KS_BINARY_FLOAT(a + b);
  KS_NEXT();
  KS_CASE(kFsub) KS_BINARY_FLOAT(a - b);
  KS_NEXT();
  KS_CASE(kFmul) KS_BINARY_FLOAT(a * b);
  KS_NEXT();
  KS_CASE(kFdiv) {
    // Only +0.0 divides by zero; -0.0 gives an infinity.
    if (*sp == 0) KS_FAIL(kRunDivideByZero);
    KS_BINARY_FLOAT(a / b);
    KS_NEXT();
  }
  KS_CASE(kFmod) {
    if (*sp == 0) KS_FAIL(kRunDivideByZero);
    KS_BINARY_FLOAT(GSByteCode::FloatRemainder(a, b));
    KS_NEXT();
  }
  KS_CASE(kFneg)* sp = AsWord(-0.0f - AsFloat(*sp));
  KS_NEXT();
  KS_CASE(kFinc)* sp = AsWord(AsFloat(*sp) + 1.0f);
  KS_NEXT();
  KS_CASE(kFdec)* sp = AsWord(AsFloat(*sp) - 1.0f);
  KS_NEXT();
  KS_CASE(kFtoi)* sp = static_cast<u32>(GSByteCode::FloatToInt(AsFloat(*sp)));
  KS_NEXT();
  KS_CASE(kFcmp) {
    const f32 b = AsFloat(*sp--);
    *sp = static_cast<u32>(GSByteCode::CompareFloats(AsFloat(*sp), b));
    KS_NEXT();
  }

  // ---- Constants, locals, shuffling ----
  KS_CASE(kPushc)* ++sp = KS_U32();
  KS_NEXT();
  KS_CASE(kLoad)* ++sp = locals[KS_U16()];
  KS_NEXT();
  KS_CASE(kLoadr) {
    const u32 value = locals[KS_U16()];
    ObjectBridge::AddIfSet(value);
    *++sp = value;
    KS_NEXT();
  }
  KS_CASE(kStore) locals[KS_U16()] = *sp--;
  KS_NEXT();
  KS_CASE(kStorek) locals[KS_U16()] = *sp;
  KS_NEXT();
  KS_CASE(kStorer) KS_CASE(kStorerk) {
    const bool keep = ip[-1] == u8(GSByteCode::Opcode::kStorerk);
    const u32 index = KS_U16();
    // The `me` a store replaces is released: a frame that borrowed it takes its count first.
    if (index == 0) stack.OwnMe();
    u32& slot = locals[index];
    const u32 old = slot;
    slot = *sp;
    if (keep) {
      ObjectBridge::AddIfSet(*sp);
    } else {
      --sp;
    }
    ObjectBridge::ReleaseIfSet(old);
    KS_NEXT();
  }
  KS_CASE(kPop)-- sp;
  KS_NEXT();
  KS_CASE(kPopr) ObjectBridge::ReleaseIfSet(*sp--);
  KS_NEXT();
  KS_CASE(kDup) sp[1] = *sp;
  ++sp;
  KS_NEXT();
  KS_CASE(kDupr) {
    ObjectBridge::AddIfSet(*sp);
    sp[1] = *sp;
    ++sp;
    KS_NEXT();
  }
  KS_CASE(kDup2r) {
    ObjectBridge::AddIfSet(sp[-1]);
    sp[1] = sp[-1];
    sp[2] = sp[0];
    sp += 2;
    KS_NEXT();
  }
  KS_CASE(kSwap) {
    const u32 top = *sp;
    *sp = sp[-1];
    sp[-1] = top;
    KS_NEXT();
  }

  // ---- Jumps ----
  KS_CASE(kJmp) {
    const u32 target = KS_U32();
    KS_JUMP_TO(codeStart + target);
    KS_NEXT();
  }
#define KS_CONDITIONAL(test, pop)             \
  {                                           \
    const u32 w = *sp;                        \
    sp -= (pop);                              \
    const u32 target = KS_U32();              \
    if (test) KS_JUMP_TO(codeStart + target); \
    KS_NEXT();                                \
  }
  KS_CASE(kJz)
  KS_CONDITIONAL(w == 0, 1)
  KS_CASE(kJnz)
  KS_CONDITIONAL(w != 0, 1)
  KS_CASE(kJzk)
  KS_CONDITIONAL(w == 0, 0)
  KS_CASE(kJnzk)
  KS_CONDITIONAL(w != 0, 0)
  KS_CASE(kJlt)
  KS_CONDITIONAL(AsInt(w) < 0, 1)
  KS_CASE(kJle)
  KS_CONDITIONAL(AsInt(w) <= 0, 1)
  KS_CASE(kJgt)
  KS_CONDITIONAL(AsInt(w) > 0, 1)
  KS_CASE(kJge) KS_CONDITIONAL(AsInt(w) >= 0, 1)
#undef KS_CONDITIONAL
      KS_CASE(kSwitch) {
    const i32 w = AsInt(*sp--);
    const u32 n = ByteOrder::LoadLE16(ip);
    const u8* keys = ip + 2;
    const u8* targets = keys + n * 4;
    u32 target = ByteOrder::LoadLE32(targets + n * 4);
    i32 low = 0;
    i32 high = i32(n) - 1;
    while (low <= high) {
      const i32 middle = (low + high) >> 1;
      const i32 key = AsInt(ByteOrder::LoadLE32(keys + middle * 4));
      if (key == w) {
        target = ByteOrder::LoadLE32(targets + middle * 4);
        break;
      }
      if (w < key) {
        high = middle - 1;
      } else {
        low = middle + 1;
      }
    }
    KS_JUMP_TO(codeStart + target);
    KS_NEXT();
  }

  // ---- Arrays ----
  KS_CASE(kNewa) KS_CASE(kNewar) {
    GSHandle array = 0;
    KS_CHECK(ObjectBridge::NewArray(AsInt(*sp), ip[-1] == u8(GSByteCode::Opcode::kNewar), &array));
    *sp = array;
    KS_NEXT();
  }
  KS_CASE(kAsize) {
    const GSHandle array = *sp;
    i32 size = 0;
    KS_CHECK(ObjectBridge::ArraySize(array, &size));
    ObjectBridge::ReleaseReference(array);
    *sp = static_cast<u32>(size);
    KS_NEXT();
  }
  KS_CASE(kAcopy) {
    const GSHandle array = *sp;
    GSHandle copy = 0;
    KS_CHECK(ObjectBridge::ArrayCopy(array, &copy));
    ObjectBridge::ReleaseReference(array);
    *sp = copy;
    KS_NEXT();
  }
  KS_CASE(kAget) KS_CASE(kAgetr) {
    const GSHandle array = sp[-1];
    u32 value = 0;
    if (!ReadPlainElement(array, AsInt(*sp), &value)) {
      KS_CHECK(ObjectBridge::ArrayGet(array, AsInt(*sp), &value));
    }
    ObjectBridge::ReleaseReference(array);
    *--sp = value;
    KS_NEXT();
  }
  KS_CASE(kAset) KS_CASE(kAsetr) KS_CASE(kAsetk) KS_CASE(kAsetrk) {
    const u8 op = ip[-1];
    const bool keep = op == u8(GSByteCode::Opcode::kAsetk) || op == u8(GSByteCode::Opcode::kAsetrk);
    const bool reference =
        op == u8(GSByteCode::Opcode::kAsetr) || op == u8(GSByteCode::Opcode::kAsetrk);
    const GSHandle array = sp[-2];
    const u32 value = *sp;
    if (keep && reference) ObjectBridge::AddIfSet(value);
    const i32 result = ObjectBridge::ArraySet(array, AsInt(sp[-1]), value);
    if (result != kRunDone) {
      if (keep && reference) ObjectBridge::ReleaseIfSet(value);
      KS_FAIL(result);
    }
    ObjectBridge::ReleaseReference(array);
    sp -= 2;
    if (keep) {
      *sp = value;
    } else {
      --sp;
    }
    KS_NEXT();
  }
  // Ranges of arrays and strings: the container, the end and the start below the top.
  KS_CASE(kArange) KS_CASE(kAranger) KS_CASE(kSrange) {
    const bool text = ip[-1] == u8(GSByteCode::Opcode::kSrange);
    const GSHandle container = sp[-2];
    GSHandle range = 0;
    KS_CHECK((text ? ObjectBridge::StringRange : ObjectBridge::ArrayRange)(container, AsInt(sp[-1]),
                                                                           AsInt(*sp), &range));
    ObjectBridge::ReleaseReference(container);
    sp -= 2;
    *sp = range;
    KS_NEXT();
  }
  KS_CASE(kArangeset)
  KS_CASE(kArangesetr)
  KS_CASE(kArangesetk) KS_CASE(kArangesetrk) KS_CASE(kSrangeset) KS_CASE(kSrangesetk) {
    using GSByteCode::Opcode;
    const u8 op = ip[-1];
    const bool text = op == u8(Opcode::kSrangeset) || op == u8(Opcode::kSrangesetk);
    const bool keep = op == u8(Opcode::kArangesetk) || op == u8(Opcode::kArangesetrk) ||
                      op == u8(Opcode::kSrangesetk);
    const GSHandle container = sp[-3];
    const GSHandle source = *sp;
    KS_CHECK((text ? ObjectBridge::StringReplaceRange : ObjectBridge::ArrayReplaceRange)(
        container, AsInt(sp[-2]), AsInt(sp[-1]), source));
    ObjectBridge::ReleaseReference(container);
    sp -= 3;
    if (keep) {
      *sp = source;
    } else {
      ObjectBridge::ReleaseIfSet(source);
      --sp;
    }
    KS_NEXT();
  }

  // ---- Fused runs (fused_code.h) ----
  // Each reads the operands of the run's instructions where they lie and leaves `ip` after the
  // run, so that jumps, budget and error lines see the instructions it stands for.
#define KS_COMPARE_JUMP(aExpr, bExpr, ccAt, targetAt, length)                     \
  {                                                                               \
    const i32 a = (aExpr);                                                        \
    const i32 b = (bExpr);                                                        \
    const u32 mask = kConditionMasks.mask[ip[ccAt]];                                     \
    const u32 target = ByteOrder::LoadLE32(ip + (targetAt));                      \
    ip += (length);                                                               \
    if (((mask >> (GSByteCode::CompareInts(a, b) + 1)) & 1) == 0) {               \
      KS_JUMP_TO(codeStart + target);                                             \
    }                                                                             \
    KS_NEXT();                                                                    \
  }
  KS_FUSED_CASE(kLoadLoadCmpJz)
  KS_COMPARE_JUMP(AsInt(locals[ByteOrder::LoadLE16(ip)]), AsInt(locals[ByteOrder::LoadLE16(ip + 3)]),
                  6, 8, 12)
  KS_FUSED_CASE(kLoadConstCmpJz)
  KS_COMPARE_JUMP(AsInt(locals[ByteOrder::LoadLE16(ip)]), AsInt(ByteOrder::LoadLE32(ip + 3)), 8,
                  10, 14)
  KS_FUSED_CASE(kCmpJz)
  KS_COMPARE_JUMP(AsInt(sp[-1]), AsInt((sp -= 2)[2]), 0, 2, 6)
  KS_FUSED_CASE(kLoadLoadrAsizeCmpJz) {
    const GSArray* sized = ObjectBridge::ArrayOf(locals[ByteOrder::LoadLE16(ip + 3)]);
    if (sized == nullptr) {
      // What LOAD and LOADR left when ASIZE fails: the index, then the counted array.
      const GSHandle array = locals[ByteOrder::LoadLE16(ip + 3)];
      *++sp = locals[ByteOrder::LoadLE16(ip)];
      ObjectBridge::AddIfSet(array);
      *++sp = array;
      ip += 6;
      KS_FAIL(kRunNullArrayReference);
    }
    KS_COMPARE_JUMP(AsInt(locals[ByteOrder::LoadLE16(ip)]), sized->size, 7, 9, 13)
  }
#undef KS_COMPARE_JUMP
#define KS_LESS_JUMP(aExpr, bExpr, targetAt, length)         \
  {                                                          \
    const i32 a = (aExpr);                                   \
    const i32 b = (bExpr);                                   \
    const u32 target = ByteOrder::LoadLE32(ip + (targetAt)); \
    ip += (length);                                          \
    if (a >= b) KS_JUMP_TO(codeStart + target);              \
    KS_NEXT();                                               \
  }
  KS_FUSED_CASE(kLoadLoadLtJz)
  KS_LESS_JUMP(AsInt(locals[ByteOrder::LoadLE16(ip)]), AsInt(locals[ByteOrder::LoadLE16(ip + 3)]),
               8, 12)
  KS_FUSED_CASE(kLoadConstLtJz)
  KS_LESS_JUMP(AsInt(locals[ByteOrder::LoadLE16(ip)]), AsInt(ByteOrder::LoadLE32(ip + 3)), 10, 14)
#undef KS_LESS_JUMP
  KS_FUSED_CASE(kLoadLoadAdd) {
    *++sp = static_cast<u32>(GSByteCode::WrapAdd(AsInt(locals[ByteOrder::LoadLE16(ip)]),
                                                 AsInt(locals[ByteOrder::LoadLE16(ip + 3)])));
    ip += 6;
    KS_NEXT();
  }
  KS_FUSED_CASE(kLoadConstAdd) {
    *++sp = static_cast<u32>(GSByteCode::WrapAdd(AsInt(locals[ByteOrder::LoadLE16(ip)]),
                                                 AsInt(ByteOrder::LoadLE32(ip + 3))));
    ip += 8;
    KS_NEXT();
  }
  KS_FUSED_CASE(kLoadConstSub) {
    *++sp = static_cast<u32>(GSByteCode::WrapSub(AsInt(locals[ByteOrder::LoadLE16(ip)]),
                                                 AsInt(ByteOrder::LoadLE32(ip + 3))));
    ip += 8;
    KS_NEXT();
  }
  KS_FUSED_CASE(kLoadIncStore) {
    locals[ByteOrder::LoadLE16(ip)] += 1;
    ip += 6;
    KS_NEXT();
  }
  KS_FUSED_CASE(kLoadLoadAddStore) {
    locals[ByteOrder::LoadLE16(ip + 7)] =
        static_cast<u32>(GSByteCode::WrapAdd(AsInt(locals[ByteOrder::LoadLE16(ip)]),
                                             AsInt(locals[ByteOrder::LoadLE16(ip + 3)])));
    ip += 9;
    KS_NEXT();
  }
  KS_FUSED_CASE(kLoadIncStoreJmp) {
    locals[ByteOrder::LoadLE16(ip)] += 1;
    const u32 target = ByteOrder::LoadLE32(ip + 7);
    ip += 11;
    KS_JUMP_TO(codeStart + target);
#if defined(__GNUC__)
    // A loop's head is nearly always a compare run: entered straight, without the table.
    switch (*ip) {
      case u8(FusedOpcode::kLoadLoadLtJz):
        ++ip;
        goto L_kLoadLoadLtJz;
      case u8(FusedOpcode::kLoadLoadCmpJz):
        ++ip;
        goto L_kLoadLoadCmpJz;
      case u8(FusedOpcode::kLoadConstLtJz):
        ++ip;
        goto L_kLoadConstLtJz;
      case u8(FusedOpcode::kLoadConstCmpJz):
        ++ip;
        goto L_kLoadConstCmpJz;
      case u8(FusedOpcode::kLoadLoadrAsizeCmpJz):
        ++ip;
        goto L_kLoadLoadrAsizeCmpJz;
      default:
        break;
    }
#endif
    KS_NEXT();
  }
  // The array runs leave the local's count alone where the instructions would take and give
  // back one; when the access fails they leave the words the instructions would have pushed:
  // the counted array, then its other operands.
#define KS_ARRAY_RUN_FAIL(code, ...)                                         \
  do {                                                                       \
    ObjectBridge::AddIfSet(array);                                           \
    *++sp = array;                                                           \
    for (const u32 word : std::initializer_list<u32>{__VA_ARGS__}) *++sp = word; \
    KS_FAIL(code);                                                           \
  } while (0)
  KS_FUSED_CASE(kLoadrLoadAget) {
    const GSHandle array = locals[ByteOrder::LoadLE16(ip)];
    const u32 index = locals[ByteOrder::LoadLE16(ip + 3)];
    ip += 6;
    u32 value = 0;
    if (ReadPlainElement(array, AsInt(index), &value)) {
      *++sp = value;
      KS_NEXT();
    }
    const i32 result = ObjectBridge::ArrayGet(array, AsInt(index), &value);
    if (result == kRunDone) {
      *++sp = value;
      KS_NEXT();
    }
    KS_ARRAY_RUN_FAIL(result, index);
  }
  KS_FUSED_CASE(kLoadrLoadLoadAset) {
    const GSHandle array = locals[ByteOrder::LoadLE16(ip)];
    const u32 index = locals[ByteOrder::LoadLE16(ip + 3)];
    const u32 value = locals[ByteOrder::LoadLE16(ip + 6)];
    ip += 9;
    if (WritePlainElement(array, AsInt(index), value)) KS_NEXT();
    const i32 result = ObjectBridge::ArraySet(array, AsInt(index), value);
    if (result == kRunDone) KS_NEXT();
    KS_ARRAY_RUN_FAIL(result, index, value);
  }
  KS_FUSED_CASE(kLoadLoadrLoadAgetAddStore) {
    const u32 sum = locals[ByteOrder::LoadLE16(ip)];
    const GSHandle array = locals[ByteOrder::LoadLE16(ip + 3)];
    const u32 index = locals[ByteOrder::LoadLE16(ip + 6)];
    u32 value = 0;
    if (!ReadPlainElement(array, AsInt(index), &value)) {
      const i32 result = ObjectBridge::ArrayGet(array, AsInt(index), &value);
      if (result != kRunDone) {
        ip += 9;  // past AGET, whose failure this is
        *++sp = sum;
        KS_ARRAY_RUN_FAIL(result, index);
      }
    }
    locals[ByteOrder::LoadLE16(ip + 11)] =
        static_cast<u32>(GSByteCode::WrapAdd(AsInt(sum), AsInt(value)));
    ip += 13;
    KS_NEXT();
  }
  KS_FUSED_CASE(kLoadrAsize) {
    const GSHandle array = locals[ByteOrder::LoadLE16(ip)];
    ip += 3;
    if (const GSArray* a = ObjectBridge::ArrayOf(array)) {
      *++sp = static_cast<u32>(a->size);
      KS_NEXT();
    }
    KS_ARRAY_RUN_FAIL(kRunNullArrayReference);
  }
#undef KS_ARRAY_RUN_FAIL

  KS_FUSED_CASE(kLoadMe) {
    *++sp = locals[0];
    ip += 2;
    KS_NEXT();
  }
  KS_FUSED_CASE(kCallMe) {
    callBorrow = GSStack::kBorrowedMe;
    goto call_method;
  }
  KS_FUSED_CASE(kLoadMeLoadConstSubCall) {
    sp[1] = locals[0];
    sp[2] = static_cast<u32>(GSByteCode::WrapSub(AsInt(locals[ByteOrder::LoadLE16(ip + 3)]),
                                                 AsInt(ByteOrder::LoadLE32(ip + 6))));
    sp += 2;
    ip += 12;  // past the CALL's opcode, to its operands
    callBorrow = GSStack::kBorrowedMe;
    goto call_method;
  }

  KS_FUSED_CASE(kLoadRetv) {
    *++sp = locals[ByteOrder::LoadLE16(ip)];
    ip += 3;
    goto return_value;
  }
  KS_FUSED_CASE(kAddRetv) {
    KS_BINARY_INT(GSByteCode::WrapAdd(a, b));
    ++ip;
    goto return_value;
  }

  // ---- Strings ----
  KS_CASE(kNews) {
    const GSHandle string = ObjectBridge::NewString("", 0);
    if (string == 0) KS_FAIL(kRunArrayOutOfBounds);
    *++sp = string;
    KS_NEXT();
  }
  KS_CASE(kPushs) {
    const std::string& text = function->library->image.strings[KS_U16()];
    const GSHandle string = ObjectBridge::NewString(text.data(), static_cast<u32>(text.size()));
    if (string == 0) KS_FAIL(kRunArrayOutOfBounds);
    *++sp = string;
    KS_NEXT();
  }
  KS_CASE(kItos) KS_CASE(kBtos) KS_CASE(kFtos) {
    char text[kFloatTextBytes];
    const u8 op = ip[-1];
    int length;
    if (op == u8(GSByteCode::Opcode::kItos)) {
      length = std::snprintf(text, sizeof text, "%d", AsInt(*sp));
    } else if (op == u8(GSByteCode::Opcode::kBtos)) {
      length = std::snprintf(text, sizeof text, "%s", *sp != 0 ? "true" : "false");
    } else {
      length = std::snprintf(text, sizeof text, "%f", static_cast<f64>(AsFloat(*sp)));
    }
    const GSHandle string = ObjectBridge::NewString(text, static_cast<u32>(length));
    if (string == 0) KS_FAIL(kRunArrayOutOfBounds);
    *sp = string;
    KS_NEXT();
  }
  KS_CASE(kScopy) {
    const GSHandle string = *sp;
    if (string != 0) {
      GSHandle copy = 0;
      KS_CHECK(ObjectBridge::StringRange(string, -1, 0, &copy));
      ObjectBridge::ReleaseReference(string);
      *sp = copy;
    }
    KS_NEXT();
  }
  KS_CASE(kSsize) {
    const GSHandle string = *sp;
    i32 size = 0;
    KS_CHECK(ObjectBridge::StringSize(string, &size));
    ObjectBridge::ReleaseReference(string);
    *sp = static_cast<u32>(size);
    KS_NEXT();
  }
  KS_CASE(kSget) {
    const GSHandle string = sp[-1];
    i32 byte = 0;
    KS_CHECK(ObjectBridge::StringGet(string, AsInt(*sp), &byte));
    ObjectBridge::ReleaseReference(string);
    *--sp = static_cast<u32>(byte);
    KS_NEXT();
  }
  KS_CASE(kSset) KS_CASE(kSsetk) {
    const bool keep = ip[-1] == u8(GSByteCode::Opcode::kSsetk);
    const GSHandle string = sp[-2];
    const u32 byte = *sp;
    KS_CHECK(ObjectBridge::StringSet(string, AsInt(sp[-1]), AsInt(byte)));
    ObjectBridge::ReleaseReference(string);
    sp -= 2;
    if (keep) {
      *sp = byte;
    } else {
      --sp;
    }
    KS_NEXT();
  }
  KS_CASE(kScmp) {
    const GSHandle b = *sp--;
    const GSHandle a = *sp;
    *sp = static_cast<u32>(ObjectBridge::CompareStrings(a, b));
    ObjectBridge::ReleaseIfSet(a);
    ObjectBridge::ReleaseIfSet(b);
    KS_NEXT();
  }
  KS_CASE(kScat) {
    const GSHandle b = *sp--;
    const GSHandle a = *sp;
    if (a == 0 || b == 0) {
      GSHandle result = a != 0 ? a : b;
      if (result == 0) {
        result = ObjectBridge::NewString("", 0);
        if (result == 0) KS_FAIL(kRunArrayOutOfBounds);
      }
      *sp = result;
      KS_NEXT();
    }
    const GSHandle joined = ObjectBridge::Concatenate(a, b);
    if (joined == 0) {
      // Past the text cap; `a` is still on the stack for the unwinding.
      ObjectBridge::ReleaseReference(b);
      KS_FAIL(kRunStringOutOfBounds);
    }
    ObjectBridge::ReleaseReference(a);
    ObjectBridge::ReleaseReference(b);
    *sp = joined;
    KS_NEXT();
  }

  // ---- Objects and references ----
  KS_CASE(kIsclass) {
    const GSClass* cls = function->library->classLinks[KS_U16()].linkedClass;
    const GSHandle object = *sp;
    if (object == 0) KS_FAIL(kRunNullReference);
    *sp = ObjectBridge::IsClass(object, cls);
    ObjectBridge::ReleaseReference(object);
    KS_NEXT();
  }
  KS_CASE(kNew) {
    const GSClass* cls = function->library->classLinks[KS_U16()].linkedClass;
    stack.SetTop(sp);
    const SavedState saved = SaveState();
    KS_BUDGET_OUT();
    const GSHandle object = ObjectBridge::NewInstance(cls);
    KS_BUDGET_IN();
    RestoreState(saved);
    if (object == 0) KS_FAIL(kRunClassCreateError);
    *++sp = object;
    KS_NEXT();
  }
  KS_CASE(kStatic) {
    const GSClass* cls = function->library->classLinks[KS_U16()].linkedClass;
    KS_BUDGET_OUT();
    const GSHandle object = ObjectBridge::StaticInstance(cls);
    KS_BUDGET_IN();
    if (object == 0) KS_FAIL(kRunNullReference);
    *++sp = object;
    KS_NEXT();
  }
  KS_CASE(kCast) {
    const GSClass* cls = function->library->classLinks[KS_U16()].linkedClass;
    const GSHandle object = *sp;
    if (object != 0) {
      if (cls == nullptr) KS_FAIL(kRunLinkError);
      const GSHandle view = ObjectBridge::CastTo(object, cls);
      if (view == 0) ObjectBridge::ReleaseReference(object);
      *sp = view;
    }
    KS_NEXT();
  }
  KS_CASE(kRcmp) {
    const GSHandle b = *sp--;
    const GSHandle a = *sp;
    *sp = a == b || ObjectBridge::SameObject(a, b) ? 0 : 1;
    ObjectBridge::ReleaseIfSet(a);
    ObjectBridge::ReleaseIfSet(b);
    KS_NEXT();
  }
  KS_CASE(kIsnull) KS_CASE(kNotnull) {
    const GSHandle object = *sp;
    const bool wantNull = ip[-1] == u8(GSByteCode::Opcode::kIsnull);
    *sp = (object == 0) == wantNull;
    ObjectBridge::ReleaseIfSet(object);
    KS_NEXT();
  }

  // ---- Fields ----
  KS_CASE(kGetf) KS_CASE(kGetfr) {
    const bool reference = ip[-1] == u8(GSByteCode::Opcode::kGetfr);
    const GSHandle object = *sp;
    if (object == 0) KS_FAIL(kRunNullReference);
    const u32* field = reference
                           ? ObjectBridge::FieldOfKind(object, KS_U16(), GSClass::kReferenceField)
                           : ObjectBridge::FieldOf(object, KS_U16());
    if (field == nullptr) KS_FAIL(kRunNullReference);
    const u32 value = *field;
    if (reference) ObjectBridge::AddIfSet(value);
    *sp = value;
    ObjectBridge::ReleaseReference(object);
    KS_NEXT();
  }
  KS_CASE(kSetf) KS_CASE(kSetfk) KS_CASE(kSetfr) KS_CASE(kSetfrk) {
    const u8 op = ip[-1];
    const bool keep = op == u8(GSByteCode::Opcode::kSetfk) || op == u8(GSByteCode::Opcode::kSetfrk);
    const bool reference =
        op == u8(GSByteCode::Opcode::kSetfr) || op == u8(GSByteCode::Opcode::kSetfrk);
    const GSHandle object = sp[-1];
    if (object == 0) KS_FAIL(kRunNullReference);
    u32* field = ObjectBridge::FieldOfKind(
        object, KS_U16(), reference ? GSClass::kReferenceField : GSClass::kValueField);
    if (field == nullptr) KS_FAIL(kRunNullReference);
    const u32 value = *sp;
    if (reference) {
      if (keep) ObjectBridge::AddIfSet(value);
      ObjectBridge::StoreReferenceField(object, field, value);
    } else {
      *field = value;
    }
    ObjectBridge::ReleaseReference(object);
    --sp;
    if (keep) {
      *sp = value;
    } else {
      --sp;
    }
    KS_NEXT();
  }
  KS_CASE(kGetmf) KS_CASE(kGetmfr) {
    const bool reference = ip[-1] == u8(GSByteCode::Opcode::kGetmfr);
    const u32* field = ObjectBridge::FieldOf(locals[0], KS_U16());
    if (field == nullptr) KS_FAIL(kRunNullReference);
    const u32 value = *field;
    if (reference) ObjectBridge::AddIfSet(value);
    *++sp = value;
    KS_NEXT();
  }
  KS_CASE(kSetmf) KS_CASE(kSetmfk) KS_CASE(kSetmfr) KS_CASE(kSetmfrk) {
    const u8 op = ip[-1];
    const bool keep =
        op == u8(GSByteCode::Opcode::kSetmfk) || op == u8(GSByteCode::Opcode::kSetmfrk);
    const bool reference =
        op == u8(GSByteCode::Opcode::kSetmfr) || op == u8(GSByteCode::Opcode::kSetmfrk);
    u32* field = ObjectBridge::FieldOf(locals[0], KS_U16());
    if (field == nullptr) KS_FAIL(kRunNullReference);
    const u32 value = *sp;
    if (reference) {
      if (keep) ObjectBridge::AddIfSet(value);
      ObjectBridge::StoreReferenceField(locals[0], field, value);
    } else {
      *field = value;
    }
    if (!keep) --sp;
    KS_NEXT();
  }

  // ---- Calls and returns ----
  KS_CASE(kCalli) {
    callSite = static_cast<u32>(ip - 1 - codeStart);
    callObject = sp + KS_I16();
    callee = function->overridden;
    if (callee == nullptr || *callObject == 0) KS_FAIL(kRunNullReference);
    calleeView = ObjectBridge::CastTo(*callObject, callee->ownerClass);
    if (calleeView == 0) KS_FAIL(kRunNullReference);
    if (callee->record.codeLength == 0) KS_FAIL(kRunIllegalInstruction);
    // Inherited calls do not pass the cache, which checked the others.
    if (!function->CallFits(callSite, callee)) KS_FAIL(kRunLinkError);
    callBorrow = 0;
    goto enter_callee;
  }
  KS_CASE(kCall) {
    callBorrow = 0;
  call_method:
    const u8* const opcode = ip - 1;
    callObject = sp + KS_I16();
    const u32 method = KS_U16();
    if (*callObject == 0 ||
        !ObjectBridge::ResolveCall(ip, function, opcode, *callObject, method, &callee, &calleeView)) {
      KS_FAIL(kRunNullReference);
    }
    if (calleeView == 0) KS_FAIL(kRunNullReference);
    if (callee->record.codeLength == 0) KS_FAIL(kRunIllegalInstruction);
  }
  enter_callee : {
    *callObject = calleeView;  // the count moves with it: every view shares the instance's count
    KS_JUMP_TO(ip);
    if (!stack.EnterFrame(sp, callee, static_cast<u32>(ip - codeStart), callBorrow)) {
      goto drop_call_words;
    }
    KESTRO_ASSERT(GSStack::FunctionOf(stack.CurrentFrame()) == callee);
    // A borrowed `me` is the caller's own.
    KESTRO_ASSERT(callBorrow == 0 || ObjectBridge::SameObject(calleeView, locals[0]));
    // The frame's locals begin where the caller pushed `me`.
    KESTRO_ASSERT(stack.Locals(stack.CurrentFrame()) == sp + callee->record.header.localsOffset);
    // The run's context follows the object whose method runs.
    if (calleeView != locals[0] && EnterContextOf(calleeView)) stack.MarkOwnContext();
    if (callDepth < kResumeRecords) resumes[callDepth] = {ip, function};
    ++callDepth;
    locals = sp + callee->record.header.localsOffset;
    sp += callee->record.header.frameAdvance;
    KESTRO_ASSERT(sp == stack.Top());
    function = callee;
    codeStart = callee->record.code;
    KS_MOVE_IP(codeStart);
    KS_NEXT();
  }
  drop_call_words : {
    // The words pushed for a frame that did not fit: `me`, unless borrowed, and the reference
    // arguments hold counts that an unwind, which cannot tell them from numbers, would never
    // release. They are found from the callee, as the frame would have: kept in a register
    // through the call, the object's word costs the calls that do fit.
    u32* const pushed = sp + callee->record.header.localsOffset;
    GSStack::DropCallWords(callee, callBorrow != 0 ? 0 : *pushed, pushed + 1,
                           static_cast<size_t>(sp - pushed));
    KS_FAIL(kRunStackOverflow);
  }
  KS_CASE(kCalln) {
    const u8* const opcode = ip - 1;
    const i32 slot = KS_I16();
    u32* object = sp + slot;
    const u32 method = KS_U16();
    const GSFunction* callee = nullptr;
    GSHandle view = 0;
    if (*object == 0 ||
        !ObjectBridge::ResolveCall(ip, function, opcode, *object, method, &callee, &view)) {
      KS_FAIL(kRunNullReference);
    }
    if (callee->native == nullptr) KS_FAIL(kRunNativeCallError);
    *object = view;
    stack.SetTop(sp);
    if (!stack.PushFrame(callee, static_cast<u32>(ip - codeStart))) {
      GSStack::DropCallWords(callee, view, object + 1, static_cast<size_t>(sp - object));
      KS_FAIL(kRunStackOverflow);
    }
    const bool ownContext = view != locals[0] && EnterContextOf(view);
    KS_BUDGET_OUT();
    const bool called = callee->native->Call(view, &stack);
    KS_BUDGET_IN();
    if (!called) {
      sp = stack.Top();
      // A native that found no room for its result fails as the overflow it is.
      KS_FAIL(stack.TakeOverflow() ? kRunStackOverflow : kRunNativeCallError);
    }
    const bool balanced = callee->record.header.returnType != 0 ? stack.ReturnValue(true, callee)
                                                                : stack.PopFrame(callee);
    sp = stack.Top();
    if (!balanced) KS_FAIL(kRunStackReturnError);
    // The native's frame is gone and the caller's is current again.
    KESTRO_ASSERT(stack.CurrentFrame() != nullptr &&
                  GSStack::FunctionOf(stack.CurrentFrame()) == function);
    if (ownContext) SetCurrentContext(stack.CurrentContext());
    if (state_ == kBlocked) {
      resumeOffset_ = static_cast<u32>(ip - codeStart);
      goto normal_exit;
    }
    if (state_ == kDead) KS_FAIL(kRunException);
    KS_NEXT();
  }
  KS_CASE(kCallt) {
    const u32 site = static_cast<u32>(ip - 1 - codeStart);
    const i32 slot = KS_I16();
    const u32 method = KS_U16();
    u32* object = sp + slot;
    const GSFunction* callee = nullptr;
    GSHandle view = 0;
    if (*object == 0 || !ObjectBridge::ResolveMethod(*object, method, &callee, &view) ||
        view == 0) {
      KS_FAIL(kRunNullReference);
    }
    if (!function->CallFits(site, callee)) KS_FAIL(kRunThreadError);
    GSThreadOwner* owner = ObjectBridge::GameObjectOf(*object);
    KS_BUDGET_OUT();
    GSThread* thread = owner != nullptr && owner->CanReceive() ? owner->StartThread() : nullptr;
    KS_BUDGET_IN();
    // Until the thread's frame is entered the counts of the object and the arguments are the
    // caller's (the thread's stack holds mere copies): a call that fails releases them.
    if (thread == nullptr || callee->record.codeLength == 0) {
      GSStack::DropCallWords(callee, *object, object + 1, static_cast<size_t>(sp - object));
      KS_FAIL(kRunThreadError);
    }
    GSStack& target = thread->Stack();
    *object = view;
    bool moved = true;
    for (u32* word = object; word <= sp && moved; ++word) moved = target.PushWord(*word);
    if (!moved || !target.PushFrame(callee, 0)) {
      thread->MarkDead();
      GSStack::DropCallWords(callee, view, object + 1, static_cast<size_t>(sp - object));
      KS_FAIL(kRunThreadError);
    }
    sp = object - 1;
    KS_NEXT();
  }
  KS_CASE(kRet) {
    leavingOwnContext = (stack.CurrentFrame()->function & GSStack::kOwnContext) != 0;
    stack.SetTop(sp);
    const bool balanced = stack.PopFrame(function);
    sp = stack.Top();
    if (!balanced) KS_FAIL(kRunStackReturnError);
    goto leave_callee;
  }
  KS_CASE(kRetv) KS_CASE(kRetvr) {
  return_value:
    GSFrameHeader* const leaving = stack.CurrentFrame();
    const u32 header = leaving->function;
    leavingOwnContext = (header & GSStack::kOwnContext) != 0;
    // A balanced frame that borrowed its `me` and holds no other reference has nothing to
    // release: its result goes where `me` lay and a caller this run entered it from resumes.
    if ((header & GSStack::kBorrowedMe) != 0 && function->record.referenceSlots.empty() &&
        callDepth - 1 < kResumeRecords && sp == &leaving->localsBase + 1) {
      KESTRO_ASSERT(stack.Locals(leaving) == locals);
      KESTRO_ASSERT(resumes[callDepth - 1].ip ==
                    resumes[callDepth - 1].function->record.code + leaving->returnOffset);
      *locals = *sp;
      sp = locals;
      stack.SetTop(sp);
      // Its caller's frame, which this run entered it from, is below it.
      stack.SetCurrentFrameAt(leaving->previousFrame);
      goto resume_caller;
    }
    stack.SetTop(sp);
    const bool balanced = stack.ReturnValue(false, function);
    sp = stack.Top();
    if (!balanced) KS_FAIL(kRunStackReturnError);
  }
  leave_callee : {
    if (callDepth - 1 < kResumeRecords) {
    resume_caller:
      const Resume& resume = resumes[--callDepth];
      // The caller's frame is the one its call entered from.
      KESTRO_ASSERT(stack.CurrentFrame() != nullptr &&
                    GSStack::FunctionOf(stack.CurrentFrame()) == resume.function);
      KS_JUMP_TO(resume.ip);
      function = resume.function;
      codeStart = function->record.code;
      locals = stack.Locals(stack.CurrentFrame());
      // A caller that stored over its `me` before the call fails as it is entered again.
      if (locals[0] == 0) KS_FAIL(kRunNullReference);
    } else {
      if (callDepth != 0) --callDepth;  // a frame past the record's end
      GSFrameHeader* caller = stack.CurrentFrame();
      if (caller == nullptr) {
        state_ = kDead;
        goto normal_exit;
      }
      // A balanced return leaves the caller's header and operand words where they were.
      KESTRO_ASSERT(sp >= &caller->localsBase);
      KS_JUMP_TO(ip);
      KS_ENTER(caller, stack.ReturnOffset());
    }
    if (leavingOwnContext) SetCurrentContext(stack.CurrentContext());
    KS_NEXT();
  }
  KS_CASE(kWait) {
    const u32 n = ByteOrder::LoadLE16(ip);
    const u8* pairs = ip + 2;
    if (owner_ == nullptr || IsStatic() || !owner_->CanReceive()) KS_FAIL(kRunThreadError);
    const std::vector<std::string>& strings = function->library->image.strings;
    for (u32 i = 0; i < n; ++i) {
      const u16 major = owner_->MessageTypeId(strings[ByteOrder::LoadLE16(pairs + i * 4)]);
      const u16 minor = owner_->MessageTypeId(strings[ByteOrder::LoadLE16(pairs + i * 4 + 2)]);
      owner_->Subscribe(major);
      waitList_.push_back({major, minor, ByteOrder::LoadLE32(pairs + n * 4 + i * 4)});
    }
    ip = pairs + n * 8;
    state_ = kBlocked;
    sleepTime_ = 0;
    stack.SetTop(sp);
    KS_BUDGET_OUT();
    ProcessQueue();
    KS_BUDGET_IN();
    sp = stack.Top();
    goto normal_exit;
  }

#if defined(__GNUC__)
L_illegal:
  KS_FAIL(kRunIllegalInstruction);
#else
    default:
      KS_FAIL(kRunIllegalInstruction);
  }
#endif

normal_exit:
  KESTRO_ASSERT(budget.depth == entryBudgetDepth && runDepth_ == entryRunDepth);
  // A run ends with its last frame left, or paused inside one (a wait may already be met).
  KESTRO_ASSERT((state_ == kDead) == (stack.CurrentFrame() == nullptr));
  budget.used = KS_BUDGET_USED();
  stack.SetTop(sp);
  --budget.depth;
  --runDepth_;
  SetCurrentThread(previousThread);
  SetCurrentContext(previousContext);
  error = state_ == kDead ? kRunDone : kRunBlocked;
  if (deletePending_ && runDepth_ == 0) delete this;
  return error;

error_exit : {
  KESTRO_ASSERT(budget.depth == entryBudgetDepth && runDepth_ == entryRunDepth);
  budget.used = KS_BUDGET_USED();
  --runDepth_;
  GSFrameHeader* failedFrame = stack.CurrentFrame();
  const GSFunction* failedFunction =
      failedFrame != nullptr ? GSStack::FunctionOf(failedFrame) : nullptr;
  i32 line = -1;
  if (failedFunction != nullptr && ip != nullptr) {
    // The instruction's own bytes: the pointer has moved past its opcode.
    const u8* code = failedFunction->record.code;
    line = LineOfOffset(failedFunction, ip > code ? static_cast<u32>(ip - 1 - code) : 0);
  }
  stack.SetTop(sp);
  // Still counted while reported, so that the exception hook sees this run's own depth.
  FailRun(error, line,
          function != nullptr && function->library != nullptr ? function->library->name.c_str()
                                                                : "");
  --budget.depth;
  SetCurrentThread(previousThread);
  SetCurrentContext(previousContext);
  if (deletePending_ && runDepth_ == 0) delete this;
  return error;
}

#undef KS_ENTER
#undef KS_JUMP_TO
#undef KS_MOVE_IP
#undef KS_BUDGET_USED
#undef KS_BUDGET_OUT
#undef KS_BUDGET_IN
#undef KS_FAIL
#undef KS_CHECK
#undef KS_U16
#undef KS_I16
#undef KS_U32
#undef KS_BINARY_INT
#undef KS_BINARY_FLOAT
#undef KS_CASE
#undef KS_FUSED_CASE
#undef KS_NEXT
}

}  // namespace GSRuntime
