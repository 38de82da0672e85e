// The byte-code verifier: proves of one function's code, before the library links, what the
// interpreter may then take for granted. Every byte starts a known instruction or lies inside
// one, no operand runs past the code, the last instruction does not run on past the end, every
// jump lands on an instruction's first byte, every local slot lies inside the frame, and every
// string, class and method index lies inside its table. Field words of objects other than `me`, and
// method indexes against the class of the object at hand, depend on run-time values and stay the
// interpreter's to check.
#pragma once

#include <string>

#include "gscommon/function_record.h"
#include "qel/types.h"

namespace GSRuntime {

struct VerifierLimits {
  u32 strings = 0;          // string constants of the library
  u32 classReferences = 0;  // entries of the class-link table
  u32 memberWords = 0;      // instance words of the function's class (for `me` fields)
  u32 methods = 0;          // the largest method table a call can reach
};

// False, with `error` naming the offset and the fault, for code that fails any proof above.
bool VerifyFunctionCode(const GSByteCode::FunctionRecord& function, const VerifierLimits& limits,
                        std::string* error);

// Local slots of a function's frame: `me`, the arguments, the local words.
u64 LocalSlotCount(const GSByteCode::FunctionRecordHeader& header);

}  // namespace GSRuntime
