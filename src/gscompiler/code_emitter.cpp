#include "gscompiler/code_emitter.h"

#include <cstring>
#include <unordered_map>
#include <utility>

#include "gscompiler/compile_report.h"

namespace GSCompiler {

struct CodeEmitter::Working {
  std::vector<Label> labels;
  std::unordered_map<const void*, i32> statementLabels;
  std::vector<Fixup> fixups;
  std::vector<RangeError> rangeErrors;
};

std::vector<std::unique_ptr<CodeEmitter::Working>>& CodeEmitter::Spares() {
  // Emitters of one compile live on one thread; a spare never moves to another.
  thread_local std::vector<std::unique_ptr<Working>> spares;
  return spares;
}

CodeEmitter::Working& CodeEmitter::Work() {
  if (working_ == nullptr) {
    std::vector<std::unique_ptr<Working>>& spares = Spares();
    if (spares.empty()) {
      working_ = std::make_unique<Working>();
    } else {
      working_ = std::move(spares.back());
      spares.pop_back();
    }
  }
  return *working_;
}

CodeEmitter::CodeEmitter() : code_(kGrowthStep) {}
CodeEmitter::~CodeEmitter() = default;
CodeEmitter::CodeEmitter(CodeEmitter&& other) noexcept = default;
CodeEmitter& CodeEmitter::operator=(CodeEmitter&& other) noexcept = default;

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
    Work().rangeErrors.push_back({lastOpcode_, line_});
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
  std::vector<Label>& labels = Work().labels;
  labels.emplace_back();
  return static_cast<i32>(labels.size() - 1);
}

i32 CodeEmitter::LabelFor(const void* statement) {
  std::unordered_map<const void*, i32>& statementLabels = Work().statementLabels;
  const auto found = statementLabels.find(statement);
  if (found != statementLabels.end()) return found->second;
  const i32 id = NewLabel();
  statementLabels.emplace(statement, id);
  return id;
}

bool CodeEmitter::DefineLabel(i32 id, u32 offset) {
  if (working_ == nullptr) return false;
  std::vector<Label>& labels = working_->labels;
  if (id < 0 || static_cast<u32>(id) >= labels.size() || labels[id].defined) return false;
  labels[id] = {true, offset};
  return true;
}

void CodeEmitter::AddFixup(i32 id, u32 offset, const char* text, i32 line) {
  Work().fixups.push_back({id, offset, text, line});
}

i32 CodeEmitter::ResolveFixups(UnitRecord* unit) {
  i32 errors = 0;
  if (working_ == nullptr) return errors;
  Working& w = *working_;
  const u32 end = code_.Position();
  for (const Fixup& f : w.fixups) {
    const bool known = f.label >= 0 && static_cast<u32>(f.label) < w.labels.size();
    if (known && w.labels[f.label].defined) {
      if (code_.SetPosition(f.offset)) code_.WriteU32(w.labels[f.label].offset);
      continue;
    }
    ++errors;
    ReportError(unit, true, false, f.line, "%s, line %d", f.text != nullptr ? f.text : "", f.line);
  }
  for (const RangeError& r : w.rangeErrors) {
    ++errors;
    ReportError(unit, true, false, r.line, "operand out of range for %s, line %d",
                GSByteCode::FindOpcode(r.opcode)->name, r.line);
  }
  w.fixups.clear();
  w.rangeErrors.clear();
  code_.SetPosition(end);
  return errors;
}

void CodeEmitter::ReleaseWorkingStorage() {
  if (code_.OutOfStorage()) return;  // the failure must stay visible
  // One byte more than the code: a write that reaches the capacity would grow the buffer.
  Utils::ByteBuffer kept(code_.Size() + 1);
  kept.Write(code_.Data(), code_.Size());
  code_ = std::move(kept);
  if (working_ == nullptr) return;
  working_->labels.clear();
  working_->statementLabels.clear();
  working_->fixups.clear();
  working_->rangeErrors.clear();
  Spares().push_back(std::move(working_));
}

}  // namespace GSCompiler
