// Prints the parse tree of a GameScript unit: "gsparse [-q] <file.gs|file.gse>". The tree goes to
// standard output, one node a line, children indented under their parent with their slot number;
// messages go to standard error. "-q" parses without printing the tree. The exit code is the
// unit's error count (at most 255), 1 for a file that cannot be read and 2 for wrong usage.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "gscompiler/compile_log.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/gs_source_file.h"
#include "gscompiler/parse_entry.h"
#include "gscompiler/parse_node.h"

int main(int argc, char** argv) {
  bool quiet = false;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-q") == 0) {
      quiet = true;
    } else if (!path && argv[i][0] != '-') {
      path = argv[i];
    } else {
      path = nullptr;
      break;
    }
  }
  if (!path) {
    std::fprintf(stderr, "usage: gsparse [-q] <file.gs|file.gse>\n");
    return 2;
  }

  GSSourceFile source;
  if (!source.Load(nullptr, path) || !source.Unpack() || !source.GetText()) {
    std::fprintf(stderr, "Could not read file %s.\n", path);
    return 1;
  }

  GSCompileLog log;
  UnitRecord unit;
  unit.Reset(nullptr, &log);
  unit.fileName = path;
  const int result = GSCompiler::ParseTokens(unit, source.GetText(), source.GetTextLength());
  while (const char* message = log.Take()) std::fprintf(stderr, "%s\n", message);
  if (!quiet && result == 0) {
    const std::string tree = GSCompiler::DumpParseTree(unit.topLevel);
    std::fwrite(tree.data(), 1, tree.size(), stdout);
  }
  SetCurrentUnit(nullptr);
  return std::clamp(unit.errorCount + result, 0, 255);
}
