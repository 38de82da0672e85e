// The byte-code verifier: proves of one function's code, before the library links, what the
// interpreter may then take for granted. Every byte starts a known instruction or lies inside
// one, no operand runs past the code, the last instruction does not run on past the end, every
// jump lands on an instruction's first byte, every local slot lies inside the frame, and every
// string, class and method index lies inside its table. Over every path of its control flow the
// operand stack keeps between zero and the frame's declared maximum depth, paths that meet agree
// on it, and each return leaves exactly its own result. Field words of objects other than `me`,
// method indexes against the class of the object at hand, and whether the function a call finds
// takes the arguments and leaves the result its call site counted on depend on run-time values
// and stay the interpreter's to check (GSFunction::CallFits).
#pragma once

#include <string>
#include <vector>

#include "gscommon/function_record.h"
#include "qel/types.h"

namespace GSRuntime {

struct VerifierLimits {
  u32 strings = 0;          // string constants of the library
  u32 classReferences = 0;  // entries of the class-link table
  u32 memberWords = 0;      // instance words of the function's class (for `me` fields)
  u32 methods = 0;          // the largest method table a call can reach
  // Whether a call of method-table slot `method` with `argumentWords` (`me` included) leaves a
  // result word: 0 or 1, or -1 when the library cannot tell. Null: no call can be told.
  i32 (*callResult)(const void* context, u32 method, u32 argumentWords) = nullptr;
  const void* callContext = nullptr;
};

// A bit per code byte, set at each call whose site counts on a result word.
using CallResultBits = std::vector<u8>;

// False, with `error` naming the offset and the fault, for code that fails any proof above.
// `results`, when given, receives the call sites' result bits.
bool VerifyFunctionCode(const GSByteCode::FunctionRecord& function, const VerifierLimits& limits,
                        std::string* error, CallResultBits* results = nullptr);

// Local slots of a function's frame: the argument words (`me` first), then the local words.
u64 LocalSlotCount(const GSByteCode::FunctionRecordHeader& header);

}  // namespace GSRuntime
