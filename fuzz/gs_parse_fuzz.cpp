// Arbitrary bytes as a GameScript unit: scanned and parsed, the tree walked. Whatever the input,
// the parse ends with a result of 0, 1 or 2 and a tree only on success.
#include <cstdint>
#include <cstdlib>

#include "gscompiler/compile_log.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/parse_entry.h"
#include "gscompiler/parse_node.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  GSCompileLog log;
  UnitRecord unit;
  unit.Reset(nullptr, &log);
  unit.fileName = "fuzz.gs";
  const int result = GSCompiler::ParseTokens(unit, reinterpret_cast<const char*>(data), u32(size));
  Check(result >= 0 && result <= 2);
  Check((result == 0) == (unit.errorCount == 0));
  Check(result == 0 || unit.topLevel == nullptr);
  if (result == 0) Check(!GSCompiler::DumpParseTree(unit.topLevel).empty());
  while (log.Take()) {
  }
  SetCurrentUnit(nullptr);
  return 0;
}
