#include "gsruntime/byte_code_verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "gscommon/opcode_list.h"
#include "gscommon/opcode_table.h"
#include "platform/byte_order.h"

namespace GSRuntime {

namespace {

using GSByteCode::Opcode;
using GSByteCode::OperandLayout;

[[gnu::noinline]] bool Fail(std::string* error, u32 offset, const char* what) {
  if (error != nullptr) {
    char line[96];
    std::snprintf(line, sizeof line, "code offset %u: %s", offset, what);
    *error = line;
  }
  return false;
}

}  // namespace

u64 LocalSlotCount(const GSByteCode::FunctionRecordHeader& h) {
  return u64(h.argumentWords) + h.localWordsFirst + h.localWordsSecond;
}

u8 ResultKindOf(u32 returnType) {
  if (returnType == 0) return kNoResult;
  return returnType <= 3 ? kValueResult : kReferenceResult;  // bool, int, float: plain words
}

CallShape ShapeOf(const GSByteCode::FunctionRecord& function) {
  const u32 arguments = function.header.argumentWords;
  CallShape shape{std::vector<u8>(arguments > 1 ? arguments - 1 : 0, kValueWord), kNoResult};
  for (u32 slot : function.referenceSlots) {
    if (slot >= 1 && slot < arguments) shape.argumentKinds[slot - 1] = kReferenceWord;
  }
  shape.result = ResultKindOf(function.header.returnType);
  return shape;
}

namespace {

constexpr bool IsCall(Opcode op) {
  return op == Opcode::kCall || op == Opcode::kCalln || op == Opcode::kCallt ||
         op == Opcode::kCalli;
}

// The words an instruction reads (bottom to top) and leaves, 'V' a plain word, 'R' a counted
// reference and 'N' a zero (null), as the interpreter treats them: a reference it releases or
// keeps must have been counted, and a plain word must never be released. Loads, stores, swaps,
// calls and waits depend on their operands and are handled apart (null entries).
struct KindRule {
  const char* reads;
  const char* leaves;
};
constexpr KindRule kKindRules[GSByteCode::kOpcodeCount] = {
    {"VV", "V"},   {"VV", "V"},    {"VV", "V"},   {"VV", "V"},   {"VV", "V"},    // ADD..MOD
    {"V", "V"},    {"V", "V"},     {"V", "V"},    {"V", "V"},    {"VV", "V"},    // NEG..CMP
    {"", "N"},     {"", "V"},      {"V", "V"},    {"VV", "V"},   {"VV", "V"},    // PUSH0..OR
    {"VV", "V"},   {"V", "V"},     {"VV", "V"},   {"VV", "V"},   {"VV", "V"},    // XOR..FADD
    {"VV", "V"},   {"VV", "V"},    {"VV", "V"},   {"VV", "V"},   {"V", "V"},     // FSUB..FNEG
    {"V", "V"},    {"V", "V"},     {"V", "V"},    {"VV", "V"},   {"V", "V"},     // FINC..NOT
    {"", "V"},     {nullptr, ""},  {nullptr, ""}, {nullptr, ""}, {nullptr, ""},  // PUSHC..STOREK
    {nullptr, ""}, {nullptr, ""},  {"V", ""},     {"R", ""},     {"V", "VV"},    // STORER..DUP
    {"R", "RR"},   {"RV", "RVRV"}, {nullptr, ""}, {"", ""},      {"V", ""},      // DUPR..JZ
    {"V", ""},     {"V", "V"},     {"V", "V"},    {"V", ""},     {"V", ""},      // JNZ..JLE
    {"V", ""},     {"V", ""},      {"V", "V"},    {"V", "V"},    {"V", "V"},     // JGT..GT
    {"V", "V"},    {"V", "R"},     {"V", "R"},    {"R", "V"},    {"R", "R"},     // GE..ACOPY
    {"RV", "V"},   {"RVV", ""},    {"RVV", "V"},  {"RV", "R"},   {"RVR", ""},    // AGET..ASETR
    {"RVR", "R"},  {"RVV", "R"},   {"RVVR", ""},  {"RVVR", "R"}, {"RVV", "R"},   // ASETRK..ARANGER
    {"RVVR", ""},  {"RVVR", "R"},  {"", "R"},     {"", "R"},     {"V", "R"},     // ARANGESETR..ITOS
    {"V", "R"},    {"V", "R"},     {"R", "R"},    {"R", "V"},    {"RV", "V"},    // BTOS..SGET
    {"RVV", ""},   {"RVV", "V"},   {"RVV", "R"},  {"RVVR", ""},  {"RVVR", "R"},  // SSET..SRANGESETK
    {"RR", "V"},   {"RR", "R"},    {"R", "V"},    {"", "R"},     {"", "R"},      // SCMP..STATIC
    {"R", "R"},    {"RR", "V"},    {"R", "V"},    {"R", "V"},    {nullptr, ""},  // CAST..CALL
    {nullptr, ""}, {nullptr, ""},  {"R", "V"},    {"R", "R"},    {"RV", ""},     // CALLN..SETF
    {"RV", "V"},   {"RR", ""},     {"RR", "R"},   {"", "V"},     {"", "R"},      // SETFK..GETMFR
    {"V", ""},     {"R", ""},      {"V", "V"},    {"R", "R"},    {"", ""},       // SETMF..RET
    {"V", ""},     {"R", ""},      {nullptr, ""}, {"V", ""},     {nullptr, ""},  // RETV..CALLI
    {"V", "V"},                                                                  // NE
};

// The state of an offset inside an instruction (all bits set, which fills fast), and of an
// instruction start not reached yet.
constexpr u64 kInside = ~u64(0);
constexpr u64 kNoState = kInside - 1;
constexpr u32 kNoNext = ~0u;
constexpr u32 kMaxOpenBranches = 1024;

// Per opcode, what the walk asks at every instruction: looked up once, not worked out again.
constexpr OperandLayout kLayouts[GSByteCode::kOpcodeCount] = {
#define GS_OPCODE_LAYOUT(name, number, mnemonic, operands, effect, inputs) OperandLayout::operands,
    GS_OPCODE_LIST(GS_OPCODE_LAYOUT)
#undef GS_OPCODE_LAYOUT
};
constexpr u32 CountOf(const char* kinds) {
  u32 n = 0;
  while (kinds != nullptr && kinds[n] != 0) ++n;
  return n;
}
// Bytes of an instruction of a fixed length, operands included; 0 for those that count their
// operands (`switch`, `wait`).
constexpr u8 FixedLength(OperandLayout layout) {
  const i32 operands = GSByteCode::FixedOperandBytes(layout);
  return operands < 0 ? 0 : u8(1 + operands);
}
struct FixedLengths {
  u8 of[256];  // 0: no instruction, or one that counts its operands
};
constexpr FixedLengths MakeFixedLengths() {
  FixedLengths lengths{};
  for (u32 op = 0; op < GSByteCode::kOpcodeCount; ++op) lengths.of[op] = FixedLength(kLayouts[op]);
  return lengths;
}
constexpr FixedLengths kFixedLengths = MakeFixedLengths();
// GSByteCode::InstructionLength, without a call for the instructions of fixed length.
u32 LengthAt(const u8* code, u32 length, u32 offset) {
  const u32 fixed = kFixedLengths.of[code[offset]];
  if (fixed == 0) return GSByteCode::InstructionLength(code, length, offset);
  return fixed <= length - offset ? fixed : 0;
}

// What the structure pass checks of an instruction's operands.
enum class Check : u8 { kNone, kLocal, kString, kClass, kMeField, kTarget, kCall, kSwitch, kWait };
// What a u16 operand indexes; fields of objects other than `me` are the interpreter's to check.
constexpr Check U16Check(Opcode op) {
  switch (op) {
    case Opcode::kLoad:
    case Opcode::kLoadr:
    case Opcode::kStore:
    case Opcode::kStorek:
    case Opcode::kStorer:
    case Opcode::kStorerk:
      return Check::kLocal;
    case Opcode::kPushs:
      return Check::kString;
    case Opcode::kIsclass:
    case Opcode::kNew:
    case Opcode::kStatic:
    case Opcode::kCast:
      return Check::kClass;
    case Opcode::kGetmf:
    case Opcode::kGetmfr:
    case Opcode::kSetmf:
    case Opcode::kSetmfr:
    case Opcode::kSetmfk:
    case Opcode::kSetmfrk:
      return Check::kMeField;
    default:
      return Check::kNone;
  }
}
struct Checks {
  Check of[GSByteCode::kOpcodeCount];
};
constexpr Checks MakeChecks() {
  Checks checks{};
  for (u32 number = 0; number < GSByteCode::kOpcodeCount; ++number) {
    const OperandLayout layout = kLayouts[number];
    checks.of[number] = layout == OperandLayout::kU16      ? U16Check(static_cast<Opcode>(number))
                        : layout == OperandLayout::kTarget ? Check::kTarget
                        : layout == OperandLayout::kCall || layout == OperandLayout::kSlot
                            ? Check::kCall
                        : layout == OperandLayout::kSwitch ? Check::kSwitch
                        : layout == OperandLayout::kWait   ? Check::kWait
                                                           : Check::kNone;
  }
  return checks;
}
constexpr Checks kChecks = MakeChecks();

// What the walk does at an opcode, worked out once from the tables above.
enum class Form : u8 { kTable, kPushc, kCall, kSwap, kSlot, kWait };
enum class Flow : u8 { kNext, kTargetAndNext, kJump, kSwitch, kWait, kReturn };
struct StepRule {
  Form form = Form::kTable;
  Flow flow = Flow::kNext;
  u8 reads = 0;
  u8 referenceReads = 0;  // bit i: the i-th word read, from the top, must be a reference
  u8 leaves = 0;
  u8 leftKinds[4] = {};     // bottom first
  bool namesClass = false;  // the class of what it leaves may be known (StackWalk::ClassLeft)
  // The instructions StackWalk::QuickStep takes, which go on to the next instruction or a
  // jump target: those that read and leave plain words whatever the walk, constants, and
  // plain loads and stores.
  enum Quick : u8 { kNotQuick, kQuickTable, kQuickConstant, kQuickLoad, kQuickStore };
  Quick quick = kNotQuick;
};
struct StepRules {
  StepRule of[GSByteCode::kOpcodeCount];
};
constexpr StepRules MakeStepRules() {
  StepRules rules{};
  for (u32 number = 0; number < GSByteCode::kOpcodeCount; ++number) {
    const Opcode op = static_cast<Opcode>(number);
    const KindRule& kinds = kKindRules[number];
    StepRule& rule = rules.of[number];
    rule.form = op == Opcode::kPushc     ? Form::kPushc
                : kinds.reads != nullptr ? Form::kTable
                : IsCall(op)             ? Form::kCall
                : op == Opcode::kSwap    ? Form::kSwap
                : op == Opcode::kWait    ? Form::kWait
                                         : Form::kSlot;
    rule.flow = op == Opcode::kRet || op == Opcode::kRetv || op == Opcode::kRetvr ? Flow::kReturn
                : op == Opcode::kJmp                                              ? Flow::kJump
                : op == Opcode::kSwitch                                           ? Flow::kSwitch
                : op == Opcode::kWait                                             ? Flow::kWait
                : kLayouts[number] == OperandLayout::kTarget ? Flow::kTargetAndNext
                                                             : Flow::kNext;
    rule.quick = op == Opcode::kPushc   ? StepRule::kQuickConstant
                 : op == Opcode::kLoad  ? StepRule::kQuickLoad
                 : op == Opcode::kStore ? StepRule::kQuickStore
                                        : StepRule::kNotQuick;
    if (rule.form != Form::kTable) continue;
    rule.reads = u8(CountOf(kinds.reads));
    for (u32 i = 0; i < rule.reads; ++i) {
      if (kinds.reads[rule.reads - 1 - i] == 'R') rule.referenceReads |= u8(1u << i);
    }
    rule.leaves = u8(CountOf(kinds.leaves));
    for (u32 i = 0; i < rule.leaves; ++i) {
      const char letter = kinds.leaves[i];
      rule.leftKinds[i] = letter == 'R' ? kReferenceWord : letter == 'N' ? kZeroWord : kValueWord;
    }
    rule.namesClass = op == Opcode::kNew || op == Opcode::kStatic || op == Opcode::kCast ||
                      op == Opcode::kDupr || op == Opcode::kGetmfr;
    if (!rule.namesClass && (rule.flow == Flow::kNext || rule.flow == Flow::kJump ||
                             rule.flow == Flow::kTargetAndNext)) {
      rule.quick = StepRule::kQuickTable;
    }
  }
  return rules;
}
constexpr StepRules kStepRules = MakeStepRules();

}  // namespace

// Everything a walk keeps, by instruction offset where it is per instruction.
struct VerifierWorkspace::Tables {
  // A stack: its top word's kind and class, the stack below. The stacks one word deeper, a
  // plain word of each kind on top, are found from here without a lookup.
  struct StackNode {
    u32 below;
    u32 depth;
    u32 cls;  // class tag of an object word, 0 unknown
    u8 kind;
    u32 plainAbove[3];  // by kind; 0 none yet
  };
  // A set of local slots: its smallest slot and the set of the larger ones (0 the empty set).
  struct SlotSet {
    u32 slot;
    u32 rest;
  };
  // Numbers by 64-bit key, open addressed. Clearing starts a new generation instead of
  // touching the entries.
  class KeyTable {
   public:
    void Clear() {
      count_ = 0;
      if (++generation_ == 0) {
        for (Entry& entry : entries_) entry.generation = 0;
        generation_ = 1;
      }
    }
    // The number kept under `key`; where there is none, `value`, kept under it from now on.
    u32 FindOrAdd(u64 key, u32 value) {
      if ((count_ + 1) * 2 > entries_.size()) Grow();
      const size_t mask = entries_.size() - 1;
      for (size_t at = Slot(key) & mask;; at = (at + 1) & mask) {
        Entry& entry = entries_[at];
        if (entry.generation != generation_) {
          entry = {key, value, generation_};
          ++count_;
          return value;
        }
        if (entry.key == key) return entry.value;
      }
    }

   private:
    struct Entry {
      u64 key = 0;
      u32 value = 0;
      u32 generation = 0;
    };
    static size_t Slot(u64 key) { return size_t((key * 0x9E3779B97F4A7C15ull) >> 32); }
    void Grow() {
      std::vector<Entry> old(std::max<size_t>(64, entries_.size() * 2));
      old.swap(entries_);
      const size_t mask = entries_.size() - 1;
      for (const Entry& entry : old) {
        if (entry.generation != generation_) continue;
        size_t at = Slot(entry.key) & mask;
        while (entries_[at].generation == generation_) at = (at + 1) & mask;
        entries_[at] = entry;
      }
    }
    std::vector<Entry> entries_;
    size_t count_ = 0;
    u32 generation_ = 1;
  };

  // The structure pass: the jumps to check, and the calls in offset order.
  std::vector<std::pair<u32, u32>> targets;  // (instruction offset, target)
  std::vector<u32> calls;
  // The walk.
  // Per offset: kInside, or for an instruction start its stack node and owned set, kNoState
  // while the walk has not reached it. The structure pass sets it up.
  std::vector<u64> state;
  // Per offset, read at calls only: the result a call was walked as leaving, or -1.
  std::vector<i8> result;
  std::vector<u8> slotKinds;
  std::vector<u32> slotClasses;  // class tag of the objects stored in each slot, or kMixedClass
  std::vector<StackNode> nodes;
  KeyTable classedNodes;  // stacks with an object of known class on top
  std::vector<SlotSet> slotSets;
  KeyTable slotSetIds;
  std::vector<u32> slotScratch;
  std::vector<u32> pending;
  std::vector<u32> trail;      // offsets given a stack, in order, to go back over
  std::vector<u32> heldAside;  // the pending lists of open branches, innermost last
};

VerifierWorkspace::VerifierWorkspace() : tables_(std::make_unique<Tables>()) {}
VerifierWorkspace::~VerifierWorkspace() = default;

namespace {

// The abstract walk: the operand words at each instruction start, their number and which of
// them are counted references, over every path from the entry and from each wait's message
// targets. Every instruction's targets are known to be instruction starts by now. A stack is a
// node of an interned tree (its top word's kind, the stack below), so that equal stacks are one
// number and paths that meet compare in one step. The state also holds the plain local slots
// into which a counted reference was stored (the compiler parks one in a temporary): a plain
// load takes the count back out, once.
//
// A call names a method-table slot, and what it leaves depends on the function found there at
// run time; when the library's functions at that slot differ, it cannot tell whether that one
// returns a value. Such a call is walked each way, the likelier first, going back when a way
// fails; the interpreter then holds each call to the shape that passed (GSFunction::callSites).
// A strict walk narrows that down. It follows the class of each object word where the code
// names it (`new`, `static`, `cast`, `me`, typed arguments, fields and call results, and the
// local slots they are stored into), so that a call on an object of a known class finds the
// function its method table holds; and it holds each call's arguments to the kinds the
// functions it may find take, so that a call result passed straight on as an argument is
// walked as what the call it is passed to takes. Classes only choose among the ways: they are
// not part of the state that paths compare, and every way still passes all the proofs.
class StackWalk {
 public:
  using Tables = VerifierWorkspace::Tables;

  StackWalk(const GSByteCode::FunctionRecord& function, const VerifierLimits& limits,
            std::string* error, bool strict, Tables& tables)
      : f_(function),
        code_(function.code),
        codeLength_(function.codeLength),
        limits_(limits),
        error_(error),
        strict_(strict),
        t_(tables),
        state_(nullptr),
        result_(nullptr) {
    const GSByteCode::FunctionRecordHeader& h = function.header;
    maxDepth_ = i64(h.frameWords) - i64(h.localWordsFirst) - h.localWordsSecond -
                GSByteCode::kFrameHeaderWords;
    // Only the calls' entries are ever read.
    t_.result.resize(function.codeLength);
    for (const u32 call : t_.calls) t_.result[call] = -1;
    state_ = t_.state.data();
    result_ = t_.result.data();
    t_.nodes.resize(1);
    t_.nodes[0] = {0, 0, 0, 0, {0, 0, 0}};  // the empty stack
    nodes_ = t_.nodes.data();
    t_.classedNodes.Clear();
    t_.slotSets.clear();
    t_.slotSets.push_back({0, 0});  // no slot holds a count
    t_.slotSetIds.Clear();
    t_.pending.clear();
    t_.trail.clear();
    t_.heldAside.clear();
    // Few slots each: filled in place.
    const size_t slots = LocalSlotCount(h);
    t_.slotKinds.resize(slots);
    std::fill(t_.slotKinds.begin(), t_.slotKinds.end(), kValueWord);
    if (!t_.slotKinds.empty()) t_.slotKinds[0] = kReferenceWord;  // `me`
    // Arguments hold what the caller passed; locals what the code stores into them.
    t_.slotClasses.resize(slots);
    std::fill(t_.slotClasses.begin(), t_.slotClasses.end(), kUnsetClass);
    for (size_t slot = 0; slot < h.argumentWords && slot < t_.slotClasses.size(); ++slot) {
      const std::vector<u32>* given = limits.argumentClasses;
      t_.slotClasses[slot] = slot == 0                                  ? limits.ownClass
                             : given != nullptr && slot < given->size() ? (*given)[slot]
                                                                        : 0;
    }
    for (u32 slot : function.referenceSlots) {
      if (slot < t_.slotKinds.size()) t_.slotKinds[slot] = kReferenceWord;
    }
    // Going back is bounded: code that needs more tries than this is refused.
    budget_ = u64(function.codeLength) * 16 + 4096;
  }

  bool Run(std::vector<CallSite>* sites) {
    if (sites != nullptr) sites->clear();
    if (codeLength_ == 0) return true;
    if (maxDepth_ < 0) return Fail(0, "frame smaller than its locals");
    if (!Reach(0, 0, 0, 0) || !Walk()) return false;
    if (sites != nullptr) {
      size_t count = 0;
      for (const u32 offset : t_.calls) count += result_[offset] >= 0 ? 1 : 0;
      sites->reserve(count);
      for (const u32 offset : t_.calls) {
        if (result_[offset] >= 0) sites->push_back({offset, SiteShape(offset)});
      }
    }
    return true;
  }

 private:
  using Node = Tables::StackNode;
  // A local slot that words of different classes, or none yet, were stored into.
  static constexpr u32 kMixedClass = ~0u;
  static constexpr u32 kUnsetClass = ~0u - 1;
  static constexpr u32 kMaxClassTag = (1u << 30) - 1;

  bool Fail(u32 offset, const char* what) { return GSRuntime::Fail(error_, offset, what); }

  // The class tag of the object word a table-driven instruction leaves, where it names it.
  u32 ClassLeft(Opcode op, const u8* operands, u32 stack) const {
    switch (op) {
      case Opcode::kNew:
      case Opcode::kStatic:
      case Opcode::kCast:
        return u32(ByteOrder::LoadLE16(operands)) + 1;
      case Opcode::kDupr:
        return nodes_[stack].cls;
      case Opcode::kGetmfr: {
        const std::vector<u32>* members = limits_.memberClasses;
        const u32 word = ByteOrder::LoadLE16(operands);
        return members != nullptr && word < members->size() ? (*members)[word] : 0;
      }
      default:
        return 0;
    }
  }

  [[gnu::always_inline]] u32 Push(u32 stack, u8 kind, u32 cls = 0) {
    if (cls != 0 && (!strict_ || kind != kReferenceWord || cls > kMaxClassTag)) cls = 0;
    if (cls == 0) {
      const u32 known = nodes_[stack].plainAbove[kind];
      return known != 0 ? known : PushPlain(stack, kind);
    }
    return PushClassed(stack, kind, cls);
  }
  [[gnu::noinline]] u32 PushPlain(u32 stack, u8 kind) {
    const u32 node = NewNode(stack, kind, 0);
    nodes_[stack].plainAbove[kind] = node;
    return node;
  }
  [[gnu::noinline]] u32 PushClassed(u32 stack, u8 kind, u32 cls) {
    const u64 key = (u64(stack) << 32) | (u64(cls) << 2) | kind;
    const u32 next = static_cast<u32>(t_.nodes.size());
    const u32 node = t_.classedNodes.FindOrAdd(key, next);
    return node == next ? NewNode(stack, kind, cls) : node;
  }
  [[gnu::always_inline]] u32 NewNode(u32 stack, u8 kind, u32 cls) {
    t_.nodes.push_back({stack, nodes_[stack].depth + 1, cls, kind, {0, 0, 0}});
    nodes_ = t_.nodes.data();
    return static_cast<u32>(t_.nodes.size() - 1);
  }

  static u64 State(u32 stack, u32 owned) { return (u64(owned) << 32) | stack; }
  static u32 StackOf(u64 state) { return static_cast<u32>(state); }
  static u32 OwnedOf(u64 state) { return static_cast<u32>(state >> 32); }

  // The set of slots `owned` with `slot` added or taken out. Sets are interned lists, smallest
  // slot first, so that equal sets are one number.
  u32 WithSlot(u32 owned, u32 slot, bool holds) {
    // Most loads and stores leave the set as it is, and most sets are empty.
    if (owned == 0 && !holds) return owned;
    std::vector<u32>& smaller = t_.slotScratch;
    smaller.clear();
    u32 at = owned;
    for (; at != 0 && t_.slotSets[at].slot < slot; at = t_.slotSets[at].rest) {
      smaller.push_back(t_.slotSets[at].slot);
    }
    const bool has = at != 0 && t_.slotSets[at].slot == slot;
    if (has == holds) return owned;
    u32 set = holds ? SetOf(slot, at) : t_.slotSets[at].rest;
    for (size_t i = smaller.size(); i-- > 0;) set = SetOf(smaller[i], set);
    return set;
  }
  // The set of `slot` and `larger`, whose slots all are.
  u32 SetOf(u32 slot, u32 larger) {
    const u32 next = static_cast<u32>(t_.slotSets.size());
    const u32 set = t_.slotSetIds.FindOrAdd((u64(larger) << 32) | slot, next);
    if (set == next) t_.slotSets.push_back({slot, larger});
    return set;
  }
  bool Holds(u32 owned, u32 slot) const {
    for (u32 at = owned; at != 0; at = t_.slotSets[at].rest) {
      if (t_.slotSets[at].slot >= slot) return t_.slotSets[at].slot == slot;
    }
    return false;
  }

  // Gives `target` the state (`stack`, `owned`) or checks it against the one it has. A target
  // reached for the first time is walked later, or next where `next` is given.
  [[gnu::always_inline]] bool Reach(u32 from, u32 target, u32 stack, u32 owned,
                                    u32* next = nullptr) {
    if (nodes_[stack].depth > maxDepth_ || target >= codeLength_) {
      return Unreachable(from, stack);
    }
    const u64 state = State(stack, owned);
    u64& known = state_[target];
    if (known == kNoState) {
      known = state;
      // Only a branch goes back over what was reached.
      if (branches_ != 0) t_.trail.push_back(target);
      if (next != nullptr) {
        *next = target;
      } else {
        t_.pending.push_back(target);
      }
      return true;
    }
    return known == state || Meet(target, known, stack, owned);
  }
  [[gnu::noinline]] bool Unreachable(u32 from, u32 stack) {
    if (nodes_[stack].depth > maxDepth_) {
      return Fail(from, "stack deeper than the frame allows");
    }
    return Fail(from, "code runs past its end");
  }
  // Paths meet at `target`, known to hold `known`, with (`stack`, `owned`).
  [[gnu::noinline]] bool Meet(u32 target, u64 known, u32 stack, u32 owned) {
    if (OwnedOf(known) != owned || !SameKinds(StackOf(known), stack)) {
      return Fail(target, nodes_[StackOf(known)].depth != nodes_[stack].depth
                              ? "stack depths differ where paths meet"
                              : "references and values differ where paths meet");
    }
    return true;
  }
  bool Queue(u32 offset) {
    t_.pending.push_back(offset);
    return true;
  }

  // Whether two stacks hold words of the same kinds, whatever their classes.
  bool SameKinds(u32 a, u32 b) const {
    if (nodes_[a].depth != nodes_[b].depth) return false;
    for (; a != b; a = nodes_[a].below, b = nodes_[b].below) {
      if (nodes_[a].kind != nodes_[b].kind) return false;
    }
    return true;
  }

  // What is known of the functions the call at `offset` may find: in a strict walk from the
  // class of the object it is made on, where that is known.
  CallTarget Target(u32 offset) const {
    if (limits_.callTarget == nullptr || static_cast<Opcode>(code_[offset]) == Opcode::kCalli) {
      return {};
    }
    // A call is looked up when its result is chosen and again when it is walked.
    if (cachedOffset_ == offset && cachedState_ == state_[offset]) return cached_;
    const u32 arguments = ArgumentWords(offset);
    u32 stack = StackOf(state_[offset]);
    u32 receiver = 0;
    if (strict_ && nodes_[stack].depth >= arguments) {
      for (u32 i = 1; i < arguments; ++i) stack = nodes_[stack].below;
      receiver = nodes_[stack].cls;
    }
    cachedOffset_ = offset;
    cachedState_ = state_[offset];
    cached_ = limits_.callTarget(limits_.callContext, receiver,
                                 ByteOrder::LoadLE16(code_ + offset + 3), arguments);
    return cached_;
  }

  // What the call at `offset` leaves (a CallShape result), or -1 when that cannot be told.
  i32 CallResult(Opcode op, u32 offset) const {
    if (op == Opcode::kCallt) return kNoResult;  // a thread is started; nothing comes back
    // An inherited call runs the base version of this very function.
    if (op == Opcode::kCalli) return ResultKindOf(f_.header.returnType);
    const CallShape* known = Target(offset).shape;
    return known == nullptr || known->result == kEitherResult ? -1 : known->result;
  }

  // In a strict walk: whether the words a call passes (`stack` its top) are of the kinds the
  // functions it may find agree on; a zero passes as either.
  bool ArgumentsAgree(u32 offset, const CallShape* known, u32 stack) const {
    if (!strict_ || known == nullptr) return true;
    const size_t count = known->argumentKinds.size();
    if (count + 1 != ArgumentWords(offset)) return true;
    for (size_t i = count; i-- > 0;) {
      const u8 want = known->argumentKinds[i];
      const u8 have = nodes_[stack].kind;
      if (want != kEitherWord && have != kZeroWord && have != want) return false;
      stack = nodes_[stack].below;
    }
    return true;
  }

  u32 ArgumentWords(u32 offset) const {
    return u32(1 - i32(i16(ByteOrder::LoadLE16(code_ + offset + 1))));
  }

  CallShape SiteShape(u32 offset) const {
    CallShape shape;
    const u32 arguments = ArgumentWords(offset);
    shape.argumentKinds.assign(arguments - 1, kValueWord);
    u32 stack = StackOf(state_[offset]);
    for (u32 i = arguments - 1; i-- > 0;) {
      shape.argumentKinds[i] = nodes_[stack].kind;
      stack = nodes_[stack].below;
    }
    shape.result = static_cast<u8>(result_[offset]);
    return shape;
  }

  bool Walk() {
    while (!t_.pending.empty()) {
      u32 offset = t_.pending.back();
      t_.pending.pop_back();
      // Along a straight run of code: the instruction after one, reached for the first time,
      // would be the next taken from `pending` anyway.
      while (offset != kNoNext) {
        if (++steps_ > budget_) return Fail(offset, "call results cannot be told");
        const Opcode op = static_cast<Opcode>(code_[offset]);
        const StepRule& rule = kStepRules.of[u8(op)];
        const Quick quick = QuickStepOf(op, offset, &offset);
        if (quick == Quick::kFailed) return false;
        if (quick == Quick::kDone) continue;
        i32 result = 0;
        if (rule.form == Form::kCall) {
          result = CallResult(op, offset);
          if (result < 0) {
            if (!Branch(offset, op)) return false;
            break;
          }
        }
        if (!Step(offset, op, result, &offset)) return false;
      }
    }
    return true;
  }

  // The common instruction `Number` at `offset`, walked as Step would but with its rule known
  // when compiled; kLeft, with nothing changed, for the others and where Step must tell what
  // is wrong.
  enum class Quick { kDone, kFailed, kLeft };
  template <u32 Number>
  [[gnu::always_inline]] Quick QuickStep(u32 offset, u32* next) {
    constexpr StepRule kRule = kStepRules.of[Number];
    if constexpr (kRule.quick == StepRule::kNotQuick) {
      return Quick::kLeft;
    } else {
      const u64 entry = state_[offset];
      u32 stack = StackOf(entry);
      if constexpr (kRule.quick == StepRule::kQuickTable) {
        if (nodes_[stack].depth < kRule.reads) return Quick::kLeft;
        for (u32 i = 0; i < kRule.reads; ++i) {
          const Node& word = nodes_[stack];
          if ((kRule.referenceReads >> i & 1) != 0 && word.kind == kValueWord) return Quick::kLeft;
          stack = word.below;
        }
        for (u32 i = 0; i < kRule.leaves; ++i) stack = Push(stack, kRule.leftKinds[i]);
      } else if constexpr (kRule.quick == StepRule::kQuickConstant) {
        stack = Push(stack, ByteOrder::LoadLE32(code_ + offset + 1) == 0 ? kZeroWord : kValueWord);
      } else if constexpr (kRule.quick == StepRule::kQuickLoad) {
        // No count parked anywhere: a plain word, whatever the slot.
        if (OwnedOf(entry) != 0) return Quick::kLeft;
        stack = Push(stack, kValueWord);
      } else {
        // A plain word into a plain slot, none parked anywhere.
        const Node& word = nodes_[stack];
        if (OwnedOf(entry) != 0 || word.depth == 0 || word.kind == kReferenceWord ||
            t_.slotKinds[ByteOrder::LoadLE16(code_ + offset + 1)] != kValueWord) {
          return Quick::kLeft;
        }
        stack = word.below;
      }
      const u32 owned = OwnedOf(entry);
      *next = kNoNext;
      if constexpr (kRule.flow == Flow::kJump) {
        return Reach(offset, ByteOrder::LoadLE32(code_ + offset + 1), stack, owned)
                   ? Quick::kDone
                   : Quick::kFailed;
      } else {
        if constexpr (kRule.flow == Flow::kTargetAndNext) {
          if (!Reach(offset, ByteOrder::LoadLE32(code_ + offset + 1), stack, owned)) {
            return Quick::kFailed;
          }
        }
        return Reach(offset, offset + kFixedLengths.of[Number], stack, owned, next)
                   ? Quick::kDone
                   : Quick::kFailed;
      }
    }
  }
  [[gnu::always_inline]] Quick QuickStepOf(Opcode op, u32 offset, u32* next) {
    switch (op) {
#define GS_QUICK_STEP(name, number, mnemonic, operands, effect, inputs) \
  case Opcode::name:                                                    \
    return QuickStep<number>(offset, next);
      GS_OPCODE_LIST(GS_QUICK_STEP)
#undef GS_QUICK_STEP
    }
    return Quick::kLeft;
  }

  // Walks the rest each way from the undecided call at `offset`: a value first when the next
  // instruction reads a word, else none first.
  bool Branch(u32 offset, Opcode op) {
    const u32 next = offset + kFixedLengths.of[code_[offset]];
    const GSByteCode::OpcodeInfo* after =
        next < codeLength_ ? GSByteCode::FindOpcode(code_[next]) : nullptr;
    const bool reads = after != nullptr && after->stackInputs > 0;
    const i32 order[3] = {reads ? kValueResult : kNoResult, reads ? kReferenceResult : kValueResult,
                          reads ? kNoResult : kReferenceResult};
    // Each undecided call nests a walk: their number on one path is bounded like the tries.
    if (++branches_ > kMaxOpenBranches) return Fail(offset, "call results cannot be told");
    const size_t mark = t_.trail.size();
    // The pending offsets to start each way from, kept aside above those of outer branches.
    const size_t aside = t_.heldAside.size();
    const size_t waiting = t_.pending.size();
    t_.heldAside.insert(t_.heldAside.end(), t_.pending.begin(), t_.pending.end());
    std::string firstError;
    for (const i32 result : order) {
      u32 next = kNoNext;
      if (Step(offset, op, result, &next) && (next == kNoNext || Queue(next)) && Walk()) {
        t_.heldAside.resize(aside);
        --branches_;
        return true;
      }
      if (steps_ > budget_) return false;
      if (result == order[0] && error_ != nullptr) firstError = *error_;
      for (size_t i = mark; i < t_.trail.size(); ++i) {
        state_[t_.trail[i]] = kNoState;
        result_[t_.trail[i]] = -1;
      }
      t_.trail.resize(mark);
      result_[offset] = -1;
      // Inner branches that failed have put back what they held aside.
      t_.heldAside.resize(aside + waiting);
      t_.pending.assign(t_.heldAside.begin() + i64(aside), t_.heldAside.end());
    }
    if (error_ != nullptr) *error_ = firstError;
    t_.heldAside.resize(aside);
    --branches_;
    return false;
  }

  // Pops `count` words, bottom to top of the kinds `kinds` gives (null: any). A reference may
  // stand where a value is read: its count is then never given back, a leak but no fault; a
  // value where a reference is read would be released as one.
  bool Pop(u32 offset, u32* stack, u32 count, const char* kinds) {
    if (nodes_[*stack].depth < count) return Fail(offset, "stack underflow");
    for (u32 i = count; i-- > 0;) {
      if (kinds != nullptr && kinds[i] == 'R' && nodes_[*stack].kind == kValueWord) {
        return Fail(offset, "a value where a reference belongs");
      }
      *stack = nodes_[*stack].below;
    }
    return true;
  }

  // The instruction at `offset`; a call leaves `result` (a CallShape result). `next` receives
  // the instruction after it where that is reached for the first time, else kNoNext.
  [[gnu::always_inline]] bool Step(u32 offset, Opcode op, i32 result, u32* next) {
    *next = kNoNext;
    const StepRule& rule = kStepRules.of[u8(op)];
    const u8* operands = code_ + offset + 1;
    u32 stack = StackOf(state_[offset]);
    u32 owned = OwnedOf(state_[offset]);
    const u32 depth = nodes_[stack].depth;
    switch (rule.form) {
      case Form::kTable: {
        const u32 cls = strict_ && rule.namesClass ? ClassLeft(op, operands, stack) : 0;
        if (depth < rule.reads) return Fail(offset, "stack underflow");
        for (u32 i = 0; i < rule.reads; ++i) {
          const Node& word = nodes_[stack];
          if ((rule.referenceReads >> i & 1) != 0 && word.kind == kValueWord) {
            return Fail(offset, "a value where a reference belongs");
          }
          stack = word.below;
        }
        for (u32 i = 0; i < rule.leaves; ++i) stack = Push(stack, rule.leftKinds[i], cls);
        break;
      }
      case Form::kPushc:
        stack = Push(stack, ByteOrder::LoadLE32(operands) == 0 ? kZeroWord : kValueWord);
        break;
      case Form::kCall: {
        const u32 arguments = ArgumentWords(offset);
        result_[offset] = static_cast<i8>(result);
        if (depth < arguments) return Fail(offset, "stack underflow");
        const CallTarget target = Target(offset);
        if (!ArgumentsAgree(offset, target.shape, stack)) {
          return Fail(offset, "arguments of other kinds than the called functions take");
        }
        if (!Pop(offset, &stack, arguments - 1, nullptr) || !Pop(offset, &stack, 1, "R")) {
          return false;
        }
        if (result != kNoResult) {
          stack = Push(stack, result == kReferenceResult ? kReferenceWord : kValueWord,
                       strict_ ? target.resultClass : 0);
        }
        break;
      }
      case Form::kSwap: {
        if (depth < 2) return Fail(offset, "stack underflow");
        const Node top = nodes_[stack];
        const Node second = nodes_[top.below];
        stack = Push(Push(second.below, top.kind, top.cls), second.kind, second.cls);
        break;
      }
      case Form::kSlot: {
        // Loads and stores: a reference slot holds a count, which only the reference forms may
        // take or replace; a plain load of it leaves an uncounted copy, a value.
        const u32 slot = ByteOrder::LoadLE16(operands);
        const u8 kind = t_.slotKinds[slot];
        const bool reference =
            op == Opcode::kLoadr || op == Opcode::kStorer || op == Opcode::kStorerk;
        if (op == Opcode::kLoad) {
          // A count parked here comes back out with the word; a reference slot keeps its own.
          const bool parked = kind == kValueWord && owned != 0 && Holds(owned, slot);
          stack = Push(stack, parked ? kReferenceWord : kValueWord);
          owned = WithSlot(owned, slot, false);
        } else if (reference != (kind == kReferenceWord)) {
          return Fail(offset, reference ? "a reference instruction on a value slot"
                                        : "a value stored into a reference slot");
        } else if (op == Opcode::kLoadr) {
          const u32 held = t_.slotClasses[slot];
          stack =
              Push(stack, kReferenceWord, held == kMixedClass || held == kUnsetClass ? 0 : held);
        } else {
          const u8 stored = nodes_[stack].kind;
          const u32 storedClass = nodes_[stack].cls;
          if (!Pop(offset, &stack, 1, reference ? "R" : "V")) return false;
          if (reference && strict_ && stored != kZeroWord) {
            u32& held = t_.slotClasses[slot];
            held = held == kUnsetClass || held == storedClass ? storedClass : kMixedClass;
          }
          if (op == Opcode::kStorek || op == Opcode::kStorerk) {
            stack = Push(stack, stored, storedClass);  // the count stays with the stack's word
          } else if (!reference) {
            owned = WithSlot(owned, slot, stored == kReferenceWord);
          }
          if (op == Opcode::kStorek) owned = WithSlot(owned, slot, false);
        }
        break;
      }
      case Form::kWait:
        break;
    }
    switch (rule.flow) {
      case Flow::kNext:
        return Reach(offset, offset + kFixedLengths.of[code_[offset]], stack, owned, next);
      case Flow::kTargetAndNext:
        return Reach(offset, ByteOrder::LoadLE32(operands), stack, owned) &&
               Reach(offset, offset + kFixedLengths.of[code_[offset]], stack, owned, next);
      case Flow::kJump:
        return Reach(offset, ByteOrder::LoadLE32(operands), stack, owned);
      case Flow::kReturn:
        if (op == Opcode::kRet) {
          if (f_.header.returnType != 0) return Fail(offset, "return without its value");
          if (depth != 0) return Fail(offset, "unbalanced return");
          return true;
        }
        if (ResultKindOf(f_.header.returnType) !=
            (op == Opcode::kRetv ? kValueResult : kReferenceResult)) {
          return Fail(offset, "return of another kind than the function's");
        }
        if (depth != 1) return Fail(offset, "unbalanced return");
        return true;
      case Flow::kSwitch: {
        const u32 n = ByteOrder::LoadLE16(operands);
        const u8* list = operands + 2 + n * 4;
        for (u32 i = 0; i <= n; ++i) {
          if (!Reach(offset, ByteOrder::LoadLE32(list + i * 4), stack, owned)) return false;
        }
        return true;
      }
      case Flow::kWait: {
        // The thread resumes only at a target, with the message object pushed.
        const u32 n = ByteOrder::LoadLE16(operands);
        const u32 message = Push(stack, kReferenceWord);
        for (u32 i = 0; i < n; ++i) {
          if (!Reach(offset, ByteOrder::LoadLE32(operands + 2 + n * 4 + i * 4), message, owned)) {
            return false;
          }
        }
        return true;
      }
    }
    return false;
  }

  const GSByteCode::FunctionRecord& f_;
  const u8* const code_;
  const u32 codeLength_;
  const VerifierLimits& limits_;
  std::string* error_;
  bool strict_;
  Tables& t_;
  Node* nodes_ = nullptr;  // t_.nodes, moved only by NewNode
  // Per instruction offset; their sizes stay put during the walk.
  u64* state_;
  i8* result_;
  mutable u32 cachedOffset_ = ~0u;  // the last call looked up, in the state it was looked up
  mutable u64 cachedState_ = kNoState;
  mutable CallTarget cached_;
  i64 maxDepth_ = 0;
  u64 steps_ = 0;
  u64 budget_ = 0;
  u32 branches_ = 0;
};

}  // namespace

bool VerifyFunctionCode(const GSByteCode::FunctionRecord& function, const VerifierLimits& limits,
                        std::string* error, std::vector<CallSite>* sites,
                        VerifierWorkspace* workspace) {
  if (workspace == nullptr) {
    VerifierWorkspace own;
    return VerifyFunctionCode(function, limits, error, sites, &own);
  }
  VerifierWorkspace::Tables& tables = workspace->Contents();
  const u8* code = function.code;
  const u32 length = function.codeLength;
  const u32 frameWords = function.header.frameWords;
  // A local slot lies inside both the function's locals and its frame.
  const u64 slots = std::min<u64>(LocalSlotCount(function.header), frameWords);
  // Where instructions start. Targets are checked once all starts are known.
  std::vector<u64>& state = tables.state;
  std::vector<std::pair<u32, u32>>& targets = tables.targets;
  state.assign(length, kInside);
  targets.clear();
  tables.calls.clear();
  u32 offset = 0;
  u32 last = 0;
  while (offset < length) {
    const u32 size = LengthAt(code, length, offset);
    if (size == 0) {
      return Fail(error, offset,
                  GSByteCode::FindOpcode(code[offset]) ? "operands past the code" : "bad opcode");
    }
    state[offset] = kNoState;
    const Opcode op = static_cast<Opcode>(code[offset]);
    const u8* operands = code + offset + 1;
    const Check check = kChecks.of[code[offset]];
    if (check == Check::kNone) {  // most instructions
      last = offset;
      offset += size;
      continue;
    }
    switch (check) {
      case Check::kNone:
        break;
      case Check::kLocal:
        if (ByteOrder::LoadLE16(operands) >= slots) return Fail(error, offset, "bad slot");
        break;
      case Check::kString:
        if (ByteOrder::LoadLE16(operands) >= limits.strings) {
          return Fail(error, offset, "bad string index");
        }
        break;
      case Check::kClass:
        if (ByteOrder::LoadLE16(operands) >= limits.classReferences) {
          return Fail(error, offset, "bad class index");
        }
        break;
      case Check::kMeField: {
        const u32 value = ByteOrder::LoadLE16(operands);
        if (value >= limits.memberWords) return Fail(error, offset, "bad field");
        // Only fields: the view's own words are not the code's to write. A reference field
        // holds a count, which only the reference forms may take or replace; a plain read
        // of it is a plain copy.
        const u8 kind = limits.memberKinds == nullptr        ? 1
                        : value < limits.memberKinds->size() ? (*limits.memberKinds)[value]
                                                             : 0;
        if (kind == 0) return Fail(error, offset, "bad field");
        const bool referenceField = kind == 2;
        const bool referenceForm =
            op == Opcode::kGetmfr || op == Opcode::kSetmfr || op == Opcode::kSetmfrk;
        if (op != Opcode::kGetmf && referenceForm != referenceField) {
          return Fail(error, offset, "field of another kind");
        }
        break;
      }
      case Check::kTarget:
        targets.emplace_back(offset, ByteOrder::LoadLE32(operands));
        break;
      case Check::kCall: {
        if (IsCall(op)) tables.calls.push_back(offset);
        // The object lies at or below the stack top, inside the frame's words.
        const i16 slot = static_cast<i16>(ByteOrder::LoadLE16(operands));
        if (slot > 0 || u32(-i32(slot)) >= frameWords) return Fail(error, offset, "bad call slot");
        if (op != Opcode::kCalli && ByteOrder::LoadLE16(operands + 2) >= limits.methods) {
          return Fail(error, offset, "bad method index");
        }
        break;
      }
      case Check::kSwitch: {
        const u32 n = ByteOrder::LoadLE16(operands);
        const u8* list = operands + 2 + n * 4;
        for (u32 i = 0; i <= n; ++i)
          targets.emplace_back(offset, ByteOrder::LoadLE32(list + i * 4));
        break;
      }
      case Check::kWait: {
        const u32 n = ByteOrder::LoadLE16(operands);
        for (u32 i = 0; i < n; ++i) {
          if (ByteOrder::LoadLE16(operands + 2 + i * 4) >= limits.strings ||
              ByteOrder::LoadLE16(operands + 4 + i * 4) >= limits.strings) {
            return Fail(error, offset, "bad message string");
          }
          targets.emplace_back(offset, ByteOrder::LoadLE32(operands + 2 + n * 4 + i * 4));
        }
        break;
      }
    }
    last = offset;
    offset += size;
  }
  // The interpreter reads no end marker: code must not run on past its last byte.
  if (length != 0) {
    const Opcode op = static_cast<Opcode>(code[last]);
    if (op != Opcode::kRet && op != Opcode::kRetv && op != Opcode::kRetvr && op != Opcode::kJmp &&
        op != Opcode::kSwitch) {
      return Fail(error, last, "code runs past its end");
    }
  }
  for (const auto& [from, target] : targets) {
    if (target >= length || state[target] == kInside) return Fail(error, from, "bad jump target");
  }
  // The strict walk decides undecided calls as their arguments' takers expect; code it refuses
  // (a call that passes what the library's functions at its slot do not take may yet meet
  // another function there at run time) is walked as before, the run-time check being the
  // judge.
  if (StackWalk(function, limits, error, true, tables).Run(sites)) return true;
  for (u64& at : state) {
    if (at != kInside) at = kNoState;
  }
  return StackWalk(function, limits, error, false, tables).Run(sites);
}

}  // namespace GSRuntime
