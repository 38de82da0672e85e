// How the daemon's index changes grow with the number of assets, each side by side with its peer
// in one run:
// - one delete among 100 assets against one delete among 10,000 (counter "ratio", target: within
//   1.2): a change looks only at the folders it touched;
// - deleting all of 10,000 assets one by one, as vnydeleteall asks the daemon to, against
//   `rm -rf` of the same folders (counter "ratio", target: within 5).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "daemon/asset_editor.h"
#include "daemon/asset_store.h"

namespace {

using Clock = std::chrono::steady_clock;
using PymDaemonSrv::AssetEditor;
using PymDaemonSrv::AssetStore;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string MakeTemporaryFolder() {
  char pattern[] = "/tmp/kestro-scale-benchXXXXXX";
  return mkdtemp(pattern) != nullptr ? std::string(pattern) : std::string();
}

// `count` asset folders of 100 each below local/, each depending on the next.
void WriteAssets(const std::string& userData, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string folder =
        userData + "/local/set" + std::to_string(i / 100) + "/asset" + std::to_string(i);
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/config.txt")
        << "kuid <kuid:400:" << i << ">\nusername \"Asset " << i
        << "\"\nkind \"scenery\"\nauthor \"Maker " << i % 50
        << "\"\nkestro-build 3.5\nkuid-table {\n  0 <kuid:400:" << (i + 1) % count << ">\n}\n";
  }
}

// A store over `count` assets with its editor; null (and the reason) when it cannot open.
struct Installation {
  std::string userData = MakeTemporaryFolder();
  AssetStore store;
  std::unique_ptr<AssetEditor> editor;

  bool Open(int count, std::string& error) {
    if (userData.empty()) {
      error = "no temporary folder";
      return false;
    }
    WriteAssets(userData, count);
    if (!store.Open(userData, &error)) return false;
    editor = std::make_unique<AssetEditor>(store);
    return true;
  }
  ~Installation() {
    editor.reset();
    store.Close();
    if (!userData.empty()) std::filesystem::remove_all(userData);
  }
};

constexpr int kDeletes = 200;

void BM_DeleteAmong100Against10000(benchmark::State& state) {
  Installation small;
  Installation large;
  std::string error;
  if (!small.Open(100 + kDeletes, error) || !large.Open(10000 + kDeletes, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  double smallSeconds = 0;
  double largeSeconds = 0;
  int next = 0;
  for (auto _ : state) {
    if (next == kDeletes) {
      state.SkipWithError("out of assets to delete");
      break;
    }
    const KUID kuid(400, next++, 0);
    // Each side goes first every other time, so that neither always finds the disk busy.
    bool deleted = true;
    for (int side = 0; side < 2; ++side) {
      const bool large_side = (side + next) % 2 == 0;
      Installation& target = large_side ? large : small;
      const auto start = Clock::now();
      deleted = target.editor->Delete(kuid, true, error) && deleted;
      (large_side ? largeSeconds : smallSeconds) += Seconds(start);
    }
    if (!deleted) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  const double runs = double(state.iterations());
  state.counters["at100_ms"] = smallSeconds / runs * 1000;
  state.counters["at10000_ms"] = largeSeconds / runs * 1000;
  state.counters["ratio"] = largeSeconds / smallSeconds;
}
BENCHMARK(BM_DeleteAmong100Against10000)->Unit(benchmark::kMillisecond)->Iterations(kDeletes);

void BM_DeleteAllAgainstRmRf(benchmark::State& state) {
  constexpr int kAssets = 10000;
  double deleteSeconds = 0;
  double rmSeconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string error;
    auto store = std::make_unique<Installation>();
    const std::string peer = MakeTemporaryFolder();
    if (!store->Open(kAssets, error) || peer.empty()) {
      state.SkipWithError(error.c_str());
      break;
    }
    WriteAssets(peer, kAssets);
    state.ResumeTiming();
    auto start = Clock::now();
    for (const KUID& kuid : store->store.Search(nullptr)) {
      if (!store->editor->Delete(kuid, true, error)) {
        state.SkipWithError(error.c_str());
        break;
      }
    }
    deleteSeconds += Seconds(start);
    start = Clock::now();
    if (std::system(("rm -rf '" + peer + "/local'").c_str()) != 0) {
      state.SkipWithError("rm failed");
      break;
    }
    rmSeconds += Seconds(start);
    state.PauseTiming();
    std::filesystem::remove_all(peer);
    store.reset();
    state.ResumeTiming();
  }
  state.counters["delete_all_ms"] = deleteSeconds / double(state.iterations()) * 1000;
  state.counters["rm_rf_ms"] = rmSeconds / double(state.iterations()) * 1000;
  state.counters["ratio"] = deleteSeconds / rmSeconds;
}
BENCHMARK(BM_DeleteAllAgainstRmRf)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
