// One object of a script class for a benchmark: the source compiled into a temporary folder (the
// standard library sources on its include path) and loaded beside the build's standard libraries.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_log.h"
#include "gscompiler/include_path_list.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/script_call.h"

class BenchScript {
 public:
  // Compiles `source` as "bench.gs" and makes an object of `className`; false when either fails.
  bool Open(const char* source, const char* className) {
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "kestro_bench_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return false;
    folder_ = pattern;
    std::ofstream(folder_ / "bench.gs") << source;
    IncludePathList includes;
    includes.Add(KESTRO_GSLIB_DIR, Qel::PString());
    GSCompileLog log;
    const std::string path = (folder_ / "bench.gs").string();
    const std::string output = folder_.string() + "/";
    if (CompileLibraryFile(path.c_str(), output.c_str(), &includes, &log) != 0) return false;
    GSMachine& machine = GSMachine::Instance();
    machine.AddLibraryFolder("", KESTRO_LIBRARIES_DIR);
    machine.AddLibraryFolder("", folder_.string());
    GSRuntime::GSLibrary* library = machine.FindLibrary("bench.gsl");
    return library != nullptr && object_.Create(library->FindClass(className));
  }
  ~BenchScript() {
    object_.Destroy();
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

  GSRuntime::ScriptObjectHolder& Object() { return object_; }

 private:
  std::filesystem::path folder_;
  GSRuntime::ScriptObjectHolder object_;
};
