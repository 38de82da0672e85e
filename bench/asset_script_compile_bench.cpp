// An asset script of 2,000 lines compiled through PymCompileAsset (configuration, asset
// specification, cache check, compile into the asset's library cache, link and kind check)
// beside the `compile` command on the same file. Every run first edits the script (a comment
// line), as a user does between two validations: so every run compiles a library of its own and
// links it, in a script system set up once, as the command host's is. Target: PymCompileAsset
// within 1.2 times `compile`.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "assetdata/results_log.h"
#include "bench_support.h"
#include "gscompiler/compile_driver.h"
#include "gsruntime/gs_machine.h"
#include "pymclient/install_paths.h"
#include "pymclient/spec_registry.h"
#include "scripthost/gso_library.h"
#include "scripthost/pym_compile_asset.h"

namespace {

namespace fs = std::filesystem;

const int kLines = BenchSize(2000, 200);

// Methods of eight lines each, in one class, until the line count is reached.
std::string Script(int edit) {
  std::string text = "// edit " + std::to_string(edit) + "\nclass Big\n{\n  int total;\n";
  int lines = 5;
  for (int m = 0; lines + 8 <= kLines; ++m, lines += 8) {
    const std::string n = std::to_string(m);
    text += "  public int Step" + n + "(int x)\n  {\n    int i;\n";
    text += "    for (i = 0; i < x; i++) { if (i % 3 == 0) total = total + i + " + n + "; }\n";
    text += "    if (total > 1000) total = total - x;\n";
    text += "    return total;\n  }\n\n";
  }
  text += "};\n";
  for (; lines < kLines; ++lines) text += "\n";
  return text;
}

struct Installation {
  Installation() {
    char name[] = "/tmp/kestro-bench-assetcompile-XXXXXX";
    root = mkdtemp(name);
    asset = root + "/UserData/local/big";
    fs::create_directories(asset);
    // The standard libraries the script system binds, as an installation ships them.
    fs::create_directories(root + "/bin/libraries");
    for (const auto& entry : fs::directory_iterator(KESTRO_LIBRARIES_DIR)) {
      fs::copy_file(entry.path(), root + "/bin/libraries/" + entry.path().filename().string());
    }
    std::ofstream(asset + "/config.txt")
        << "kuid <kuid:400100:9001>\nkind \"scenery\"\nkestro-build 3.5\nscript \"big\"\n"
           "class \"Big\"\n";
    Edit();
    InitInstallPaths(Qel::File::Path(root.c_str()));
    CreateUserDataFolders();
    CreateSpecRegistry();
    InstallScriptSpecFactory();
    cache = root + "/UserData/cache/libraries/kuid 400100 9001";
  }
  // A new text of the script, so that its compiled library is new too.
  void Edit() { std::ofstream(asset + "/big.gs") << Script(edits++); }
  ~Installation() {
    DeleteSpecRegistry();
    ReleaseContentDatabases();
    ClearInstallPaths();
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::string root;
  std::string asset;
  std::string cache;
  int edits = 0;
};

Installation& Root() {
  static Installation installation;
  return installation;
}

void BM_PymCompileAsset(benchmark::State& state) {
  Installation& root = Root();
  {
    // The script system's set-up, once, as the command host does it at its first asset.
    ResultsLog log;
    if (!PymCompileAsset("local", Qel::File::Path(root.asset.c_str()), log)) {
      state.SkipWithError("PymCompileAsset failed");
      return;
    }
  }
  for (auto _ : state) {
    state.PauseTiming();
    root.Edit();
    // The cache folder keeps only the newest library, so runs do not fill the disk.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root.cache, ec)) fs::remove(entry.path(), ec);
    state.ResumeTiming();
    ResultsLog log;
    if (!PymCompileAsset("local", Qel::File::Path(root.asset.c_str()), log)) {
      state.SkipWithError("PymCompileAsset failed");
      break;
    }
  }
}
BENCHMARK(BM_PymCompileAsset)->Unit(benchmark::kMillisecond);

void BM_CompileCommand(benchmark::State& state) {
  Installation& root = Root();
  const std::string source = root.asset + "/big.gs";
  const std::string output = "-p" + root.root + "/";
  const std::string library = root.root + "/big.gsl";
  for (auto _ : state) {
    // As for PymCompileAsset, a new file each time: replacing one costs a flush on close.
    state.PauseTiming();
    root.Edit();
    std::error_code ec;
    fs::remove(library, ec);
    state.ResumeTiming();
    char program[] = "KestroUtil";
    char silent[] = "-s";
    std::string out = output;
    std::string in = source;
    char* argv[] = {program, silent, out.data(), in.data()};
    if (CompileCommand(4, argv) != 0) {
      state.SkipWithError("compile failed");
      break;
    }
  }
}
BENCHMARK(BM_CompileCommand)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
