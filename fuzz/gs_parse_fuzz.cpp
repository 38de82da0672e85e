// Arbitrary bytes as a GameScript unit: scanned and parsed, the tree walked, then declared in
// full by the semantic pass and the symbol tables dumped. Whatever the input, the parse ends with
// a result of 0, 1 or 2 and a tree only on success; the pass ends, closes every scope level it
// opened, and fails exactly when it counted an error.
#include "gs_fuzz_unit.h"
#include "gscompiler/parse_node.h"
#include "gscompiler/semantic_pass.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using gs_fuzz::Check;
  if (size > (1u << 20)) return 0;
  gs_fuzz::FuzzUnit fuzz(data, size);
  const int result = fuzz.Result();
  Check(result >= 0 && result <= 2);
  Check((result == 0) == (fuzz.Unit().errorCount == 0));
  Check(result == 0 || fuzz.Unit().topLevel == nullptr);
  if (result != 0) return 0;
  Check(!GSCompiler::DumpParseTree(fuzz.Unit().topLevel).empty());
  fuzz.EnterLibrary();
  const bool declared = GSCompiler::SemanticPass(fuzz.Unit(), fuzz.State(), false);
  Check(declared == (fuzz.Unit().errorCount == 0));
  Check(fuzz.State().symbols.Level() == 0);
  fuzz.State().symbols.Dump(fuzz.Log());
  return 0;
}
