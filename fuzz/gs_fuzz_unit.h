// What the GameScript fuzz targets share: bytes parsed as the root unit of a fresh compile run,
// with the unit's library entered as the driver enters it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "gscompiler/compile_log.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/parse_entry.h"

namespace gs_fuzz {

inline void Check(bool ok) {
  if (!ok) std::abort();
}

class FuzzUnit {
 public:
  // Parses the bytes; Result() is the parser's 0, 1 or 2.
  FuzzUnit(const uint8_t* data, size_t size) : state_(std::make_unique<GSCompilerState>()) {
    state_->Reset();
    UnitRecord& unit = state_->rootUnit;
    unit.Reset(state_.get(), &log_);
    unit.fileName = "fuzz.gs";
    result_ = GSCompiler::ParseTokens(unit, reinterpret_cast<const char*>(data), u32(size));
  }
  ~FuzzUnit() {
    while (log_.Take()) {
    }
  }
  FuzzUnit(const FuzzUnit&) = delete;
  FuzzUnit& operator=(const FuzzUnit&) = delete;

  // Makes the unit's library symbol the current library, numbered as unit 0.
  void EnterLibrary() {
    GSCompiler::GSSymbolTable& symbols = state_->symbols;
    GSCompiler::GSDependentSymbol* library = symbols.NewDependentSymbol("fuzz.gs");
    Check(library != nullptr && symbols.AddSymbol(nullptr, library));
    library->index = static_cast<i32>(state_->unitCounter++);
    symbols.currentLibrary = library;
  }

  int Result() const { return result_; }
  GSCompilerState& State() { return *state_; }
  UnitRecord& Unit() { return state_->rootUnit; }
  GSCompileLog& Log() { return log_; }

 private:
  GSCompileLog log_;
  std::unique_ptr<GSCompilerState> state_;
  int result_ = 0;
};

}  // namespace gs_fuzz
