// The byte-code instruction set of the script machine (the list in opcode_list.h): the opcode
// enum and the table of every opcode with its mnemonic, its operand layout and the stack effect
// that the compiler counts. The emitter, the disassembler, and the runtime's verifier and
// interpreter all read this table.
#pragma once

#include "gscommon/opcode_list.h"
#include "qel/types.h"

namespace GSByteCode {

enum class Opcode : u8 {
#define GS_OPCODE_ENUMERATOR(name, number, mnemonic, operands, effect, inputs) name = number,
  GS_OPCODE_LIST(GS_OPCODE_ENUMERATOR)
#undef GS_OPCODE_ENUMERATOR
};

#define GS_OPCODE_ONE(name, number, mnemonic, operands, effect, inputs) +1
constexpr u32 kOpcodeCount = 0 GS_OPCODE_LIST(GS_OPCODE_ONE);
#undef GS_OPCODE_ONE

// What follows the opcode byte.
enum class OperandLayout : u8 {
  kNone,
  kI32,     // a 4-byte constant (an int, or a float's bits)
  kU16,     // string index, class index, field or local slot
  kTarget,  // u32 byte offset from the function's code start
  kCall,    // i16 stack slot of the object, u16 method index
  kSlot,    // i16 stack slot of the object alone
  kSwitch,  // u16 n; n x i32 key; n x u32 target; u32 default target
  kWait,    // i16 n; n x (u16 major, u16 minor) string index; n x u32 target
};

// Operand bytes of a layout whose size is fixed; -1 for a switch or a wait, which count theirs.
constexpr i32 FixedOperandBytes(OperandLayout layout) {
  switch (layout) {
    case OperandLayout::kNone:
      return 0;
    case OperandLayout::kU16:
    case OperandLayout::kSlot:
      return 2;
    case OperandLayout::kI32:
    case OperandLayout::kTarget:
    case OperandLayout::kCall:
      return 4;
    case OperandLayout::kSwitch:
    case OperandLayout::kWait:
      return -1;
  }
  return -1;
}

struct OpcodeInfo {
  const char* name;  // the mnemonic
  OperandLayout operands;
  i8 stackEffect;  // what the compiler adds to its depth count before the instruction
  // Operand words the instruction reads or pops: the depth it needs. A call needs its object
  // and arguments, which its slot operand counts; here only the object. Calls leave their
  // arguments and result out of `stackEffect`, a wait its message: the compiler counts those
  // itself, and so must whoever walks the code.
  u8 stackInputs;
};

// The entry of an opcode; null for a byte that is no instruction (kOpcodeCount to 255).
const OpcodeInfo* FindOpcode(u8 opcode);
inline const OpcodeInfo& InfoOf(Opcode opcode) { return *FindOpcode(static_cast<u8>(opcode)); }

// Bytes of the instruction at `code[offset]`, operands included; 0 when the byte is no
// instruction or its operands run past `length`.
u32 InstructionLength(const u8* code, u32 length, u32 offset);

}  // namespace GSByteCode
