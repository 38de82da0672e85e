#include "gsruntime/fused_code.h"

#include "platform/byte_order.h"

namespace GSRuntime {

namespace {

using GSByteCode::Opcode;

// One run: its opcodes in order (LT standing for any condition); `sameSlot` asks that the first
// and last operands agree.
struct Run {
  FusedOpcode fused;
  Opcode parts[5];
  u8 count;
  bool sameSlot;
};

// Longer runs first, so that a run is not cut short by a shorter one it begins with.
constexpr Run kRuns[] = {
    {FusedOpcode::kLoadLoadCmpJz, {Opcode::kLoad, Opcode::kLoad, Opcode::kCmp, Opcode::kLt, Opcode::kJz}, 5, false},
    {FusedOpcode::kLoadConstCmpJz, {Opcode::kLoad, Opcode::kPushc, Opcode::kCmp, Opcode::kLt, Opcode::kJz}, 5, false},
    {FusedOpcode::kLoadrLoadLoadAset, {Opcode::kLoadr, Opcode::kLoad, Opcode::kLoad, Opcode::kAset}, 4, false},
    {FusedOpcode::kCmpJz, {Opcode::kCmp, Opcode::kLt, Opcode::kJz}, 3, false},
    {FusedOpcode::kLoadLoadAdd, {Opcode::kLoad, Opcode::kLoad, Opcode::kAdd}, 3, false},
    {FusedOpcode::kLoadConstAdd, {Opcode::kLoad, Opcode::kPushc, Opcode::kAdd}, 3, false},
    {FusedOpcode::kLoadConstSub, {Opcode::kLoad, Opcode::kPushc, Opcode::kSub}, 3, false},
    {FusedOpcode::kLoadIncStore, {Opcode::kLoad, Opcode::kInc, Opcode::kStore}, 3, true},
    {FusedOpcode::kLoadrLoadAget, {Opcode::kLoadr, Opcode::kLoad, Opcode::kAget}, 3, false},
    {FusedOpcode::kLoadrAsize, {Opcode::kLoadr, Opcode::kAsize}, 2, false},
    {FusedOpcode::kLoadRetv, {Opcode::kLoad, Opcode::kRetv}, 2, false},
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
    switch (kLayouts[op]) {
      case L::kNone:
        table.size[op] = 1;
        break;
      case L::kU16:
      case L::kSlot:
        table.size[op] = 3;
        break;
      case L::kI32:
      case L::kTarget:
      case L::kCall:
        table.size[op] = 5;
        break;
      case L::kSwitch:
      case L::kWait:
        table.size[op] = -1;
        break;
    }
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

}  // namespace

void FuseCode(const GSByteCode::FunctionRecord& record) {
  // The image buffer the record points into is the library's own, writable copy.
  u8* code = const_cast<u8*>(record.code);
  const u32 length = record.codeLength;
  if (code == nullptr) return;
  constexpr u32 kLongestRun = 5;
  // The next instructions' offsets and opcodes (as window bytes), found before any byte of them
  // is rewritten; a run is rewritten only at its first instruction, the window's oldest.
  u32 starts[kLongestRun];
  u64 window = 0;
  u32 known = 0;
  u32 offset = 0;
  while (offset < length || known > 0) {
    while (known < kLongestRun && offset < length) {
      const u32 size = SizeAt(code, length, offset);
      if (size == 0) return;
      starts[known] = offset;
      window |= u64(kWindowBytes.byte[code[offset]]) << (8 * known);
      ++known;
      offset += size;
    }
    for (u32 candidates = kFirstOpcodeIndex.runs[code[starts[0]]]; candidates != 0;
         candidates &= candidates - 1) {
      const u32 r = u32(__builtin_ctz(candidates));
      const Run& run = kRuns[r];
      if (known < run.count || (window & kPatterns.of[r].mask) != kPatterns.of[r].bytes) continue;
      if (run.sameSlot && ByteOrder::LoadLE16(code + starts[0] + 1) !=
                              ByteOrder::LoadLE16(code + starts[run.count - 1] + 1)) {
        continue;
      }
      code[starts[0]] = u8(run.fused);
      break;
    }
    for (u32 i = 1; i < known; ++i) starts[i - 1] = starts[i];
    window >>= 8;
    --known;
  }
}

}  // namespace GSRuntime
