#include "gsruntime/byte_code_verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_map>
#include <vector>

#include "gscommon/opcode_table.h"
#include "platform/byte_order.h"

namespace GSRuntime {

namespace {

using GSByteCode::Opcode;
using GSByteCode::OperandLayout;

bool Fail(std::string* error, u32 offset, const char* what) {
  if (error != nullptr) {
    char line[96];
    std::snprintf(line, sizeof line, "code offset %u: %s", offset, what);
    *error = line;
  }
  return false;
}

// What a u16 operand indexes.
enum class Index { kLocal, kString, kClass, kMeField, kObjectField, kNone };

Index IndexOf(Opcode op) {
  switch (op) {
    case Opcode::kLoad:
    case Opcode::kLoadr:
    case Opcode::kStore:
    case Opcode::kStorek:
    case Opcode::kStorer:
    case Opcode::kStorerk:
      return Index::kLocal;
    case Opcode::kPushs:
      return Index::kString;
    case Opcode::kIsclass:
    case Opcode::kNew:
    case Opcode::kStatic:
    case Opcode::kCast:
      return Index::kClass;
    case Opcode::kGetmf:
    case Opcode::kGetmfr:
    case Opcode::kSetmf:
    case Opcode::kSetmfr:
    case Opcode::kSetmfk:
    case Opcode::kSetmfrk:
      return Index::kMeField;
    case Opcode::kGetf:
    case Opcode::kGetfr:
    case Opcode::kSetf:
    case Opcode::kSetfk:
    case Opcode::kSetfr:
    case Opcode::kSetfrk:
      return Index::kObjectField;
    default:
      return Index::kNone;
  }
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
  CallShape shape;
  const u32 arguments = function.header.argumentWords;
  shape.argumentKinds.assign(arguments > 1 ? arguments - 1 : 0, kValueWord);
  for (u32 slot : function.referenceSlots) {
    if (slot >= 1 && slot < arguments) shape.argumentKinds[slot - 1] = kReferenceWord;
  }
  shape.result = ResultKindOf(function.header.returnType);
  return shape;
}

namespace {

bool IsCall(Opcode op) {
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

constexpr u64 kNoState = ~u64(0);
constexpr u32 kMaxOpenBranches = 1024;

u8 KindOf(char letter) {
  return letter == 'R' ? kReferenceWord : letter == 'N' ? kZeroWord : kValueWord;
}

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
  StackWalk(const GSByteCode::FunctionRecord& function, const VerifierLimits& limits,
            std::string* error, bool strict)
      : f_(function),
        limits_(limits),
        error_(error),
        strict_(strict),
        state_(function.codeLength, kNoState),
        result_(function.codeLength, -1) {
    const GSByteCode::FunctionRecordHeader& h = function.header;
    maxDepth_ = i64(h.frameWords) - i64(h.localWordsFirst) - h.localWordsSecond -
                GSByteCode::kFrameHeaderWords;
    nodes_.push_back({0, 0, 0, 0});  // the empty stack
    ownedSets_.emplace_back();    // no slot holds a count
    ownedIds_.emplace(std::vector<u32>{}, 0);
    slotKinds_.assign(LocalSlotCount(h), kValueWord);
    if (!slotKinds_.empty()) slotKinds_[0] = kReferenceWord;  // `me`
    // Arguments hold what the caller passed; locals what the code stores into them.
    slotClasses_.assign(slotKinds_.size(), kUnsetClass);
    for (size_t slot = 0; slot < h.argumentWords && slot < slotClasses_.size(); ++slot) {
      const std::vector<u32>* given = limits.argumentClasses;
      slotClasses_[slot] = slot == 0                                  ? limits.ownClass
                           : given != nullptr && slot < given->size() ? (*given)[slot]
                                                                      : 0;
    }
    for (u32 slot : function.referenceSlots) {
      if (slot < slotKinds_.size()) slotKinds_[slot] = kReferenceWord;
    }
    // Going back is bounded: code that needs more tries than this is refused.
    budget_ = u64(function.codeLength) * 16 + 4096;
  }

  bool Run(std::vector<CallSite>* sites) {
    if (sites != nullptr) sites->clear();
    if (f_.codeLength == 0) return true;
    if (maxDepth_ < 0) return Fail(0, "frame smaller than its locals");
    if (!Reach(0, 0, 0, 0) || !Walk()) return false;
    if (sites != nullptr) {
      for (u32 offset = 0; offset < f_.codeLength; ++offset) {
        if (result_[offset] >= 0) sites->push_back({offset, SiteShape(offset)});
      }
    }
    return true;
  }

 private:
  struct Node {
    u32 below;
    u32 depth;
    u8 kind;
    u32 cls;  // class tag of an object word, 0 unknown
  };
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

  u32 Push(u32 stack, u8 kind, u32 cls = 0) {
    if (!strict_ || kind != kReferenceWord || cls > kMaxClassTag) cls = 0;
    const u64 key = (u64(stack) << 32) | (u64(cls) << 2) | kind;
    const auto found = interned_.find(key);
    if (found != interned_.end()) return found->second;
    nodes_.push_back({stack, nodes_[stack].depth + 1, kind, cls});
    const u32 node = static_cast<u32>(nodes_.size() - 1);
    interned_.emplace(key, node);
    return node;
  }

  static u64 State(u32 stack, u32 owned) { return (u64(owned) << 32) | stack; }
  static u32 StackOf(u64 state) { return static_cast<u32>(state); }
  static u32 OwnedOf(u64 state) { return static_cast<u32>(state >> 32); }

  // The set of slots `owned` with `slot` added or taken out.
  u32 WithSlot(u32 owned, u32 slot, bool holds) {
    // Most loads and stores leave the set as it is: copy it only when it changes.
    const std::vector<u32>& current = ownedSets_[owned];
    const auto at = std::lower_bound(current.begin(), current.end(), slot);
    const bool has = at != current.end() && *at == slot;
    if (has == holds) return owned;
    std::vector<u32> set = current;
    const auto where = set.begin() + (at - current.begin());
    if (holds) {
      set.insert(where, slot);
    } else {
      set.erase(where);
    }
    const auto found = ownedIds_.find(set);
    if (found != ownedIds_.end()) return found->second;
    ownedSets_.push_back(set);
    const u32 id = static_cast<u32>(ownedSets_.size() - 1);
    ownedIds_.emplace(std::move(set), id);
    return id;
  }
  bool Holds(u32 owned, u32 slot) const {
    return std::binary_search(ownedSets_[owned].begin(), ownedSets_[owned].end(), slot);
  }

  bool Reach(u32 from, u32 target, u32 stack, u32 owned) {
    if (nodes_[stack].depth > maxDepth_) return Fail(from, "stack deeper than the frame allows");
    if (target >= f_.codeLength) return Fail(from, "code runs past its end");
    const u64 state = State(stack, owned);
    if (state_[target] == kNoState) {
      state_[target] = state;
      trail_.push_back(target);
      pending_.push_back(target);
    } else if (state_[target] != state &&
               (OwnedOf(state_[target]) != owned || !SameKinds(StackOf(state_[target]), stack))) {
      return Fail(target, nodes_[StackOf(state_[target])].depth != nodes_[stack].depth
                              ? "stack depths differ where paths meet"
                              : "references and values differ where paths meet");
    }
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
    if (limits_.callTarget == nullptr || static_cast<Opcode>(f_.code[offset]) == Opcode::kCalli) {
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
                                 ByteOrder::LoadLE16(f_.code + offset + 3), arguments);
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
    return u32(1 - i32(i16(ByteOrder::LoadLE16(f_.code + offset + 1))));
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
    while (!pending_.empty()) {
      const u32 offset = pending_.back();
      pending_.pop_back();
      if (++steps_ > budget_) return Fail(offset, "call results cannot be told");
      const Opcode op = static_cast<Opcode>(f_.code[offset]);
      if (!IsCall(op)) {
        if (!Step(offset, op, 0)) return false;
        continue;
      }
      const i32 known = CallResult(op, offset);
      if (known >= 0) {
        if (!Step(offset, op, known)) return false;
        continue;
      }
      if (!Branch(offset, op)) return false;
    }
    return true;
  }

  // Walks the rest each way from the undecided call at `offset`: a value first when the next
  // instruction reads a word, else none first.
  bool Branch(u32 offset, Opcode op) {
    const u32 next = offset + GSByteCode::InstructionLength(f_.code, f_.codeLength, offset);
    const GSByteCode::OpcodeInfo* after =
        next < f_.codeLength ? GSByteCode::FindOpcode(f_.code[next]) : nullptr;
    const bool reads = after != nullptr && after->stackInputs > 0;
    const i32 order[3] = {reads ? kValueResult : kNoResult, reads ? kReferenceResult : kValueResult,
                          reads ? kNoResult : kReferenceResult};
    // Each undecided call nests a walk: their number on one path is bounded like the tries.
    if (++branches_ > kMaxOpenBranches) return Fail(offset, "call results cannot be told");
    const size_t mark = trail_.size();
    const std::vector<u32> pending = pending_;
    std::string firstError;
    for (const i32 result : order) {
      if (Step(offset, op, result) && Walk()) {
        --branches_;
        return true;
      }
      if (steps_ > budget_) return false;
      if (result == order[0] && error_ != nullptr) firstError = *error_;
      for (size_t i = mark; i < trail_.size(); ++i) {
        state_[trail_[i]] = kNoState;
        result_[trail_[i]] = -1;
      }
      trail_.resize(mark);
      result_[offset] = -1;
      pending_ = pending;
    }
    if (error_ != nullptr) *error_ = firstError;
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

  // The instruction at `offset`; a call leaves `result` (a CallShape result).
  bool Step(u32 offset, Opcode op, i32 result) {
    const u8* code = f_.code;
    const GSByteCode::OpcodeInfo& info = *GSByteCode::FindOpcode(code[offset]);
    const u32 size = GSByteCode::InstructionLength(code, f_.codeLength, offset);
    const u8* operands = code + offset + 1;
    const KindRule& rule = kKindRules[code[offset]];
    u32 stack = StackOf(state_[offset]);
    u32 owned = OwnedOf(state_[offset]);
    if (op == Opcode::kPushc) {
      stack = Push(stack, ByteOrder::LoadLE32(operands) == 0 ? kZeroWord : kValueWord);
    } else if (rule.reads != nullptr) {
      const u32 cls = strict_ ? ClassLeft(op, operands, stack) : 0;
      if (!Pop(offset, &stack, u32(std::strlen(rule.reads)), rule.reads)) return false;
      for (const char* k = rule.leaves; *k != 0; ++k) stack = Push(stack, KindOf(*k), cls);
    } else if (IsCall(op)) {
      const u32 arguments = ArgumentWords(offset);
      result_[offset] = static_cast<i8>(result);
      if (nodes_[stack].depth < arguments) return Fail(offset, "stack underflow");
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
    } else if (op == Opcode::kSwap) {
      if (nodes_[stack].depth < 2) return Fail(offset, "stack underflow");
      const Node top = nodes_[stack];
      const Node second = nodes_[top.below];
      stack = Push(Push(second.below, top.kind, top.cls), second.kind, second.cls);
    } else if (op != Opcode::kWait) {
      // Loads and stores: a reference slot holds a count, which only the reference forms may
      // take or replace; a plain load of it leaves an uncounted copy, a value.
      const u32 slot = ByteOrder::LoadLE16(operands);
      const u8 kind = slotKinds_[slot];
      const bool reference =
          op == Opcode::kLoadr || op == Opcode::kStorer || op == Opcode::kStorerk;
      if (op == Opcode::kLoad) {
        // A count parked here comes back out with the word; a reference slot keeps its own.
        const bool parked = kind == kValueWord && Holds(owned, slot);
        stack = Push(stack, parked ? kReferenceWord : kValueWord);
        owned = WithSlot(owned, slot, false);
      } else if (reference != (kind == kReferenceWord)) {
        return Fail(offset, reference ? "a reference instruction on a value slot"
                                      : "a value stored into a reference slot");
      } else if (op == Opcode::kLoadr) {
        const u32 held = slotClasses_[slot];
        stack = Push(stack, kReferenceWord, held == kMixedClass || held == kUnsetClass ? 0 : held);
      } else {
        const u8 stored = nodes_[stack].kind;
        const u32 storedClass = nodes_[stack].cls;
        if (!Pop(offset, &stack, 1, reference ? "R" : "V")) return false;
        if (reference && strict_ && stored != kZeroWord) {
          u32& held = slotClasses_[slot];
          held = held == kUnsetClass || held == storedClass ? storedClass : kMixedClass;
        }
        if (op == Opcode::kStorek || op == Opcode::kStorerk) {
          stack = Push(stack, stored, storedClass);  // the count stays with the stack's word
        } else if (!reference) {
          owned = WithSlot(owned, slot, stored == kReferenceWord);
        }
        if (op == Opcode::kStorek) owned = WithSlot(owned, slot, false);
      }
    }
    const u32 depth = nodes_[StackOf(state_[offset])].depth;
    switch (op) {
      case Opcode::kRet:
        if (f_.header.returnType != 0) return Fail(offset, "return without its value");
        if (depth != 0) return Fail(offset, "unbalanced return");
        return true;
      case Opcode::kRetv:
      case Opcode::kRetvr:
        if (ResultKindOf(f_.header.returnType) !=
            (op == Opcode::kRetv ? kValueResult : kReferenceResult)) {
          return Fail(offset, "return of another kind than the function's");
        }
        if (depth != 1) return Fail(offset, "unbalanced return");
        return true;
      case Opcode::kJmp:
        return Reach(offset, ByteOrder::LoadLE32(operands), stack, owned);
      case Opcode::kSwitch: {
        const u32 n = ByteOrder::LoadLE16(operands);
        const u8* list = operands + 2 + n * 4;
        for (u32 i = 0; i <= n; ++i) {
          if (!Reach(offset, ByteOrder::LoadLE32(list + i * 4), stack, owned)) return false;
        }
        return true;
      }
      case Opcode::kWait: {
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
      default:
        break;
    }
    if (info.operands == OperandLayout::kTarget &&
        !Reach(offset, ByteOrder::LoadLE32(operands), stack, owned)) {
      return false;
    }
    return Reach(offset, offset + size, stack, owned);
  }

  const GSByteCode::FunctionRecord& f_;
  const VerifierLimits& limits_;
  std::string* error_;
  bool strict_;
  std::vector<u64> state_;  // per instruction start: its stack node and owned set, or kNoState
  std::vector<i8> result_;  // per call site: the result it was walked as leaving, or -1
  std::vector<u8> slotKinds_;
  mutable u32 cachedOffset_ = ~0u;  // the last call looked up, in the state it was looked up
  mutable u64 cachedState_ = kNoState;
  mutable CallTarget cached_;
  std::vector<u32> slotClasses_;  // class tag of the objects stored in each slot, or kMixedClass
  std::vector<Node> nodes_;
  std::unordered_map<u64, u32> interned_;
  std::vector<std::vector<u32>> ownedSets_;  // sorted slot numbers
  std::map<std::vector<u32>, u32> ownedIds_;
  std::vector<u32> pending_;
  std::vector<u32> trail_;  // offsets given a stack, in order, to go back over
  i64 maxDepth_ = 0;
  u64 steps_ = 0;
  u64 budget_ = 0;
  u32 branches_ = 0;
};

}  // namespace

bool VerifyFunctionCode(const GSByteCode::FunctionRecord& function, const VerifierLimits& limits,
                        std::string* error, std::vector<CallSite>* sites) {
  const u8* code = function.code;
  const u32 length = function.codeLength;
  const u64 locals = LocalSlotCount(function.header);
  const u32 frameWords = function.header.frameWords;
  // A bit per byte: set where an instruction starts. Targets are checked once all are known.
  std::vector<bool> starts(length, false);
  std::vector<std::pair<u32, u32>> targets;  // (instruction offset, target)
  u32 offset = 0;
  u32 last = 0;
  while (offset < length) {
    const u32 size = GSByteCode::InstructionLength(code, length, offset);
    if (size == 0) {
      return Fail(error, offset,
                  GSByteCode::FindOpcode(code[offset]) ? "operands past the code" : "bad opcode");
    }
    starts[offset] = true;
    const Opcode op = static_cast<Opcode>(code[offset]);
    const u8* operands = code + offset + 1;
    switch (GSByteCode::FindOpcode(code[offset])->operands) {
      case OperandLayout::kNone:
      case OperandLayout::kI32:
        break;
      case OperandLayout::kU16: {
        const u32 value = ByteOrder::LoadLE16(operands);
        switch (IndexOf(op)) {
          case Index::kLocal:
            if (value >= locals || value >= frameWords) return Fail(error, offset, "bad slot");
            break;
          case Index::kString:
            if (value >= limits.strings) return Fail(error, offset, "bad string index");
            break;
          case Index::kClass:
            if (value >= limits.classReferences) return Fail(error, offset, "bad class index");
            break;
          case Index::kMeField: {
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
          case Index::kObjectField:
          case Index::kNone:
            break;
        }
        break;
      }
      case OperandLayout::kTarget:
        targets.emplace_back(offset, ByteOrder::LoadLE32(operands));
        break;
      case OperandLayout::kCall:
      case OperandLayout::kSlot: {
        // The object lies at or below the stack top, inside the frame's words.
        const i16 slot = static_cast<i16>(ByteOrder::LoadLE16(operands));
        if (slot > 0 || u32(-i32(slot)) >= frameWords) return Fail(error, offset, "bad call slot");
        if (op != Opcode::kCalli && ByteOrder::LoadLE16(operands + 2) >= limits.methods) {
          return Fail(error, offset, "bad method index");
        }
        break;
      }
      case OperandLayout::kSwitch: {
        const u32 n = ByteOrder::LoadLE16(operands);
        const u8* list = operands + 2 + n * 4;
        for (u32 i = 0; i <= n; ++i)
          targets.emplace_back(offset, ByteOrder::LoadLE32(list + i * 4));
        break;
      }
      case OperandLayout::kWait: {
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
    if (target >= length || !starts[target]) return Fail(error, from, "bad jump target");
  }
  // The strict walk decides undecided calls as their arguments' takers expect; code it refuses
  // (a call that passes what the library's functions at its slot do not take may yet meet
  // another function there at run time) is walked as before, the run-time check being the
  // judge.
  if (StackWalk(function, limits, error, true).Run(sites)) return true;
  return StackWalk(function, limits, error, false).Run(sites);
}

}  // namespace GSRuntime
