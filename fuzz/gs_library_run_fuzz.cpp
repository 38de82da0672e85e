// Arbitrary bytes as a library file, loaded through the machine as any asset's library is; when
// it links, an object of each class is constructed and each of its script functions is called
// with plain arguments under a small run budget. Whatever the verifier lets through is thereby
// run: every fault must end in the run's error exit, none in a crash or a sanitizer report.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_script_instance.h"
#include "gsruntime/gs_thread.h"
#include "gsruntime/script_call.h"

namespace {

namespace fs = std::filesystem;
using GSRuntime::ScriptArgument;

// Formats every line, as a real hook would, and drops it.
void DropLine(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
}

// libFuzzer ends by exit(), which runs this destructor: no run leaves its folder behind.
struct ScratchFolder {
  fs::path path = fs::temp_directory_path() / ("gs_library_run_fuzz." + std::to_string(getpid()));
  ScratchFolder() { fs::create_directories(path); }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

const fs::path& Folder() {
  static const ScratchFolder folder;
  return folder.path;
}

// One plain argument for each parameter type of a signature text: references are null.
std::vector<ScriptArgument> ArgumentsFor(const std::string& signature) {
  std::vector<ScriptArgument> arguments;
  const size_t open = signature.find('(');
  const size_t close = signature.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close <= open + 1) {
    return arguments;
  }
  const std::string list = signature.substr(open + 1, close - open - 1);
  for (size_t start = 0; start <= list.size();) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string type = list.substr(start, end - start);
    if (type == "int" || type == "bool") {
      arguments.push_back(ScriptArgument::Int(3));
    } else if (type == "float") {
      arguments.push_back(ScriptArgument::Float(1.5f));
    } else if (type == "string") {
      arguments.push_back(ScriptArgument::String("ab"));
    } else {
      arguments.push_back(ScriptArgument::NullString());
    }
    start = end + 1;
  }
  return arguments;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 18)) return 0;
  GSMachine::SetLogHook(DropLine);
  GSMachine::ResetForTests();
  GSRuntime::GSThread::SetRunBudget(1u << 16);
  const fs::path file = Folder() / "fuzz.gsl";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  }
  GSMachine& machine = GSMachine::Instance();
#ifdef KESTRO_LIBRARIES_DIR
  // The base library, so that game-object classes link and their objects take messages.
  machine.AddLibraryFolder("", KESTRO_LIBRARIES_DIR);
#endif
  machine.AddLibraryFolder("", Folder().string());
  GSRuntime::GSLibrary* library = machine.FindLibrary("fuzz.gsl");
  if (library != nullptr) {
    for (const auto& cls : library->classes) {
      GSRuntime::ScriptObjectHolder object;
      if (!object.Create(cls.get())) continue;
      for (const GSRuntime::GSFunction& function : cls->functions) {
        // Natives have no code here; field initialisers ran with the construction.
        if (function.IsNative() || (function.record.header.flags & 0x20) != 0) continue;
        const std::vector<ScriptArgument> arguments = ArgumentsFor(*function.name);
        if (arguments.size() + 1 != function.record.header.argumentWords) continue;
        u32 word = 0;
        if (object.Call(&function, arguments, &word) && function.record.header.returnType >= 4) {
          GSRuntime::GSScriptInstance::Release(word);
        }
      }
    }
  }
  GSMachine::ResetForTests();
  return 0;
}
