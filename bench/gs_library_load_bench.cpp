// Load, verify and link 1,000 compiled libraries: a folder scan, then the first use of each by
// file name. Each library derives a class from one shared base library, so every load also
// resolves a dependency. "libraries" is the rate; "verifier_share" the part of the time spent
// in the byte-code verifier (target: under a quarter).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "bench_support.h"
#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_log.h"
#include "gsruntime/gs_machine.h"
#include "support/scratch_folder.h"

namespace {

const int kLibraries = BenchSize(1000, 20);

std::string Source(int n) {
  std::string text = "include \"base.gs\"\nclass Shape" + std::to_string(n) + " isclass Base {\n";
  text += "  int[] cells;\n  public string label = \"shape " + std::to_string(n) + "\";\n";
  for (int m = 0; m < 6; ++m) {
    text += "  public int Step" + std::to_string(m) + "(int x) {\n    int total = 0;\n";
    text += "    int i;\n    for (i = 0; i < x; i++) { if (i % 3 == 0) total = total + i; }\n";
    text += "    return total + Value();\n  }\n";
  }
  text += "  public int Value() { return inherited() + " + std::to_string(n) + "; }\n};\n";
  return text;
}

// Compiles the libraries once per process into a temporary folder, removed at exit.
const std::string& LibraryFolder() {
  static const scratch::Folder folder;
  static const bool compiled = [] {
    const std::string& path = folder.path();
    bool ok = !path.empty();
    const auto put = [&](const std::string& name, const std::string& text) {
      std::ofstream(path + "/" + name) << text;
      GSCompileLog log;
      if (CompileLibraryFile((path + "/" + name).c_str(), nullptr, nullptr, &log) != 0) {
        std::fprintf(stderr, "could not compile %s\n", name.c_str());
        ok = false;
      }
    };
    put("base.gs", "class Base { public int Value() { return 1; } };\n");
    for (int n = 0; ok && n < kLibraries; ++n) put("lib" + std::to_string(n) + ".gs", Source(n));
    return ok;
  }();
  static const std::string none;
  return compiled ? folder.path() : none;
}

void BM_LoadVerifyLink(benchmark::State& state) {
  const std::string& folder = LibraryFolder();
  if (folder.empty()) {
    state.SkipWithError("the libraries did not compile");
    return;
  }
  double verifier = 0, total = 0;
  for (auto _ : state) {
    GSMachine::ResetForTests();
    GSMachine& machine = GSMachine::Instance();
    const auto start = std::chrono::steady_clock::now();
    machine.AddLibraryFolder(folder, "");
    for (int n = 0; n < kLibraries; ++n) {
      if (machine.FindLibrary("lib" + std::to_string(n) + ".gsl") == nullptr) {
        state.SkipWithError("a library did not link");
        return;
      }
    }
    total +=
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    verifier += double(machine.VerifierNanoseconds());
  }
  state.SetItemsProcessed(state.iterations() * kLibraries);
  state.counters["libraries"] =
      benchmark::Counter(double(state.iterations()) * kLibraries, benchmark::Counter::kIsRate);
  state.counters["verifier_share"] = total > 0 ? verifier / total : 0;
}
BENCHMARK(BM_LoadVerifyLink)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
