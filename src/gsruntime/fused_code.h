// Fused instructions: after a library's code is verified, the first byte of some common runs of
// instructions (a compare and its branch, a two-operand sum of locals, `i++` and a loop's jump
// back, an array element read, write or sum through locals, a returned local or sum) is replaced
// by an opcode of the runtime's own that does the whole run in one dispatch. Only that byte changes: the run's other bytes, every offset and
// every jump target stay as the compiler wrote them, so a jump into the middle of a run, the
// line table, return offsets and the run budget (which counts code bytes between jumps) all see
// the code unchanged. A call on `me` likewise changes the first bytes of its LOADR and its CALL,
// and only where nothing can enter between them; when its one argument is a local less a
// constant, the LOADR's byte names the whole call. The library file is never written; these
// opcodes exist only in memory.
#pragma once

#include "gscommon/function_record.h"
#include "gscommon/opcode_table.h"
#include "qel/types.h"

namespace GSRuntime {

// Bytes no compiled instruction uses, far from the end of the opcode list.
enum class FusedOpcode : u8 {
  kLoadLoadCmpJz = 0xE0,   // LOAD a; LOAD b; CMP; cc; JZ t
  kLoadConstCmpJz = 0xE1,  // LOAD a; PUSHC k; CMP; cc; JZ t
  kCmpJz = 0xE2,           // CMP; cc; JZ t
  kLoadLoadAdd = 0xE3,     // LOAD a; LOAD b; ADD
  kLoadConstAdd = 0xE4,    // LOAD a; PUSHC k; ADD
  kLoadConstSub = 0xE5,    // LOAD a; PUSHC k; SUB
  kLoadIncStore = 0xE6,    // LOAD a; INC; STORE a
  kLoadrLoadAget = 0xE7,   // LOADR a; LOAD i; AGET
  kLoadrLoadLoadAset = 0xE8,  // LOADR a; LOAD i; LOAD v; ASET
  kLoadrAsize = 0xE9,      // LOADR a; ASIZE
  kLoadRetv = 0xEA,        // LOAD a; RETV
  // A call on the caller's own `me`: LOADR 0 pushes it without a count and the CALL that takes
  // it as its object enters a frame that borrows it (GSStack::kBorrowedMe). Paired only where
  // the words between them are pushed and popped in one straight line above `me`.
  kLoadMe = 0xEB,  // LOADR 0
  kCallMe = 0xEC,  // CALL on the word kLoadMe pushed
  kLoadLoadAddStore = 0xED,     // LOAD a; LOAD b; ADD; STORE c
  kLoadIncStoreJmp = 0xEE,      // LOAD a; INC; STORE a; JMP t: a loop's step and jump back
  kLoadLoadrAsizeCmpJz = 0xEF,  // LOAD i; LOADR a; ASIZE; CMP; cc; JZ t
  kLoadLoadrLoadAgetAddStore = 0xF0,  // LOAD s; LOADR a; LOAD i; AGET; ADD; STORE c
  // A recursion's step: a call on `me` (as kLoadMe and kCallMe) whose one argument is a local
  // less a constant, pushed and called in one dispatch.
  kLoadMeLoadConstSubCall = 0xF1,  // LOADR 0; LOAD a; PUSHC k; SUB; CALL
  kAddRetv = 0xF2,                 // ADD; RETV
  // kLoadLoadCmpJz and kLoadConstCmpJz whose condition is LT, the head of nearly every counted
  // loop: the one comparison is made straight, without the condition's table.
  kLoadLoadLtJz = 0xF3,   // LOAD a; LOAD b; CMP; LT; JZ t
  kLoadConstLtJz = 0xF4,  // LOAD a; PUSHC k; CMP; LT; JZ t
};
constexpr u8 kFirstFusedOpcode = 0xE0;
constexpr u8 kFusedOpcodeCount = 21;

// Which of `cc`'s outcomes of CMP (bit 0: below, 1: equal, 2: above) leave a nonzero word; 0 for
// a byte that is no such condition.
constexpr u8 ConditionMask(u8 cc) {
  using GSByteCode::Opcode;
  switch (static_cast<Opcode>(cc)) {
    case Opcode::kLt:
      return 0b001;
    case Opcode::kLe:
      return 0b011;
    case Opcode::kEq:
    case Opcode::kNot:
      return 0b010;
    case Opcode::kNe:
      return 0b101;
    case Opcode::kGe:
      return 0b110;
    case Opcode::kGt:
      return 0b100;
    default:
      return 0;
  }
}
// ConditionMask of every byte, for the interpreter.
inline constexpr auto kConditionMasks = [] {
  struct Table {
    u8 mask[256];
  } table{};
  for (u32 cc = 0; cc < 256; ++cc) table.mask[cc] = ConditionMask(u8(cc));
  return table;
}();

// Rewrites the first byte of every run above in `record`'s code. The code must have passed the
// verifier: its instruction boundaries are walked as they are.
void FuseCode(const GSByteCode::FunctionRecord& record);

}  // namespace GSRuntime
