// Writes one function's byte code into its code buffer, counting the operand-stack depth as it
// goes, and keeps the function's jump labels and the fix-ups that wait for them.
#pragma once

#include <memory>
#include <vector>

#include "gscommon/byte_buffer.h"
#include "gscommon/opcode_table.h"
#include "qel/types.h"

class UnitRecord;

namespace GSCompiler {

class CodeEmitter {
 public:
  using Opcode = GSByteCode::Opcode;
  // Called with the code offset just before each instruction is written.
  using InstructionHook = void (*)(u32 offset, void* context);

  static constexpr u32 kGrowthStep = 1024;

  CodeEmitter();
  ~CodeEmitter();
  CodeEmitter(CodeEmitter&& other) noexcept;
  CodeEmitter& operator=(CodeEmitter&& other) noexcept;
  CodeEmitter(const CodeEmitter&) = delete;
  CodeEmitter& operator=(const CodeEmitter&) = delete;

  void SetInstructionHook(InstructionHook hook, void* context) {
    hook_ = hook;
    hookContext_ = context;
  }
  // The source line that operand-range errors are reported at.
  void SetSourceLine(i32 line) { line_ = line; }

  // Each counts the opcode's stack effect, then writes. Operands that a u16 or i16 cannot hold
  // are written as 0 and reported by ResolveFixups.
  void Emit(Opcode op);
  void Emit(Opcode op, u32 operand);       // i32 constants and jump targets
  void EmitFloat(f32 value);               // PUSHC with the float's bits
  void EmitIndex(Opcode op, i32 operand);  // one u16 operand, or the i16 slot of CALLI
  void EmitCall(Opcode op, i32 slot, i32 method);
  // Raw operand words after Emit(kWait) or Emit(kSwitch).
  void WriteU16(i32 value);
  void WriteI16(i32 value);
  void WriteU32(u32 value) { code_.WriteU32(value); }

  // Jumps to a label: the opcode, a 0 target and a fix-up for it. `text` names the jump in the
  // error for a label never defined ("Break", "Continue", "no matching label").
  void EmitJump(Opcode op, i32 label, const char* text, i32 line);

  // Code that the stack count cannot see: arguments and results of calls, and the message that
  // a wait pushes at each `on` target.
  void AdjustDepth(i32 words);

  // Labels: ids from 0 up; -1 when none can be made.
  i32 NewLabel();
  // The label kept for a statement, made on first asking.
  i32 LabelFor(const void* statement);
  // False for an unknown or already defined label.
  bool DefineLabel(i32 id, u32 offset);
  bool DefineLabelHere(i32 id) { return DefineLabel(id, Offset()); }
  // The target of an `on` of a wait: the thread resumes there with the message pushed, which
  // the stack count must see as a call's result is seen.
  bool DefineMessageTarget(i32 id) {
    if (!DefineLabelHere(id)) return false;
    AdjustDepth(1);
    return true;
  }
  void AddFixup(i32 id, u32 offset, const char* text, i32 line);
  // Patches every fix-up whose label is defined and reports the others, and each operand out of
  // its range, as errors of the unit. Returns the number of errors.
  i32 ResolveFixups(UnitRecord* unit);
  // Keeps the finished code in storage of its own size and gives the labels and fix-ups back for
  // the next function. Every function's code waits for the library writer, so a growth step per
  // function added up to most of it.
  void ReleaseWorkingStorage();

  u32 Offset() const { return code_.Position(); }
  i32 Depth() const { return depth_; }
  i32 MaxDepth() const { return maxDepth_; }
  Utils::ByteBuffer& Code() { return code_; }
  const Utils::ByteBuffer& Code() const { return code_; }

 private:
  struct Label {
    bool defined = false;
    u32 offset = 0;
  };
  struct Fixup {
    i32 label;
    u32 offset;
    const char* text;
    i32 line;
  };
  struct RangeError {
    u8 opcode;
    i32 line;
  };

  // Hook, depth, then the opcode byte.
  void Begin(Opcode op);
  void Operand16(i32 value, bool isSigned);

  // The labels and fix-ups, which only a function being generated has: a large unit keeps tens
  // of thousands of finished emitters. Taken on first need from the storage that finished
  // emitters gave back, so that their containers keep the capacity they grew to.
  struct Working;
  Working& Work();
  static std::vector<std::unique_ptr<Working>>& Spares();

  Utils::ByteBuffer code_;
  std::unique_ptr<Working> working_;
  InstructionHook hook_ = nullptr;
  void* hookContext_ = nullptr;
  i32 depth_ = 0;
  i32 maxDepth_ = 0;
  i32 line_ = 0;
  u8 lastOpcode_ = 0;
};

}  // namespace GSCompiler
