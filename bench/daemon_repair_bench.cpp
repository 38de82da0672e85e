// The daemon's repair over 10,000 generated asset folders beside the I/O floor: `cat` reading the
// same configuration files. One run measures both; counters: each side in ms, their ratio
// (target: within 3) and assets repaired per second.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_support.h"
#include "daemon/asset_store.h"
#include "support/scratch_folder.h"

namespace {

using Clock = std::chrono::steady_clock;
const int kAssets = BenchSize(10000, 100);

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_RepairAgainstCat(benchmark::State& state) {
  const scratch::Folder folder;
  if (folder.path().empty()) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string& userData = folder.path();
  for (int i = 0; i < kAssets; ++i) {
    const std::string folder =
        userData + "/local/set" + std::to_string(i / 100) + "/asset" + std::to_string(i);
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/config.txt")
        << "kuid <kuid:400:" << i << ">\nusername \"Asset " << i
        << "\"\nkind \"scenery\"\ncategory-class \"SI\"\nauthor \"Maker " << i % 50
        << "\"\nkestro-build 3.5\nkuid-table {\n  0 <kuid:400:" << (i + 1) % kAssets << ">\n}\n";
  }
  PymDaemonSrv::AssetStore store;
  std::string error;
  if (!store.Open(userData, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::string cat =
      "find '" + userData + "/local' -name config.txt -exec cat {} + > /dev/null";
  double repairSeconds = 0;
  double catSeconds = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    if (!store.ReopenIndex(&error) || !store.Rebuild(&error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    repairSeconds += Seconds(start);
    start = Clock::now();
    if (std::system(cat.c_str()) != 0) {
      state.SkipWithError("cat failed");
      break;
    }
    catSeconds += Seconds(start);
  }
  const double runs = double(state.iterations());
  state.counters["repair_ms"] = repairSeconds / runs * 1000;
  state.counters["cat_ms"] = catSeconds / runs * 1000;
  state.counters["ratio"] = repairSeconds / catSeconds;
  state.counters["assets_per_s"] = kAssets * runs / repairSeconds;
  store.Close();
}
BENCHMARK(BM_RepairAgainstCat)->Unit(benchmark::kMillisecond)->Iterations(BenchSize(3, 1));

}  // namespace

BENCHMARK_MAIN();
