#include "gscompiler/compiler_state.h"

#include "gscompiler/include_path_list.h"

IncludePathList& GetIncludeSearchList() {
  static IncludePathList list;
  return list;
}

void GSCompilerState::Reset() {
  classes.clear();
  symbols.Reset();
  strings.clear();
  stringNumbers.Clear();
  referenceSignatures.clear();
  unitCounter = 0;
  includedUnits.clear();
}
