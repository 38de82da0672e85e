#include "gscommon/opcode_table.h"

#include "platform/byte_order.h"

namespace GSByteCode {

namespace {

using L = OperandLayout;

constexpr OpcodeInfo kOpcodes[kOpcodeCount] = {
    {"ADD", L::kNone, -1},        {"SUB", L::kNone, -1},        {"MUL", L::kNone, -1},
    {"DIV", L::kNone, -1},        {"MOD", L::kNone, -1},        {"NEG", L::kNone, 0},
    {"INC", L::kNone, 0},         {"DEC", L::kNone, 0},         {"ITOF", L::kNone, 0},
    {"CMP", L::kNone, -1},        {"PUSH0", L::kNone, 1},       {"PUSH1", L::kNone, 1},
    {"EQ", L::kNone, 0},          {"AND", L::kNone, -1},        {"OR", L::kNone, -1},
    {"XOR", L::kNone, -1},        {"BNOT", L::kNone, 0},        {"SHL", L::kNone, -1},
    {"SHR", L::kNone, -1},        {"FADD", L::kNone, -1},       {"FSUB", L::kNone, -1},
    {"FMUL", L::kNone, -1},       {"FDIV", L::kNone, -1},       {"FMOD", L::kNone, -1},
    {"FNEG", L::kNone, 0},        {"FINC", L::kNone, 0},        {"FDEC", L::kNone, 0},
    {"FTOI", L::kNone, 0},        {"FCMP", L::kNone, -1},       {"NOT", L::kNone, 0},
    {"PUSHC", L::kI32, 1},        {"LOAD", L::kU16, 1},         {"LOADR", L::kU16, 1},
    {"STORE", L::kU16, -1},       {"STOREK", L::kU16, 0},       {"STORER", L::kU16, -1},
    {"STORERK", L::kU16, 0},      {"POP", L::kNone, -1},        {"POPR", L::kNone, -1},
    {"DUP", L::kNone, 1},         {"DUPR", L::kNone, 1},        {"DUP2R", L::kNone, 2},
    {"SWAP", L::kNone, 0},        {"JMP", L::kTarget, 0},       {"JZ", L::kTarget, -1},
    {"JNZ", L::kTarget, -1},      {"JZK", L::kTarget, 0},       {"JNZK", L::kTarget, 0},
    {"JLT", L::kTarget, -1},      {"JLE", L::kTarget, -1},      {"JGT", L::kTarget, -1},
    {"JGE", L::kTarget, -1},      {"LT", L::kNone, 0},          {"LE", L::kNone, 0},
    {"GT", L::kNone, 0},          {"GE", L::kNone, 0},          {"NEWA", L::kNone, 0},
    {"NEWAR", L::kNone, 0},       {"ASIZE", L::kNone, 0},       {"ACOPY", L::kNone, 0},
    {"AGET", L::kNone, -1},       {"ASET", L::kNone, -3},       {"ASETK", L::kNone, -2},
    {"AGETR", L::kNone, -1},      {"ASETR", L::kNone, -3},      {"ASETRK", L::kNone, -2},
    {"ARANGE", L::kNone, -2},     {"ARANGESET", L::kNone, -4},  {"ARANGESETK", L::kNone, -3},
    {"ARANGER", L::kNone, -2},    {"ARANGESETR", L::kNone, -4}, {"ARANGESETRK", L::kNone, -3},
    {"NEWS", L::kNone, 1},        {"PUSHS", L::kU16, 1},        {"ITOS", L::kNone, 0},
    {"BTOS", L::kNone, 0},        {"FTOS", L::kNone, 0},        {"SCOPY", L::kNone, 0},
    {"SSIZE", L::kNone, 0},       {"SGET", L::kNone, -1},       {"SSET", L::kNone, -3},
    {"SSETK", L::kNone, -2},      {"SRANGE", L::kNone, -2},     {"SRANGESET", L::kNone, -4},
    {"SRANGESETK", L::kNone, -3}, {"SCMP", L::kNone, -1},       {"SCAT", L::kNone, -1},
    {"ISCLASS", L::kU16, 0},      {"NEW", L::kU16, 1},          {"STATIC", L::kU16, 1},
    {"CAST", L::kU16, 0},         {"RCMP", L::kNone, -1},       {"ISNULL", L::kNone, 0},
    {"NOTNULL", L::kNone, 0},     {"CALL", L::kCall, 0},        {"CALLN", L::kCall, 0},
    {"CALLT", L::kCall, 0},       {"GETF", L::kU16, 0},         {"GETFR", L::kU16, 0},
    {"SETF", L::kU16, -2},        {"SETFK", L::kU16, -1},       {"SETFR", L::kU16, -2},
    {"SETFRK", L::kU16, -1},      {"GETMF", L::kU16, 1},        {"GETMFR", L::kU16, 1},
    {"SETMF", L::kU16, -1},       {"SETMFR", L::kU16, -1},      {"SETMFK", L::kU16, 0},
    {"SETMFRK", L::kU16, 0},      {"RET", L::kNone, 0},         {"RETV", L::kNone, -1},
    {"RETVR", L::kNone, -1},      {"WAIT", L::kWait, 0},        {"SWITCH", L::kSwitch, -1},
    {"CALLI", L::kSlot, 0},       {"NE", L::kNone, 0},
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
