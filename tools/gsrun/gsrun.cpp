// Loads and links a script library: "gsrun --lib DIR [--lib DIR...] --link NAME".
// Every DIR is scanned for libraries; NAME (".gsl" may be left off) is looked up by file name,
// loaded and linked with its dependencies, and its classes and functions are listed. The
// machine's log lines go to stderr. Exit code 0 when the library links, 1 when it cannot be
// loaded or linked, 2 for wrong usage.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gsruntime/gs_machine.h"

namespace {

void PrintLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

int Usage() {
  std::fprintf(stderr, "usage: gsrun --lib DIR [--lib DIR...] --link NAME\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> folders;
  std::string name;
  for (int i = 1; i < argc; ++i) {
    if (i + 1 < argc && std::strcmp(argv[i], "--lib") == 0) {
      folders.emplace_back(argv[++i]);
    } else if (i + 1 < argc && std::strcmp(argv[i], "--link") == 0) {
      name = argv[++i];
    } else {
      return Usage();
    }
  }
  if (folders.empty() || name.empty()) return Usage();
  if (name.size() < 4 || name.compare(name.size() - 4, 4, ".gsl") != 0) name += ".gsl";

  GSMachine::SetLogHook(PrintLog);
  GSMachine& machine = GSMachine::Instance();
  for (const std::string& folder : folders) {
    if (!machine.AddLibraryFolder("", folder)) {
      std::fprintf(stderr, "No libraries in %s\n", folder.c_str());
    }
  }
  GSRuntime::GSLibrary* library = machine.FindLibrary(name);
  if (library == nullptr) {
    std::fprintf(stderr, "Could not load library %s\n", name.c_str());
    return 1;
  }
  std::printf("library %s\n", library->name.c_str());
  for (const auto& cls : library->classes) {
    std::printf("class %s\n", cls->name->c_str());
    for (const GSRuntime::GSFunction& function : cls->functions) {
      std::printf("  %s%s\n", function.name->c_str(),
                  function.IsNative() && function.native == nullptr ? " (native, unbound)" : "");
    }
  }
  return 0;
}
