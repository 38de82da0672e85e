// FindAsset and GetLocalisedName from a script over 1,000 installed assets, under the host's
// script context, beside the same daemon requests made from C++ in a loop (resolve the KUID, ask
// for the asset's record). Each script run has a fresh context, so every asset is asked of the
// daemon as in the C++ loop. The daemon is the installation's stand-in, started by the client.
// Target: the script within 1.5 times the C++ loop.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_log.h"
#include "gscompiler/include_path_list.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/script_call.h"
#include "pymclient/install_paths.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_client.h"
#include "scripthost/installation_client.h"
#include "scripthost/kestro_script_context.h"
#include "bench_support.h"
#include "scripthost/script_system.h"

namespace {

namespace fs = std::filesystem;
using GSRuntime::ScriptArgument;

const int kAssets = BenchSize(1000, 50);
constexpr i32 kUser = 400400;

constexpr const char* kScript = R"(include "Kestro.gs"
class Names {
  KUID[] kuids;
  public int Prepare(int count) {
    kuids = new KUID[count];
    Soup s = ConstructorsBase.NewSoup();
    int i;
    for (i = 0; i < count; i++) {
      s.SetNamedTag("k", "<kuid:400400:" + i + ">");
      kuids[i] = s.GetNamedTagAsKUID("k");
    }
    return count;
  }
  public int Run() {
    int named = 0;
    int i;
    for (i = 0; i < kuids.size(); i++) {
      Asset a = KestroScriptBase.FindAsset(kuids[i]);
      if (a.GetLocalisedName() != "") named++;
    }
    return named;
  }
};
)";

struct Installation {
  Installation() {
    char name[] = "/tmp/kestro-bench-assetscript-XXXXXX";
    root = mkdtemp(name);
    fs::create_directories(root + "/bin");
    fs::copy_file(KESTRO_BINARY_DIR "/PymDaemon", root + "/bin/PymDaemon");
    for (int i = 0; i < kAssets; ++i) {
      const std::string folder = root + "/UserData/local/a" + std::to_string(i);
      fs::create_directories(folder);
      std::ofstream(folder + "/config.txt")
          << "kuid <kuid:" << kUser << ":" << i << ">\nusername \"Asset " << i
          << "\"\nkind \"scenery\"\ncategory-class \"SY;SCEN\"\n";
    }
    std::ofstream(root + "/names.gs") << kScript;
    IncludePathList includes;
    includes.Add(KESTRO_GSLIB_DIR, Qel::PString());
    GSCompileLog log;
    compiled = CompileLibraryFile((root + "/names.gs").c_str(), nullptr, &includes, &log) == 0;

    client = std::make_unique<ScriptHost::InstallationClient>(root);
    ScriptHost::InitScriptSystem(KESTRO_BINARY_DIR);
    GSMachine::Instance().AddLibraryFolder("", root);
    GSRuntime::GSLibrary* library = GSMachine::Instance().FindLibrary("names.gsl");
    names = library != nullptr ? library->FindClass("Names") : nullptr;
  }
  ~Installation() {
    PymCloseDaemon();
    client.reset();
    ClearInstallPaths();
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  bool Ready() const { return compiled && client->IsOpen() && names != nullptr; }

  std::string root;
  bool compiled = false;
  std::unique_ptr<ScriptHost::InstallationClient> client;
  GSRuntime::GSClass* names = nullptr;
};

Installation& Root() {
  static Installation installation;
  return installation;
}

void BM_ScriptFindAssetAndName(benchmark::State& state) {
  Installation& root = Root();
  if (!root.Ready()) {
    state.SkipWithError("installation not ready");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    GSRuntime::ScriptObjectHolder holder(&KestroScriptContext::Create);
    i32 prepared = 0;
    if (!holder.Create(root.names) ||
        !holder.Call("Prepare", {ScriptArgument::Int(kAssets)}, &prepared)) {
      state.SkipWithError("script set-up failed");
      break;
    }
    state.ResumeTiming();
    i32 named = 0;
    if (!holder.Call("Run", {}, &named) || named != kAssets) {
      state.SkipWithError("script run failed");
      break;
    }
    state.PauseTiming();
    holder.Destroy();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kAssets);
}
BENCHMARK(BM_ScriptFindAssetAndName)->Unit(benchmark::kMillisecond);

void BM_CppResolveAndInfo(benchmark::State& state) {
  Installation& root = Root();
  if (!root.Ready()) {
    state.SkipWithError("installation not ready");
    return;
  }
  for (auto _ : state) {
    int named = 0;
    for (i32 i = 0; i < kAssets; ++i) {
      const KUID kuid = PymResolveKUID(KUID(kUser, i, 0));
      PymAssetInfo info;
      PymGetAssetInfo(kuid, info, PymAssetInfo::kPartAll);
      if (!info.name.IsEmpty()) ++named;
    }
    if (named != kAssets) {
      state.SkipWithError("requests failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kAssets);
}
BENCHMARK(BM_CppResolveAndInfo)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
