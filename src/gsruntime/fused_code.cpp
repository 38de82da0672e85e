#include "gsruntime/fused_code.h"

#include <algorithm>
#include <vector>

#include "platform/byte_order.h"

namespace GSRuntime {

namespace {

using GSByteCode::Opcode;
using GSByteCode::OperandLayout;

// One run: its opcodes in order; `sameSlot` asks that the first and last operands agree.
struct Run {
  FusedOpcode fused;
  Opcode parts[5];
  u8 count;
  bool conditional;  // the opcode before the last is a condition
  bool sameSlot;
};

// Longer runs first, so that a run is not cut short by a shorter one it begins with.
constexpr Run kRuns[] = {
    {FusedOpcode::kLoadLoadCmpJz, {Opcode::kLoad, Opcode::kLoad, Opcode::kCmp, Opcode::kLt, Opcode::kJz}, 5, true, false},
    {FusedOpcode::kLoadConstCmpJz, {Opcode::kLoad, Opcode::kPushc, Opcode::kCmp, Opcode::kLt, Opcode::kJz}, 5, true, false},
    {FusedOpcode::kLoadrLoadLoadAset, {Opcode::kLoadr, Opcode::kLoad, Opcode::kLoad, Opcode::kAset}, 4, false, false},
    {FusedOpcode::kCmpJz, {Opcode::kCmp, Opcode::kLt, Opcode::kJz}, 3, true, false},
    {FusedOpcode::kLoadLoadAdd, {Opcode::kLoad, Opcode::kLoad, Opcode::kAdd}, 3, false, false},
    {FusedOpcode::kLoadConstAdd, {Opcode::kLoad, Opcode::kPushc, Opcode::kAdd}, 3, false, false},
    {FusedOpcode::kLoadConstSub, {Opcode::kLoad, Opcode::kPushc, Opcode::kSub}, 3, false, false},
    {FusedOpcode::kLoadIncStore, {Opcode::kLoad, Opcode::kInc, Opcode::kStore}, 3, false, true},
    {FusedOpcode::kLoadrLoadAget, {Opcode::kLoadr, Opcode::kLoad, Opcode::kAget}, 3, false, false},
    {FusedOpcode::kLoadrAsize, {Opcode::kLoadr, Opcode::kAsize}, 2, false, false},
    {FusedOpcode::kLoadRetv, {Opcode::kLoad, Opcode::kRetv}, 2, false, false},
};

bool Matches(const Run& run, const u8* code, const u32* starts, u32 available) {
  if (available < run.count) return false;
  for (u8 i = 0; i < run.count; ++i) {
    const u8 op = code[starts[i]];
    const bool condition = run.conditional && i + 2 == run.count;
    if (condition ? ConditionMask(op) == 0 : op != u8(run.parts[i])) return false;
  }
  return !run.sameSlot || ByteOrder::LoadLE16(code + starts[0] + 1) ==
                              ByteOrder::LoadLE16(code + starts[run.count - 1] + 1);
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
  // through, all found before any byte is rewritten.
  std::vector<u32> starts;
  std::vector<bool> targets(length + 1, false);
  bool whole = true;  // false for code already fused, whose jumps are not all known
  for (u32 offset = 0; offset < length;) {
    const u32 size = GSByteCode::InstructionLength(code, length, offset);
    if (size == 0) {
      whole = false;
      break;
    }
    starts.push_back(offset);
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
    offset += size;
  }
  // The calls on `me`, chosen from the unchanged code and written after the runs below.
  std::vector<u32> onMe;
  for (u32 i = 0; whole && i < starts.size(); ++i) {
    const u8* at = code + starts[i];
    if (*at != u8(Opcode::kLoadr) || ByteOrder::LoadLE16(at + 1) != 0) continue;
    if (const u32 call = CallOnMe(code, starts, targets, i)) {
      onMe.push_back(i);
      onMe.push_back(call);
    }
  }
  constexpr u32 kLongestRun = 5;
  for (u32 i = 0; i < starts.size(); ++i) {
    const u32 available = std::min<u32>(kLongestRun, static_cast<u32>(starts.size()) - i);
    for (const Run& run : kRuns) {
      if (Matches(run, code, &starts[i], available)) {
        code[starts[i]] = u8(run.fused);
        break;
      }
    }
  }
  for (size_t i = 0; i < onMe.size(); i += 2) {
    code[starts[onMe[i]]] = u8(FusedOpcode::kLoadMe);
    code[starts[onMe[i + 1]]] = u8(FusedOpcode::kCallMe);
  }
}

}  // namespace GSRuntime
