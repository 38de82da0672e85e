#include "gscommon/opcode_table.h"

#include "platform/byte_order.h"

namespace GSByteCode {

namespace {

using L = OperandLayout;

constexpr OpcodeInfo kOpcodes[kOpcodeCount] = {
    {"ADD", L::kNone, -1, 2},        {"SUB", L::kNone, -1, 2},
    {"MUL", L::kNone, -1, 2},        {"DIV", L::kNone, -1, 2},
    {"MOD", L::kNone, -1, 2},        {"NEG", L::kNone, 0, 1},
    {"INC", L::kNone, 0, 1},         {"DEC", L::kNone, 0, 1},
    {"ITOF", L::kNone, 0, 1},        {"CMP", L::kNone, -1, 2},
    {"PUSH0", L::kNone, 1, 0},       {"PUSH1", L::kNone, 1, 0},
    {"EQ", L::kNone, 0, 1},          {"AND", L::kNone, -1, 2},
    {"OR", L::kNone, -1, 2},         {"XOR", L::kNone, -1, 2},
    {"BNOT", L::kNone, 0, 1},        {"SHL", L::kNone, -1, 2},
    {"SHR", L::kNone, -1, 2},        {"FADD", L::kNone, -1, 2},
    {"FSUB", L::kNone, -1, 2},       {"FMUL", L::kNone, -1, 2},
    {"FDIV", L::kNone, -1, 2},       {"FMOD", L::kNone, -1, 2},
    {"FNEG", L::kNone, 0, 1},        {"FINC", L::kNone, 0, 1},
    {"FDEC", L::kNone, 0, 1},        {"FTOI", L::kNone, 0, 1},
    {"FCMP", L::kNone, -1, 2},       {"NOT", L::kNone, 0, 1},
    {"PUSHC", L::kI32, 1, 0},        {"LOAD", L::kU16, 1, 0},
    {"LOADR", L::kU16, 1, 0},        {"STORE", L::kU16, -1, 1},
    {"STOREK", L::kU16, 0, 1},       {"STORER", L::kU16, -1, 1},
    {"STORERK", L::kU16, 0, 1},      {"POP", L::kNone, -1, 1},
    {"POPR", L::kNone, -1, 1},       {"DUP", L::kNone, 1, 1},
    {"DUPR", L::kNone, 1, 1},        {"DUP2R", L::kNone, 2, 2},
    {"SWAP", L::kNone, 0, 2},        {"JMP", L::kTarget, 0, 0},
    {"JZ", L::kTarget, -1, 1},       {"JNZ", L::kTarget, -1, 1},
    {"JZK", L::kTarget, 0, 1},       {"JNZK", L::kTarget, 0, 1},
    {"JLT", L::kTarget, -1, 1},      {"JLE", L::kTarget, -1, 1},
    {"JGT", L::kTarget, -1, 1},      {"JGE", L::kTarget, -1, 1},
    {"LT", L::kNone, 0, 1},          {"LE", L::kNone, 0, 1},
    {"GT", L::kNone, 0, 1},          {"GE", L::kNone, 0, 1},
    {"NEWA", L::kNone, 0, 1},        {"NEWAR", L::kNone, 0, 1},
    {"ASIZE", L::kNone, 0, 1},       {"ACOPY", L::kNone, 0, 1},
    {"AGET", L::kNone, -1, 2},       {"ASET", L::kNone, -3, 3},
    {"ASETK", L::kNone, -2, 3},      {"AGETR", L::kNone, -1, 2},
    {"ASETR", L::kNone, -3, 3},      {"ASETRK", L::kNone, -2, 3},
    {"ARANGE", L::kNone, -2, 3},     {"ARANGESET", L::kNone, -4, 4},
    {"ARANGESETK", L::kNone, -3, 4}, {"ARANGER", L::kNone, -2, 3},
    {"ARANGESETR", L::kNone, -4, 4}, {"ARANGESETRK", L::kNone, -3, 4},
    {"NEWS", L::kNone, 1, 0},        {"PUSHS", L::kU16, 1, 0},
    {"ITOS", L::kNone, 0, 1},        {"BTOS", L::kNone, 0, 1},
    {"FTOS", L::kNone, 0, 1},        {"SCOPY", L::kNone, 0, 1},
    {"SSIZE", L::kNone, 0, 1},       {"SGET", L::kNone, -1, 2},
    {"SSET", L::kNone, -3, 3},       {"SSETK", L::kNone, -2, 3},
    {"SRANGE", L::kNone, -2, 3},     {"SRANGESET", L::kNone, -4, 4},
    {"SRANGESETK", L::kNone, -3, 4}, {"SCMP", L::kNone, -1, 2},
    {"SCAT", L::kNone, -1, 2},       {"ISCLASS", L::kU16, 0, 1},
    {"NEW", L::kU16, 1, 0},          {"STATIC", L::kU16, 1, 0},
    {"CAST", L::kU16, 0, 1},         {"RCMP", L::kNone, -1, 2},
    {"ISNULL", L::kNone, 0, 1},      {"NOTNULL", L::kNone, 0, 1},
    {"CALL", L::kCall, 0, 1},        {"CALLN", L::kCall, 0, 1},
    {"CALLT", L::kCall, 0, 1},       {"GETF", L::kU16, 0, 1},
    {"GETFR", L::kU16, 0, 1},        {"SETF", L::kU16, -2, 2},
    {"SETFK", L::kU16, -1, 2},       {"SETFR", L::kU16, -2, 2},
    {"SETFRK", L::kU16, -1, 2},      {"GETMF", L::kU16, 1, 0},
    {"GETMFR", L::kU16, 1, 0},       {"SETMF", L::kU16, -1, 1},
    {"SETMFR", L::kU16, -1, 1},      {"SETMFK", L::kU16, 0, 1},
    {"SETMFRK", L::kU16, 0, 1},      {"RET", L::kNone, 0, 0},
    {"RETV", L::kNone, -1, 1},       {"RETVR", L::kNone, -1, 1},
    {"WAIT", L::kWait, 0, 0},        {"SWITCH", L::kSwitch, -1, 1},
    {"CALLI", L::kSlot, 0, 1},       {"NE", L::kNone, 0, 1},
};

}  // namespace

const OpcodeInfo* FindOpcode(u8 opcode) {
  return opcode < kOpcodeCount ? &kOpcodes[opcode] : nullptr;
}

u32 InstructionLength(const u8* code, u32 length, u32 offset) {
  if (offset >= length) return 0;
  const OpcodeInfo* info = FindOpcode(code[offset]);
  if (info == nullptr) return 0;
  const u32 left = length - offset - 1;
  u64 size = 0;
  switch (info->operands) {
    case L::kNone:
      break;
    case L::kI32:
    case L::kTarget:
    case L::kCall:
      size = 4;
      break;
    case L::kU16:
    case L::kSlot:
      size = 2;
      break;
    case L::kSwitch:
      if (left < 2) return 0;
      size = 2 + u64(ByteOrder::LoadLE16(code + offset + 1)) * 8 + 4;
      break;
    case L::kWait: {
      if (left < 2) return 0;
      // A negative count is malformed; it must not wrap into a large one.
      const i16 n = static_cast<i16>(ByteOrder::LoadLE16(code + offset + 1));
      if (n < 0) return 0;
      size = 2 + u64(n) * 8;
      break;
    }
  }
  return size <= left ? static_cast<u32>(size + 1) : 0;
}

}  // namespace GSByteCode
