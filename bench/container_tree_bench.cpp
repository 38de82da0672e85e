// Building the container trees of 1,000 asset configurations against reading them with the soup
// reader alone, over the project's own validation data (data/TETData of the source tree, found
// from this program's place in build/<folder>, or the folder KESTRO_TETDATA names).
//   BM_ParseConfigurations: each configuration's text read into a soup;
//   BM_BuildContainerTrees: the same reads, then each configuration loaded into its container
//                           tree against its kind's definition, and the tree released.
// The configurations are scenery with mesh tables, vehicles with bogeys, tracks and bridges, with
// thumbnails, KUID tables, descriptions and categories, as assets carry them. The ratio printed at
// the end compares the processor times; the target is at most 3x.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "assetdata/soup.h"
#include "assetdata/soup_text.h"
#include "pymclient/install_paths.h"
#include "ratio_reporter.h"
#include "validation/container.h"
#include "validation/data_manager.h"
#include "validation/error_handler.h"

namespace {

constexpr int kConfigurations = 1000;

std::string TetDataFolder() {
  if (const char* given = std::getenv("KESTRO_TETDATA")) return given;
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return {};
  std::string path(exe, size_t(n));
  path.erase(path.rfind('/'));
  return path + "/../../data/TETData";
}

std::string Configuration(std::mt19937& rng, int i) {
  static const char* kinds[] = {"scenery", "buildable", "traincar", "track", "bridge", "mesh"};
  const std::string kind = kinds[i % 6];
  std::string c = "kuid                                    <kuid:400100:" + std::to_string(i) +
                  ">\nusername                                \"Asset " + std::to_string(i) +
                  "\"\nkind                                    \"" + kind +
                  "\"\nkestro-build                            3.5\n"
                  "category-class                          \"BS\"\n"
                  "category-era                            \"1900s;1910s\"\n"
                  "category-region                         \"Germany\"\n"
                  "author                                  \"Demo Maker\"\n"
                  "description                             \"A generated asset for measuring.\"\n"
                  "description-de                          \"Ein Objekt zum Messen.\"\n";
  if (kind == "track" || kind == "bridge") {
    c += "width                                   4.5\n";
    if (kind == "bridge")
      c += "height                                  " + std::to_string(rng() % 3) + "\n";
  } else {
    c += "mesh-table\n{\n";
    const int meshes = 2 + int(rng() % 3);
    for (int m = 0; m < meshes; ++m) {
      c += "  part" + std::to_string(m) + "\n  {\n    mesh                                \"part" +
           std::to_string(m) + ".im\"\n    auto-create                         1\n";
      if (m > 0) c += "    att-parent                          \"part0\"\n";
      c += "  }\n";
    }
    c += "}\n";
  }
  if (kind == "traincar") {
    c += "mass                                    42000\nbogeys\n{\n";
    for (int b = 0; b < 2; ++b) {
      c += "  " + std::to_string(b) +
           "\n  {\n    bogey                               <kuid:400100:" +
           std::to_string(9000 + b) + ">\n    reversed                            " +
           std::to_string(b) + "\n  }\n";
    }
    c += "}\n";
  }
  c += "thumbnails\n{\n  0\n  {\n    image                               \"thumb.jpg\"\n"
       "    width                               240\n    height                              180\n"
       "  }\n}\nkuid-table\n{\n  texture                               <kuid:400100:77>\n}\n";
  return c;
}

const std::vector<std::string>& Configurations() {
  static const std::vector<std::string> configurations = [] {
    std::mt19937 rng(39);
    std::vector<std::string> out;
    for (int i = 0; i < kConfigurations; ++i) out.push_back(Configuration(rng, i));
    return out;
  }();
  return configurations;
}

void BM_ParseConfigurations(benchmark::State& state) {
  const std::vector<std::string>& configurations = Configurations();
  for (auto _ : state) {
    for (const std::string& text : configurations) {
      Soup config;
      ParseSoupText(config, text, false);
      benchmark::DoNotOptimize(config.CountTags());
    }
  }
  state.SetItemsProcessed(state.iterations() * kConfigurations);
}

void BM_BuildContainerTrees(benchmark::State& state) {
  const std::vector<std::string>& configurations = Configurations();
  const std::string folder = TetDataFolder();
  const Qel::SingleLock validation(GetValidationMutex());
  TETLib::ErrorHandler::CreateInstance();
  if (!TETLib::DataManager::CreateInstance(folder.c_str()) ||
      !TETLib::DataManager::Instance().LoadDefinitions()) {
    state.SkipWithError(("no validation data in " + folder).c_str());
    TETLib::ErrorHandler::DestroyInstance();
    return;
  }
  for (auto _ : state) {
    for (const std::string& text : configurations) {
      Soup config;
      ParseSoupText(config, text, false);
      TETLib::ErrorHandler::Instance()->ClearRecords();
      TETLib::Container root;
      if (!root.Load(config)) {
        state.SkipWithError("a configuration did not load");
        break;
      }
      benchmark::DoNotOptimize(root.GetChildren().size());
    }
  }
  state.SetItemsProcessed(state.iterations() * kConfigurations);
  TETLib::DataManager::DestroyInstance();
  TETLib::ErrorHandler::DestroyInstance();
}

// Five rounds of a fifth of a second each; the ratio takes each one's best.
BENCHMARK(BM_ParseConfigurations)->Unit(benchmark::kMillisecond)->MinTime(0.2)->Repetitions(5);
BENCHMARK(BM_BuildContainerTrees)->Unit(benchmark::kMillisecond)->MinTime(0.2)->Repetitions(5);

void PrintRatio(const RatioReporter& reporter) {
  const double parse = reporter.Seconds("BM_ParseConfigurations");
  const double build = reporter.Seconds("BM_BuildContainerTrees");
  if (parse <= 0 || build <= 0) return;
  std::printf("\ncontainer trees / soup reads of %d configurations: %.2fx (target at most 3x)\n",
              kConfigurations, build / parse);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter(RatioReporter::Clock::kProcessor);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatio(reporter);
  benchmark::Shutdown();
  return 0;
}
