// The compiler's holder of one function's code: its emitter, its reference slots and its line
// table, and the writer of its function record.
#pragma once

#include <vector>

#include "gscommon/byte_buffer.h"
#include "gscommon/function_record.h"
#include "gscompiler/code_emitter.h"
#include "qel/types.h"

namespace GSCompiler {

class GSFunctionSymbol;

class GSCFunction {
 public:
  using LineDebugInfo = GSByteCode::LineDebugInfo;

  explicit GSCFunction(const GSFunctionSymbol* symbol = nullptr) : symbol(symbol) {}

  // Makes the emitter append {offset, current line} before each instruction whose line differs
  // from the last entry's.
  void InstallLineHook() { emitter.SetInstructionHook(&GSCFunction::LineHook, this); }
  void SetLine(i32 line) {
    currentLine = line;
    emitter.SetSourceLine(line);
  }

  // Up to kMaxTemporaries locals after the parameters and locals, for values that code must put
  // aside; -1 when all are taken. Release frees one for the next statement.
  static constexpr i32 kMaxTemporaries = 8;
  i32 AcquireTemporary();
  void ReleaseTemporary(i32 slot);
  // Local words of the frame: the function's own locals and the temporaries it ever used.
  u32 LocalWords() const { return static_cast<u32>(localCount + temporaryCount); }

  const GSFunctionSymbol* symbol;
  CodeEmitter emitter;
  std::vector<LineDebugInfo> lines;
  std::vector<u32> referenceSlots;
  i32 currentLine = 0;
  i32 firstLocal = 1;  // slot of the first local: parameters + 1
  i32 localCount = 0;
  i32 temporaryCount = 0;  // the most temporaries in use at once
  u32 temporariesInUse = 0;

 private:
  static void LineHook(u32 offset, void* context);
};

// What the record needs beyond the code: the numbers that the library assigns and the
// function's shape.
struct FunctionRecordInfo {
  u32 nameString = 0;  // string number of the signature text
  u32 returnType = 0;
  i32 returnClass = -1;    // class reference number, or -1
  u32 flags = 0;           // specifier bits; masked on writing
  i32 slot = -1;           // inherited slot count + function index, or -1 without a class
  u32 parameterCount = 0;  // without `me`
  u32 localWords = 0;
  bool lineTable = true;  // the field initialiser has none
  // Which of the two local-word counts holds the local words: the field initialiser's second.
  bool localsInSecondCount = false;
};

// A record's length word, back-patched: Begin reserves it and writes the tag; End stores the
// length. End is false when the buffer failed. Every record and section of the image is framed so.
u32 BeginRecord(Utils::ByteBuffer& out, u32 tag);
bool EndRecord(Utils::ByteBuffer& out, u32 start);

// Appends the function record (tag 9). False, with the record left incomplete, when the code
// leaves the stack count other than 0.
bool WriteFunctionRecord(const GSCFunction& function, const FunctionRecordInfo& info,
                         Utils::ByteBuffer& out);

}  // namespace GSCompiler
