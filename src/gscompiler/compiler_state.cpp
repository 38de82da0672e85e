#include "gscompiler/compiler_state.h"

#include "gscompiler/compile_environment.h"

GSCompilerState::GSCompilerState() : GSCompilerState(CompileEnvironment::OfThisThread()) {}

void GSCompilerState::Reset() {
  classes.clear();
  symbols.Reset();
  strings.clear();
  stringNumbers.Clear();
  referenceSignatures.clear();
  unitCounter = 0;
  includedUnits.clear();
}

namespace GSCompiler {

u32 InternString(GSCompilerState& state, const char* text) {
  if (text == nullptr) text = "";
  const u32 found = state.stringNumbers.Find(text, state.strings);
  if (found != StringNumberIndex::kNotFound) return found;
  const char* kept = state.symbols.KeepName(text);
  const u32 number = static_cast<u32>(state.strings.size());
  if (kept == nullptr) return number;
  state.strings.push_back(kept);
  state.stringNumbers.Insert(kept, number);
  return number;
}

}  // namespace GSCompiler
