// The byte-code verifier: proves of one function's code, before the library links, what the
// interpreter may then take for granted. Every byte starts a known instruction or lies inside
// one, no operand runs past the code, the last instruction does not run on past the end, every
// jump lands on an instruction's first byte, every local slot lies inside the frame, and every
// string, class and method index lies inside its table. Over every path of its control flow the
// operand stack keeps between zero and the frame's declared maximum depth, every word is used as
// the kind it is (a counted reference or a plain value), paths that meet agree on both, and each
// return leaves exactly its own result. Field words of objects other than `me`,
// method indexes against the class of the object at hand, and whether the function a call finds
// takes the arguments and leaves the result its call site counted on depend on run-time values
// and stay the interpreter's to check (GSFunction::callSites). What the library tells of the
// classes and functions a call may reach (CallTarget) only chooses how a call is walked.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gscommon/function_record.h"
#include "qel/types.h"

namespace GSRuntime {

// The kinds of operand words: a plain value, or a reference whose count the word holds.
constexpr u8 kValueWord = 0;
constexpr u8 kReferenceWord = 1;
constexpr u8 kZeroWord = 2;
// Of the functions a call may find (CallTarget): some take a value there and some a reference.
constexpr u8 kEitherWord = 3;
// What a call leaves.
constexpr u8 kNoResult = 0;
constexpr u8 kValueResult = 1;
constexpr u8 kReferenceResult = 2;
constexpr u8 kEitherResult = 3;  // the functions a call may find leave different kinds

// What a call passes after `me` and what it expects back; a function has one too, which a call
// that reaches it must match.
struct CallShape {
  // kValueWord or kReferenceWord, first argument first; at a call site also kZeroWord for a
  // constant 0, which a reference argument takes as null.
  std::vector<u8> argumentKinds;
  u8 result = kNoResult;
};
struct CallSite {
  u32 offset;  // of the call instruction
  CallShape shape;
};

// What the verifier can learn of a call before it runs.
struct CallTarget {
  // The argument kinds and result: kEitherWord where the functions the call may find take a
  // value and a reference, kEitherResult where their results differ. Null: nothing is known.
  const CallShape* shape = nullptr;
  u32 resultClass = 0;  // the class tag of the object it returns, 0 unknown
};

struct VerifierLimits {
  u32 strings = 0;          // string constants of the library
  u32 classReferences = 0;  // entries of the class-link table
  u32 memberWords = 0;      // instance words of the function's class (for `me` fields)
  u32 methods = 0;          // the largest method table a call can reach
  // Classes are named to the walk by tags: 0 an unknown class, else 1 + an entry of the
  // class-link table. What a call of method-table slot `method` with `argumentWords` (`me`
  // included) on an object of class tag `receiver` finds: for a known receiver the function in
  // its method table, else what the library's functions at that slot agree on. Null callback:
  // no call can be told.
  CallTarget (*callTarget)(const void* context, u32 receiver, u32 method,
                           u32 argumentWords) = nullptr;
  const void* callContext = nullptr;
  u32 ownClass = 0;  // the class tag of `me`
  // Class tags of the function's argument slots (`me` first) and of its class's member words
  // that hold objects; missing entries are unknown.
  const std::vector<u32>* argumentClasses = nullptr;
  const std::vector<u32>* memberClasses = nullptr;
  // Per member word of the function's class: 0 no field, 1 a value field, 2 a reference field
  // (GSClass::fieldKinds). Null: every word below memberWords is a value field.
  const std::vector<u8>* memberKinds = nullptr;
};

// The memory the verifier walks a function's code in, kept from one function to the next: a
// library's functions are many and mostly short, and their walks would otherwise spend more
// on building and freeing tables than on the proofs. Cleared for each function, never shrunk.
// One workspace serves one verification at a time.
class VerifierWorkspace {
 public:
  VerifierWorkspace();
  ~VerifierWorkspace();
  VerifierWorkspace(const VerifierWorkspace&) = delete;
  VerifierWorkspace& operator=(const VerifierWorkspace&) = delete;

  struct Tables;
  Tables& Contents() { return *tables_; }

 private:
  std::unique_ptr<Tables> tables_;
};

// False, with `error` naming the offset and the fault, for code that fails any proof above.
// `sites`, when given, receives the shape each call was proved with, by offset. Without a
// `workspace` the call makes its own.
bool VerifyFunctionCode(const GSByteCode::FunctionRecord& function, const VerifierLimits& limits,
                        std::string* error, std::vector<CallSite>* sites = nullptr,
                        VerifierWorkspace* workspace = nullptr);

// The shape of a function as a call's target: its argument kinds from its reference slots, its
// result from its return type.
CallShape ShapeOf(const GSByteCode::FunctionRecord& function);
// The CallShape result of a return type: bool, int and float are values, the rest references.
u8 ResultKindOf(u32 returnType);

// Local slots of a function's frame: the argument words (`me` first), then the local words.
u64 LocalSlotCount(const GSByteCode::FunctionRecordHeader& header);

}  // namespace GSRuntime
