#include "gscompiler/compiler_state.h"

#include "gscompiler/include_path_list.h"

IncludePathList& GetIncludeSearchList() {
  static IncludePathList list;
  return list;
}

void UnitRecord::Reset(GSCompilerState* owner, GSCompileLog* unitLog) {
  nodes.FreeAll();
  textMemory.Reset();
  fileName.Clear();
  sourceId = 0;
  nameId = 0;
  state = owner;
  topLevel = nullptr;
  classSink = nullptr;
  errorCount = 0;
  warningCount = 0;
  log = unitLog;
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
