#include "gscompiler/code_emitter.h"

#include <cstring>
#include <utility>

#include "gscompiler/compile_driver.h"

namespace GSCompiler {

void CodeEmitter::Begin(Opcode op) {
  if (hook_ != nullptr) hook_(code_.Position(), hookContext_);
  AdjustDepth(GSByteCode::InfoOf(op).stackEffect);
  lastOpcode_ = static_cast<u8>(op);
  code_.WriteU8(lastOpcode_);
}

void CodeEmitter::AdjustDepth(i32 words) {
  depth_ += words;
  if (depth_ > maxDepth_) maxDepth_ = depth_;
}

void CodeEmitter::Emit(Opcode op) { Begin(op); }

void CodeEmitter::Emit(Opcode op, u32 operand) {
  Begin(op);
  code_.WriteU32(operand);
}

void CodeEmitter::EmitFloat(f32 value) {
  u32 bits;
  std::memcpy(&bits, &value, sizeof bits);
  Emit(Opcode::kPushc, bits);
}

void CodeEmitter::Operand16(i32 value, bool isSigned) {
  const bool fits = isSigned ? value >= -32768 && value <= 32767 : value >= 0 && value <= 65535;
  // A wrapped index would name another string, class, field or slot without a word said.
  if (!fits) {
    rangeErrors_.push_back({lastOpcode_, line_});
    value = 0;
  }
  code_.WriteU16(static_cast<u16>(value));
}

void CodeEmitter::EmitIndex(Opcode op, i32 operand) {
  Begin(op);
  Operand16(operand, op == Opcode::kCalli);
}

void CodeEmitter::EmitCall(Opcode op, i32 slot, i32 method) {
  Begin(op);
  Operand16(slot, true);
  Operand16(method, false);
}

void CodeEmitter::WriteU16(i32 value) { Operand16(value, false); }
void CodeEmitter::WriteI16(i32 value) { Operand16(value, true); }

void CodeEmitter::EmitJump(Opcode op, i32 label, const char* text, i32 line) {
  Begin(op);
  AddFixup(label, code_.Position(), text, line);
  code_.WriteU32(0);
}

i32 CodeEmitter::NewLabel() {
  labels_.emplace_back();
  return static_cast<i32>(labels_.size() - 1);
}

i32 CodeEmitter::LabelFor(const void* statement) {
  const auto found = statementLabels_.find(statement);
  if (found != statementLabels_.end()) return found->second;
  const i32 id = NewLabel();
  statementLabels_.emplace(statement, id);
  return id;
}

bool CodeEmitter::DefineLabel(i32 id, u32 offset) {
  if (id < 0 || static_cast<u32>(id) >= labels_.size() || labels_[id].defined) return false;
  labels_[id] = {true, offset};
  return true;
}

void CodeEmitter::AddFixup(i32 id, u32 offset, const char* text, i32 line) {
  fixups_.push_back({id, offset, text, line});
}

i32 CodeEmitter::ResolveFixups(UnitRecord* unit) {
  i32 errors = 0;
  const u32 end = code_.Position();
  for (const Fixup& f : fixups_) {
    const bool known = f.label >= 0 && static_cast<u32>(f.label) < labels_.size();
    if (known && labels_[f.label].defined) {
      if (code_.SetPosition(f.offset)) code_.WriteU32(labels_[f.label].offset);
      continue;
    }
    ++errors;
    ReportError(unit, true, false, f.line, "%s, line %d", f.text != nullptr ? f.text : "", f.line);
  }
  for (const RangeError& r : rangeErrors_) {
    ++errors;
    ReportError(unit, true, false, r.line, "operand out of range for %s, line %d",
                GSByteCode::FindOpcode(r.opcode)->name, r.line);
  }
  fixups_.clear();
  rangeErrors_.clear();
  code_.SetPosition(end);
  return errors;
}

void CodeEmitter::ReleaseWorkingStorage() {
  if (code_.OutOfStorage()) return;  // the failure must stay visible
  // One byte more than the code: a write that reaches the capacity would grow the buffer.
  Utils::ByteBuffer kept(code_.Size() + 1);
  kept.Write(code_.Data(), code_.Size());
  code_ = std::move(kept);
  labels_ = {};
  statementLabels_ = {};
  fixups_ = {};
  rangeErrors_ = {};
}

}  // namespace GSCompiler
