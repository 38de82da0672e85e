#include "gscompiler/unit_record.h"

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
