#include "gsruntime/fused_code.h"

#include "platform/byte_order.h"

namespace GSRuntime {

namespace {

using GSByteCode::Opcode;

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

}  // namespace

void FuseCode(const GSByteCode::FunctionRecord& record) {
  // The image buffer the record points into is the library's own, writable copy.
  u8* code = const_cast<u8*>(record.code);
  const u32 length = record.codeLength;
  if (code == nullptr) return;
  constexpr u32 kLongestRun = 5;
  // The next instructions' offsets, found before any byte of them is rewritten.
  u32 starts[kLongestRun];
  u32 known = 0;
  u32 offset = 0;
  while (offset < length || known > 0) {
    while (known < kLongestRun && offset < length) {
      const u32 size = GSByteCode::InstructionLength(code, length, offset);
      if (size == 0) return;
      starts[known++] = offset;
      offset += size;
    }
    for (const Run& run : kRuns) {
      if (Matches(run, code, starts, known)) {
        code[starts[0]] = u8(run.fused);
        break;
      }
    }
    for (u32 i = 1; i < known; ++i) starts[i - 1] = starts[i];
    --known;
  }
}

}  // namespace GSRuntime
