// Arbitrary bytes as a GameScript unit: scanned and parsed, the tree walked, then declared in
// full by the semantic pass and the symbol tables dumped. Whatever the input, the parse ends with
// a result of 0, 1 or 2 and a tree only on success; the pass ends, closes every scope level it
// opened, and fails exactly when it counted an error.
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "gscompiler/compile_log.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/parse_entry.h"
#include "gscompiler/parse_node.h"
#include "gscompiler/semantic_pass.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void Declare(GSCompilerState& state, GSCompileLog& log) {
  GSCompiler::GSSymbolTable& symbols = state.symbols;
  GSCompiler::GSDependentSymbol* library = symbols.NewDependentSymbol("fuzz.gs");
  Check(library != nullptr && symbols.AddSymbol(nullptr, library));
  symbols.currentLibrary = library;
  const bool declared = GSCompiler::SemanticPass(state.rootUnit, state, false);
  Check(declared == (state.rootUnit.errorCount == 0));
  Check(symbols.Level() == 0);
  symbols.Dump(log);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  GSCompileLog log;
  auto state = std::make_unique<GSCompilerState>();
  state->Reset();
  UnitRecord& unit = state->rootUnit;
  unit.Reset(state.get(), &log);
  unit.fileName = "fuzz.gs";
  const int result = GSCompiler::ParseTokens(unit, reinterpret_cast<const char*>(data), u32(size));
  Check(result >= 0 && result <= 2);
  Check((result == 0) == (unit.errorCount == 0));
  Check(result == 0 || unit.topLevel == nullptr);
  if (result == 0) {
    Check(!GSCompiler::DumpParseTree(unit.topLevel).empty());
    Declare(*state, log);
  }
  while (log.Take()) {
  }
  SetCurrentUnit(nullptr);
  return 0;
}
