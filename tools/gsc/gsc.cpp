// Runs the compile command without the tool's start-up, so tests and benchmarks can compile
// without a daemon: "gsc <options> <source>" behaves as "KestroUtil compile <options> <source>".
#include <algorithm>
#include <vector>

#include "gscompiler/compile_driver.h"

int main(int argc, char** argv) {
  // The driver expects the command word in argv[1], blanked as the front end does.
  static char blank[] = "";
  std::vector<char*> args;
  args.push_back(argc > 0 ? argv[0] : blank);
  args.push_back(blank);
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
#ifdef NDEBUG
  // Sanitised test builds free everything, so that a leak still shows.
  LeaveCompileStateToExit(true);
#endif
  const int errors = CompileCommand(static_cast<int>(args.size()) - 1, args.data());
  // Exit codes keep 8 bits; 256 errors must not read as success.
  return std::clamp(errors, 0, 255);
}
