// A Soup native called from a script beside a Str native in the same loop: GetNamedTagAsInt on a
// soup of ten tags against Str.ToInt, each called kCalls times by one script method. The summary
// gives ns per call of each and their ratio against the target (the Soup call within twice the
// Str call).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench_script.h"
#include "scripthost/script_system.h"

namespace {

constexpr const char* kScript = R"(include "Kestro.gs"

class Bench {
  Soup soup;
  public int Fill() {
    soup = ConstructorsBase.NewSoup();
    int i;
    for (i = 0; i < 10; i++) soup.SetNamedTag("tag" + i, i);
    return soup.CountTags();
  }
  public int SoupCalls(int n) {
    int sum = 0;
    int i;
    for (i = 0; i < n; i++) sum = sum + soup.GetNamedTagAsInt("tag7");
    return sum;
  }
  public int StrCalls(int n) {
    int sum = 0;
    int i;
    for (i = 0; i < n; i++) sum = sum + Str.ToInt("7");
    return sum;
  }
};
)";

constexpr i32 kCalls = 10000;
constexpr f64 kTarget = 2.0;

class ScriptSide {
 public:
  bool Open() {
    // The classes Soup objects are made of, from the build's "libraries" folder.
    const std::filesystem::path built = std::filesystem::path(KESTRO_LIBRARIES_DIR).parent_path();
    i32 tags = 0;
    return ScriptHost::InitScriptSystem(built.string()) && script_.Open(kScript, "Bench") &&
           script_.Object().Call("Fill", {}, &tags) && tags == 10;
  }
  bool Run(const char* method, i32* result) {
    return script_.Object().Call(method, {GSRuntime::ScriptArgument::Int(kCalls)}, result);
  }

 private:
  BenchScript script_;
};

ScriptSide* g_side = nullptr;

void RunCalls(benchmark::State& state, const char* method, i32 expected) {
  i32 result = 0;
  for (auto _ : state) {
    if (!g_side->Run(method, &result) || result != expected) {
      state.SkipWithError("the run failed");
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  state.counters["ns_per_call"] = benchmark::Counter(
      kCalls, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (!run.error_occurred) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto soup = times_.find("Soup.GetNamedTagAsInt");
    const auto str = times_.find("Str.ToInt");
    if (soup == times_.end() || str == times_.end()) return;
    const f64 ratio = soup->second / str->second;
    std::printf("\n%14s %14s %8s %8s\n", "Soup ns/call", "Str ns/call", "ratio", "target");
    std::printf("%14.2f %14.2f %8.2f %8.1f%s\n", soup->second / kCalls, str->second / kCalls, ratio,
                kTarget, ratio <= kTarget ? "" : "  (over target)");
  }

 private:
  std::map<std::string, f64> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ScriptSide side;
  if (!side.Open()) {
    std::fprintf(stderr, "gs_soup_native_bench: cannot set up the script\n");
    return 1;
  }
  g_side = &side;
  benchmark::RegisterBenchmark("Soup.GetNamedTagAsInt",
                               [](benchmark::State& s) { RunCalls(s, "SoupCalls", 7 * kCalls); });
  benchmark::RegisterBenchmark("Str.ToInt",
                               [](benchmark::State& s) { RunCalls(s, "StrCalls", 7 * kCalls); });
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
