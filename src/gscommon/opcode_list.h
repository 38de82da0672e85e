// The byte-code instruction set, written once: every opcode in byte order with its number, its
// mnemonic, its operand layout and its stack counts. The opcode enum, the table of opcode entries
// and the interpreter's dispatch table are each an expansion of this list, so they cannot drift
// apart. The numbers are the library file format: an opcode is added at the end, never between.
//
//   X(enumerator, number, mnemonic, operand layout, stack effect, stack inputs)
//
// The operand layout names an `OperandLayout`; the two counts are those of `OpcodeInfo`.
#pragma once

// clang-format off
#define GS_OPCODE_LIST(X)                        \
  X(kAdd, 0, "ADD", kNone, -1, 2)                \
  X(kSub, 1, "SUB", kNone, -1, 2)                \
  X(kMul, 2, "MUL", kNone, -1, 2)                \
  X(kDiv, 3, "DIV", kNone, -1, 2)                \
  X(kMod, 4, "MOD", kNone, -1, 2)                \
  X(kNeg, 5, "NEG", kNone, 0, 1)                 \
  X(kInc, 6, "INC", kNone, 0, 1)                 \
  X(kDec, 7, "DEC", kNone, 0, 1)                 \
  X(kItof, 8, "ITOF", kNone, 0, 1)               \
  X(kCmp, 9, "CMP", kNone, -1, 2)                \
  X(kPush0, 10, "PUSH0", kNone, 1, 0)            \
  X(kPush1, 11, "PUSH1", kNone, 1, 0)            \
  X(kEq, 12, "EQ", kNone, 0, 1)                  \
  X(kAnd, 13, "AND", kNone, -1, 2)               \
  X(kOr, 14, "OR", kNone, -1, 2)                 \
  X(kXor, 15, "XOR", kNone, -1, 2)               \
  X(kBnot, 16, "BNOT", kNone, 0, 1)              \
  X(kShl, 17, "SHL", kNone, -1, 2)               \
  X(kShr, 18, "SHR", kNone, -1, 2)               \
  X(kFadd, 19, "FADD", kNone, -1, 2)             \
  X(kFsub, 20, "FSUB", kNone, -1, 2)             \
  X(kFmul, 21, "FMUL", kNone, -1, 2)             \
  X(kFdiv, 22, "FDIV", kNone, -1, 2)             \
  X(kFmod, 23, "FMOD", kNone, -1, 2)             \
  X(kFneg, 24, "FNEG", kNone, 0, 1)              \
  X(kFinc, 25, "FINC", kNone, 0, 1)              \
  X(kFdec, 26, "FDEC", kNone, 0, 1)              \
  X(kFtoi, 27, "FTOI", kNone, 0, 1)              \
  X(kFcmp, 28, "FCMP", kNone, -1, 2)             \
  X(kNot, 29, "NOT", kNone, 0, 1)                \
  X(kPushc, 30, "PUSHC", kI32, 1, 0)             \
  X(kLoad, 31, "LOAD", kU16, 1, 0)               \
  X(kLoadr, 32, "LOADR", kU16, 1, 0)             \
  X(kStore, 33, "STORE", kU16, -1, 1)            \
  X(kStorek, 34, "STOREK", kU16, 0, 1)           \
  X(kStorer, 35, "STORER", kU16, -1, 1)          \
  X(kStorerk, 36, "STORERK", kU16, 0, 1)         \
  X(kPop, 37, "POP", kNone, -1, 1)               \
  X(kPopr, 38, "POPR", kNone, -1, 1)             \
  X(kDup, 39, "DUP", kNone, 1, 1)                \
  X(kDupr, 40, "DUPR", kNone, 1, 1)              \
  X(kDup2r, 41, "DUP2R", kNone, 2, 2)            \
  X(kSwap, 42, "SWAP", kNone, 0, 2)              \
  X(kJmp, 43, "JMP", kTarget, 0, 0)              \
  X(kJz, 44, "JZ", kTarget, -1, 1)               \
  X(kJnz, 45, "JNZ", kTarget, -1, 1)             \
  X(kJzk, 46, "JZK", kTarget, 0, 1)              \
  X(kJnzk, 47, "JNZK", kTarget, 0, 1)            \
  X(kJlt, 48, "JLT", kTarget, -1, 1)             \
  X(kJle, 49, "JLE", kTarget, -1, 1)             \
  X(kJgt, 50, "JGT", kTarget, -1, 1)             \
  X(kJge, 51, "JGE", kTarget, -1, 1)             \
  X(kLt, 52, "LT", kNone, 0, 1)                  \
  X(kLe, 53, "LE", kNone, 0, 1)                  \
  X(kGt, 54, "GT", kNone, 0, 1)                  \
  X(kGe, 55, "GE", kNone, 0, 1)                  \
  X(kNewa, 56, "NEWA", kNone, 0, 1)              \
  X(kNewar, 57, "NEWAR", kNone, 0, 1)            \
  X(kAsize, 58, "ASIZE", kNone, 0, 1)            \
  X(kAcopy, 59, "ACOPY", kNone, 0, 1)            \
  X(kAget, 60, "AGET", kNone, -1, 2)             \
  X(kAset, 61, "ASET", kNone, -3, 3)             \
  X(kAsetk, 62, "ASETK", kNone, -2, 3)           \
  X(kAgetr, 63, "AGETR", kNone, -1, 2)           \
  X(kAsetr, 64, "ASETR", kNone, -3, 3)           \
  X(kAsetrk, 65, "ASETRK", kNone, -2, 3)         \
  X(kArange, 66, "ARANGE", kNone, -2, 3)         \
  X(kArangeset, 67, "ARANGESET", kNone, -4, 4)   \
  X(kArangesetk, 68, "ARANGESETK", kNone, -3, 4) \
  X(kAranger, 69, "ARANGER", kNone, -2, 3)       \
  X(kArangesetr, 70, "ARANGESETR", kNone, -4, 4) \
  X(kArangesetrk, 71, "ARANGESETRK", kNone, -3, 4) \
  X(kNews, 72, "NEWS", kNone, 1, 0)              \
  X(kPushs, 73, "PUSHS", kU16, 1, 0)             \
  X(kItos, 74, "ITOS", kNone, 0, 1)              \
  X(kBtos, 75, "BTOS", kNone, 0, 1)              \
  X(kFtos, 76, "FTOS", kNone, 0, 1)              \
  X(kScopy, 77, "SCOPY", kNone, 0, 1)            \
  X(kSsize, 78, "SSIZE", kNone, 0, 1)            \
  X(kSget, 79, "SGET", kNone, -1, 2)             \
  X(kSset, 80, "SSET", kNone, -3, 3)             \
  X(kSsetk, 81, "SSETK", kNone, -2, 3)           \
  X(kSrange, 82, "SRANGE", kNone, -2, 3)         \
  X(kSrangeset, 83, "SRANGESET", kNone, -4, 4)   \
  X(kSrangesetk, 84, "SRANGESETK", kNone, -3, 4) \
  X(kScmp, 85, "SCMP", kNone, -1, 2)             \
  X(kScat, 86, "SCAT", kNone, -1, 2)             \
  X(kIsclass, 87, "ISCLASS", kU16, 0, 1)         \
  X(kNew, 88, "NEW", kU16, 1, 0)                 \
  X(kStatic, 89, "STATIC", kU16, 1, 0)           \
  X(kCast, 90, "CAST", kU16, 0, 1)               \
  X(kRcmp, 91, "RCMP", kNone, -1, 2)             \
  X(kIsnull, 92, "ISNULL", kNone, 0, 1)          \
  X(kNotnull, 93, "NOTNULL", kNone, 0, 1)        \
  X(kCall, 94, "CALL", kCall, 0, 1)              \
  X(kCalln, 95, "CALLN", kCall, 0, 1)            \
  X(kCallt, 96, "CALLT", kCall, 0, 1)            \
  X(kGetf, 97, "GETF", kU16, 0, 1)               \
  X(kGetfr, 98, "GETFR", kU16, 0, 1)             \
  X(kSetf, 99, "SETF", kU16, -2, 2)              \
  X(kSetfk, 100, "SETFK", kU16, -1, 2)           \
  X(kSetfr, 101, "SETFR", kU16, -2, 2)           \
  X(kSetfrk, 102, "SETFRK", kU16, -1, 2)         \
  X(kGetmf, 103, "GETMF", kU16, 1, 0)            \
  X(kGetmfr, 104, "GETMFR", kU16, 1, 0)          \
  X(kSetmf, 105, "SETMF", kU16, -1, 1)           \
  X(kSetmfr, 106, "SETMFR", kU16, -1, 1)         \
  X(kSetmfk, 107, "SETMFK", kU16, 0, 1)          \
  X(kSetmfrk, 108, "SETMFRK", kU16, 0, 1)        \
  X(kRet, 109, "RET", kNone, 0, 0)               \
  X(kRetv, 110, "RETV", kNone, -1, 1)            \
  X(kRetvr, 111, "RETVR", kNone, -1, 1)          \
  X(kWait, 112, "WAIT", kWait, 0, 0)             \
  X(kSwitch, 113, "SWITCH", kSwitch, -1, 1)      \
  X(kCalli, 114, "CALLI", kSlot, 0, 1)           \
  X(kNe, 115, "NE", kNone, 0, 1)
// clang-format on
