// The byte-code instruction set of the script machine: one table of every opcode with its
// mnemonic, its operand layout and the stack effect that the compiler counts. The emitter, the
// disassembler, and the runtime's verifier and interpreter all read this table.
#pragma once

#include "qel/types.h"

namespace GSByteCode {

enum class Opcode : u8 {
  kAdd = 0,
  kSub = 1,
  kMul = 2,
  kDiv = 3,
  kMod = 4,
  kNeg = 5,
  kInc = 6,
  kDec = 7,
  kItof = 8,
  kCmp = 9,
  kPush0 = 10,
  kPush1 = 11,
  kEq = 12,
  kAnd = 13,
  kOr = 14,
  kXor = 15,
  kBnot = 16,
  kShl = 17,
  kShr = 18,
  kFadd = 19,
  kFsub = 20,
  kFmul = 21,
  kFdiv = 22,
  kFmod = 23,
  kFneg = 24,
  kFinc = 25,
  kFdec = 26,
  kFtoi = 27,
  kFcmp = 28,
  kNot = 29,
  kPushc = 30,
  kLoad = 31,
  kLoadr = 32,
  kStore = 33,
  kStorek = 34,
  kStorer = 35,
  kStorerk = 36,
  kPop = 37,
  kPopr = 38,
  kDup = 39,
  kDupr = 40,
  kDup2r = 41,
  kSwap = 42,
  kJmp = 43,
  kJz = 44,
  kJnz = 45,
  kJzk = 46,
  kJnzk = 47,
  kJlt = 48,
  kJle = 49,
  kJgt = 50,
  kJge = 51,
  kLt = 52,
  kLe = 53,
  kGt = 54,
  kGe = 55,
  kNewa = 56,
  kNewar = 57,
  kAsize = 58,
  kAcopy = 59,
  kAget = 60,
  kAset = 61,
  kAsetk = 62,
  kAgetr = 63,
  kAsetr = 64,
  kAsetrk = 65,
  kArange = 66,
  kArangeset = 67,
  kArangesetk = 68,
  kAranger = 69,
  kArangesetr = 70,
  kArangesetrk = 71,
  kNews = 72,
  kPushs = 73,
  kItos = 74,
  kBtos = 75,
  kFtos = 76,
  kScopy = 77,
  kSsize = 78,
  kSget = 79,
  kSset = 80,
  kSsetk = 81,
  kSrange = 82,
  kSrangeset = 83,
  kSrangesetk = 84,
  kScmp = 85,
  kScat = 86,
  kIsclass = 87,
  kNew = 88,
  kStatic = 89,
  kCast = 90,
  kRcmp = 91,
  kIsnull = 92,
  kNotnull = 93,
  kCall = 94,
  kCalln = 95,
  kCallt = 96,
  kGetf = 97,
  kGetfr = 98,
  kSetf = 99,
  kSetfk = 100,
  kSetfr = 101,
  kSetfrk = 102,
  kGetmf = 103,
  kGetmfr = 104,
  kSetmf = 105,
  kSetmfr = 106,
  kSetmfk = 107,
  kSetmfrk = 108,
  kRet = 109,
  kRetv = 110,
  kRetvr = 111,
  kWait = 112,
  kSwitch = 113,
  kCalli = 114,
  kNe = 115,
};

constexpr u32 kOpcodeCount = 116;

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

// The entry of an opcode; null for a byte that is no instruction (116 to 255).
const OpcodeInfo* FindOpcode(u8 opcode);
inline const OpcodeInfo& InfoOf(Opcode opcode) { return *FindOpcode(static_cast<u8>(opcode)); }

// Bytes of the instruction at `code[offset]`, operands included; 0 when the byte is no
// instruction or its operands run past `length`.
u32 InstructionLength(const u8* code, u32 length, u32 offset);

}  // namespace GSByteCode
