// Byte code back to text, one instruction a line, read through the opcode table.
#pragma once

#include <string>
#include <vector>

#include "gscommon/function_record.h"
#include "gscommon/opcode_table.h"
#include "qel/types.h"

namespace GSByteCode {

struct Instruction {
  u32 offset = 0;
  u32 length = 0;
  const OpcodeInfo* info = nullptr;
  // The fixed operands: i32 constant, u16 index, jump target, or i16 slot then u16 method.
  i32 first = 0;
  i32 second = 0;
  // SWITCH keys and WAIT (major, minor) pairs; their targets, then the default target of a SWITCH.
  std::vector<std::pair<i32, i32>> cases;
  std::vector<u32> targets;
};

// The instruction at `offset`; false when the byte is no instruction or runs past `length`.
bool DecodeInstruction(const u8* code, u32 length, u32 offset, Instruction* out);

// "NAME operands": "LOAD 1", "JMP 16", "CALL -2,5", "SWITCH 2 {1:30 5:40} 50",
// "WAIT 1 {3/4:30}".
std::string FormatInstruction(const Instruction& instruction);

// The whole code: each line is the offset, a '>' where a jump lands, and the instruction; a
// "; line N" line stands before the first instruction of each line-table entry. Undecodable
// bytes end the listing with a "bad instruction" line.
std::string DisassembleCode(const u8* code, u32 length, const std::vector<LineDebugInfo>& lines);

}  // namespace GSByteCode
