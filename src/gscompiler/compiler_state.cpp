#include "gscompiler/compiler_state.h"

#include "gscompiler/include_path_list.h"

namespace {

UnitRecord* g_currentUnit = nullptr;

}  // namespace

UnitRecord* GetCurrentUnit() { return g_currentUnit; }

void SetCurrentUnit(UnitRecord* unit) { g_currentUnit = unit; }

IncludePathList& GetIncludeSearchList() {
  static IncludePathList list;
  return list;
}

UnitRecord::~UnitRecord() {
  if (g_currentUnit == this) g_currentUnit = nullptr;
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
