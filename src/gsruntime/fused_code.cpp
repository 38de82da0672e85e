#include "gsruntime/fused_code.h"

#include <algorithm>
#include <vector>

#include "platform/byte_order.h"

namespace GSRuntime {

namespace {

using GSByteCode::Opcode;
using GSByteCode::OperandLayout;

// One run: its opcodes in order (LT standing for any condition); `sameSlotAt`, when not 0, is
// the instruction whose operand must agree with the first's. A run with a condition may have a
// form of its own for LT, `whenLess`, with the condition's instruction at `conditionAt`.
struct Run {
  FusedOpcode fused;
  Opcode parts[6];
  u8 count;
  u8 sameSlotAt;
  FusedOpcode whenLess = FusedOpcode{0};
  u8 conditionAt = 0;
};

// Longer runs first, so that a run is not cut short by a shorter one it begins with.
constexpr Run kRuns[] = {
    {FusedOpcode::kLoadLoadrLoadAgetAddStore, {Opcode::kLoad, Opcode::kLoadr, Opcode::kLoad, Opcode::kAget, Opcode::kAdd, Opcode::kStore}, 6, 0},
    {FusedOpcode::kLoadLoadrAsizeCmpJz, {Opcode::kLoad, Opcode::kLoadr, Opcode::kAsize, Opcode::kCmp, Opcode::kLt, Opcode::kJz}, 6, 0},
    {FusedOpcode::kLoadLoadCmpJz, {Opcode::kLoad, Opcode::kLoad, Opcode::kCmp, Opcode::kLt, Opcode::kJz}, 5, 0, FusedOpcode::kLoadLoadLtJz, 3},
    {FusedOpcode::kLoadConstCmpJz, {Opcode::kLoad, Opcode::kPushc, Opcode::kCmp, Opcode::kLt, Opcode::kJz}, 5, 0, FusedOpcode::kLoadConstLtJz, 3},
    {FusedOpcode::kLoadrLoadLoadAset, {Opcode::kLoadr, Opcode::kLoad, Opcode::kLoad, Opcode::kAset}, 4, 0},
    {FusedOpcode::kLoadLoadAddStore, {Opcode::kLoad, Opcode::kLoad, Opcode::kAdd, Opcode::kStore}, 4, 0},
    {FusedOpcode::kLoadIncStoreJmp, {Opcode::kLoad, Opcode::kInc, Opcode::kStore, Opcode::kJmp}, 4, 2},
    {FusedOpcode::kCmpJz, {Opcode::kCmp, Opcode::kLt, Opcode::kJz}, 3, 0},
    {FusedOpcode::kLoadLoadAdd, {Opcode::kLoad, Opcode::kLoad, Opcode::kAdd}, 3, 0},
    {FusedOpcode::kLoadConstAdd, {Opcode::kLoad, Opcode::kPushc, Opcode::kAdd}, 3, 0},
    {FusedOpcode::kLoadConstSub, {Opcode::kLoad, Opcode::kPushc, Opcode::kSub}, 3, 0},
    {FusedOpcode::kLoadIncStore, {Opcode::kLoad, Opcode::kInc, Opcode::kStore}, 3, 2},
    {FusedOpcode::kLoadrLoadAget, {Opcode::kLoadr, Opcode::kLoad, Opcode::kAget}, 3, 0},
    {FusedOpcode::kLoadrAsize, {Opcode::kLoadr, Opcode::kAsize}, 2, 0},
    {FusedOpcode::kLoadRetv, {Opcode::kLoad, Opcode::kRetv}, 2, 0},
    {FusedOpcode::kAddRetv, {Opcode::kAdd, Opcode::kRetv}, 2, 0},
};

// Bytes of an instruction whose size does not depend on its operands; -1 for a switch or
// a wait, which count their own; 0 for bytes that are no instruction.
constexpr auto kFixedSizes = [] {
  struct Table {
    i8 size[256];
  } table{};
  using L = GSByteCode::OperandLayout;
  constexpr L kLayouts[] = {
#define GS_OPCODE_LAYOUT(name, number, mnemonic, operands, effect, inputs) L::operands,
      GS_OPCODE_LIST(GS_OPCODE_LAYOUT)
#undef GS_OPCODE_LAYOUT
  };
  for (u32 op = 0; op < GSByteCode::kOpcodeCount; ++op) {
    const i32 operands = GSByteCode::FixedOperandBytes(kLayouts[op]);
    table.size[op] = operands < 0 ? i8(-1) : i8(1 + operands);
  }
  return table;
}();

// A window's opcodes as one word, a byte each, the first lowest; every condition reads as LT,
// the one a run's pattern names, so that one comparison covers them all.
constexpr auto kWindowBytes = [] {
  struct Table {
    u8 byte[256];
  } table{};
  for (u32 op = 0; op < 256; ++op) {
    table.byte[op] = ConditionMask(u8(op)) != 0 ? u8(Opcode::kLt) : u8(op);
  }
  return table;
}();

struct Pattern {
  u64 bytes;
  u64 mask;
};
constexpr Pattern PatternOf(const Run& run) {
  Pattern pattern{0, 0};
  for (u8 i = 0; i < run.count; ++i) {
    pattern.bytes |= u64(u8(run.parts[i])) << (8 * i);
    pattern.mask |= u64(0xFF) << (8 * i);
  }
  return pattern;
}
constexpr u32 kRunCount = sizeof(kRuns) / sizeof(kRuns[0]);
constexpr auto kPatterns = [] {
  struct Table {
    Pattern of[kRunCount];
  } table{};
  for (u32 r = 0; r < kRunCount; ++r) table.of[r] = PatternOf(kRuns[r]);
  return table;
}();
static_assert(kRunCount <= 16, "a run's bit in an opcode's candidate set");

// Which runs can begin with each opcode, so that most instructions are passed over at once.
constexpr auto kFirstOpcodeIndex = [] {
  struct Table {
    u16 runs[256];
  } table{};
  for (u32 r = 0; r < kRunCount; ++r) table.runs[u8(kRuns[r].parts[0])] |= u16(1u << r);
  return table;
}();

u32 SizeAt(const u8* code, u32 length, u32 offset) {
  const i8 fixed = kFixedSizes.size[code[offset]];
  if (fixed > 0) return length - offset >= u32(fixed) ? u32(fixed) : 0;
  return fixed == 0 ? 0 : GSByteCode::InstructionLength(code, length, offset);
}

// Where the `me` that a LOADR 0 at instruction `first` pushes is taken as a call's object with
// nothing in between reading it, being jumped to or leaving the line: that CALL's instruction
// number, or 0. `targets` marks every offset a jump, switch or wait may enter.
u32 CallOnMe(const u8* code, const std::vector<u32>& starts, const std::vector<bool>& targets,
             u32 first) {
  constexpr u32 kFarthest = 24;  // instructions looked at past the LOADR
  i32 above = 0;                 // words pushed above `me`
  for (u32 i = first + 1; i < starts.size() && i <= first + kFarthest; ++i) {
    const u8* at = code + starts[i];
    if (targets[starts[i]]) return 0;
    const auto op = static_cast<Opcode>(*at);
    if (op == Opcode::kCall) {
      return i16(ByteOrder::LoadLE16(at + 1)) == -above ? i : 0;
    }
    const GSByteCode::OpcodeInfo* info = GSByteCode::FindOpcode(*at);
    const bool plain = info->operands == OperandLayout::kNone ||
                       info->operands == OperandLayout::kI32 ||
                       info->operands == OperandLayout::kU16;
    if (!plain || op == Opcode::kRet || op == Opcode::kRetv || op == Opcode::kRetvr ||
        info->stackInputs > above) {
      return 0;
    }
    above += info->stackEffect;
    if (above < 0) return 0;
  }
  return 0;
}

}  // namespace

void FuseCode(const GSByteCode::FunctionRecord& record) {
  // The image buffer the record points into is the library's own, writable copy.
  u8* code = const_cast<u8*>(record.code);
  const u32 length = record.codeLength;
  if (code == nullptr) return;
  // Every instruction's offset and every offset control may enter other than by falling
  // through, all found before any byte is rewritten. Kept from one function to the next: a
  // library's functions are fused one after another.
  thread_local std::vector<u32> starts;
  thread_local std::vector<bool> targets;
  thread_local std::vector<u32> onMe;
  starts.clear();
  targets.assign(length + 1, false);
  onMe.clear();
  bool whole = true;  // false for code already fused, whose jumps are not all known
  for (u32 offset = 0; offset < length;) {
    const u32 size = SizeAt(code, length, offset);
    if (size == 0) {
      whole = false;
      break;
    }
    starts.push_back(offset);
    if (kFixedSizes.size[code[offset]] != 1) {
      const u8* operands = code + offset + 1;
      auto mark = [&](u32 target) {
        if (target <= length) targets[target] = true;
      };
      switch (GSByteCode::FindOpcode(code[offset])->operands) {
        case OperandLayout::kTarget:
          mark(ByteOrder::LoadLE32(operands));
          break;
        case OperandLayout::kSwitch: {
          const u32 n = ByteOrder::LoadLE16(operands);
          for (u32 i = 0; i <= n; ++i) mark(ByteOrder::LoadLE32(operands + 2 + n * 4 + i * 4));
          break;
        }
        case OperandLayout::kWait: {
          const u32 n = ByteOrder::LoadLE16(operands);
          for (u32 i = 0; i < n; ++i) mark(ByteOrder::LoadLE32(operands + 2 + n * 4 + i * 4));
          break;
        }
        default:
          break;
      }
    }
    offset += size;
  }
  // The calls on `me`, chosen from the unchanged code and written after the runs below.
  for (u32 i = 0; whole && i < starts.size(); ++i) {
    const u8* at = code + starts[i];
    if (*at != u8(Opcode::kLoadr) || ByteOrder::LoadLE16(at + 1) != 0) continue;
    if (const u32 call = CallOnMe(code, starts, targets, i)) {
      onMe.push_back(i);
      onMe.push_back(call);
    }
  }
  // The next instructions' opcodes as window bytes, read before any of them is rewritten: a run
  // is rewritten only at its first instruction, the window's oldest.
  constexpr u32 kLongestRun = 6;
  const u32 count = static_cast<u32>(starts.size());
  u64 window = 0;
  for (u32 k = 0; k < kLongestRun && k < count; ++k) {
    window |= u64(kWindowBytes.byte[code[starts[k]]]) << (8 * k);
  }
  for (u32 i = 0; i < count; ++i) {
    const u32 available = std::min(kLongestRun, count - i);
    for (u32 candidates = kFirstOpcodeIndex.runs[code[starts[i]]]; candidates != 0;
         candidates &= candidates - 1) {
      const u32 r = u32(__builtin_ctz(candidates));
      const Run& run = kRuns[r];
      if (available < run.count || (window & kPatterns.of[r].mask) != kPatterns.of[r].bytes) {
        continue;
      }
      if (run.sameSlotAt != 0 && ByteOrder::LoadLE16(code + starts[i] + 1) !=
                                     ByteOrder::LoadLE16(code + starts[i + run.sameSlotAt] + 1)) {
        continue;
      }
      const bool less =
          run.conditionAt != 0 && code[starts[i + run.conditionAt]] == u8(Opcode::kLt);
      code[starts[i]] = u8(less ? run.whenLess : run.fused);
      break;
    }
    window >>= 8;
    if (i + kLongestRun < count) {
      window |= u64(kWindowBytes.byte[code[starts[i + kLongestRun]]]) << (8 * (kLongestRun - 1));
    }
  }
  for (size_t i = 0; i < onMe.size(); i += 2) {
    const u32 load = onMe[i];
    const u32 call = onMe[i + 1];
    // The SUB of a LOAD; PUSHC; SUB run right before the CALL: the call's only argument.
    const bool step =
        call == load + 4 && code[starts[load + 1]] == u8(FusedOpcode::kLoadConstSub);
    code[starts[load]] = u8(step ? FusedOpcode::kLoadMeLoadConstSubCall : FusedOpcode::kLoadMe);
    code[starts[call]] = u8(FusedOpcode::kCallMe);
  }
}

}  // namespace GSRuntime
