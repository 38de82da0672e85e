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
