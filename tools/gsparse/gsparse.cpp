// Prints the parse tree or the symbol tables of a GameScript unit:
// "gsparse [-q] [-s] <file.gs|file.gse>".
// - Without -s the unit is parsed and its tree goes to standard output, one node a line,
//   children indented under their parent with their slot number.
// - With -s the unit and the units it includes (looked up beside it) are parsed and declared,
//   the root in full, as a compile does before code generation; then every global symbol is
//   dumped, classes with their members.
// Messages go to standard error; "-q" prints nothing else. The exit code is the error count (at
// most 255), 1 for a file that cannot be read and 2 for wrong usage.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_environment.h"
#include "gscompiler/compile_log.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/gs_source_file.h"
#include "gscompiler/parse_entry.h"
#include "gscompiler/parse_node.h"
#include "qel/file.h"
#include "qel/pstring.h"

namespace {

void PrintMessages(GSCompileLog& log, FILE* out) {
  while (const char* message = log.Take()) std::fprintf(out, "%s\n", message);
}

int PrintTree(const char* path, bool quiet) {
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
  PrintMessages(log, stderr);
  if (!quiet && result == 0) {
    const std::string tree = GSCompiler::DumpParseTree(unit.topLevel);
    std::fwrite(tree.data(), 1, tree.size(), stdout);
  }
  return std::clamp(unit.errorCount + result, 0, 255);
}

int PrintSymbols(const char* path, bool quiet) {
  const Qel::File::Path source(path);
  IncludePathList& search = GetIncludeSearchList();
  search.Clear();
  search.Add(source.GetFolder().CStr(), Qel::PString());
  GSCompileLog log;
  auto state = std::make_unique<GSCompilerState>();
  const i32 errors = DeclareTopUnit(*state, source.GetFileName().CStr(), &log);
  PrintMessages(log, stderr);
  if (!quiet) {
    state->symbols.Dump(log);
    PrintMessages(log, stdout);
  }
  search.Clear();
  return std::clamp(errors, 0, 255);
}

}  // namespace

int main(int argc, char** argv) {
  bool quiet = false;
  bool symbols = false;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-q") == 0) {
      quiet = true;
    } else if (std::strcmp(argv[i], "-s") == 0) {
      symbols = true;
    } else if (!path && argv[i][0] != '-') {
      path = argv[i];
    } else {
      path = nullptr;
      break;
    }
  }
  if (!path) {
    std::fprintf(stderr, "usage: gsparse [-q] [-s] <file.gs|file.gse>\n");
    return 2;
  }
  return symbols ? PrintSymbols(path, quiet) : PrintTree(path, quiet);
}
