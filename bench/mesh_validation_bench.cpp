// Validating an asset whose configuration names one 200,000-triangle mesh (".im", 10 chunks)
// against what `meshtool info` does with the same file: load it through the resource system over
// the modest null display and go through its chunks. Validation adds the configuration, the
// container tree, the placed instance and the attachment and texture collectors; the target is
// validation within 1.5x of the peer.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "assetdata/results_log.h"
#include "bench_support.h"
#include "grid_mesh.h"
#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/qel_get_plugins.h"
#include "qel/resource_database.h"
#include "qelgfx/display.h"
#include "qelgfx/render_kernel.h"
#include "qelgfx/resource_system.h"
#include "ratio_reporter.h"
#include "support/scratch_folder.h"
#include "validation/data_manager.h"
#include "validation/error_handler.h"
#include "validation/validation_run.h"

namespace {

const u32 kChunks = BenchSize(10u, 2u);
const u32 kGrid = BenchSize(100u, 10u);  // quads a side: 20,000 triangles a chunk

const scratch::Folder& Folder() {
  static const scratch::Folder folder;
  return folder;
}

// The asset folder: the mesh and a configuration naming it, with the definitions beside it.
const std::string& AssetFolder() {
  static const std::string asset = [] {
    const scratch::Folder& folder = Folder();
    folder.Put("tet/inheritance.txt", "");
    folder.Put("tet/container.txt", "");
    folder.Put("tet/kind.txt",
               "thing\n{\n  top-level 1\n  subpossibilities\n  {\n    kind\n    {\n"
               "      type \"string\"\n    }\n    kestro-build\n    {\n      type \"float\"\n"
               "    }\n    mesh\n    {\n      type \"filepath\"\n      datatype \"meshes\"\n"
               "    }\n  }\n}\n");
    folder.Put("asset/config.txt", "kind \"thing\"\nkestro-build 3.5\nmesh \"grid.im\"\n");
    WriteGridMesh(folder.At("asset/grid.im"), kChunks, kGrid, 0);
    return folder.At("asset");
  }();
  return asset;
}

struct Engine {
  Engine() : kernel(nullptr, 1.0f) {
    kernel.SetDisplay(Qel::Display::CreateModest());
    Qel::ResourceSystem::SetPluginEntry(&QelGetPlugins);
    system.Init(Qel::Options("-NullRender"));
    system.SetMaterialManager(&kernel.GetMaterialManager());
  }
  ~Engine() { system.SetMaterialManager(nullptr); }
  Qel::RenderKernel kernel;
  Qel::ResourceSystem system;
};

void BM_MeshtoolInfo(benchmark::State& state) {
  const std::string& asset = AssetFolder();
  Engine engine;
  Qel::ResourceDatabase database(Qel::PString("meshtool"), asset.c_str());
  KestroRenderContext context{engine.kernel.GetDisplay(), &engine.kernel.GetMaterialManager(),
                              0xFFFFFFFF};
  for (auto _ : state) {
    auto* mesh = static_cast<KestroGeometryBaseResource*>(
        engine.system.FindResource(Qel::PString("grid.im"), &database));
    mesh->SetRenderContext(&context);
    if (mesh->Lock() != 0) {
      state.SkipWithError("the mesh did not load");
      mesh->ReleaseReference();
      break;
    }
    const KestroIndexedMeshDefinition* definition = mesh->GetMeshDefinition();
    u32 faces = 0;
    for (u32 i = 0; i < definition->GetChunkCount(); ++i) {
      faces += definition->GetChunks().Get(i)->GetFaceCount();
    }
    benchmark::DoNotOptimize(faces);
    mesh->Unlock();
    mesh->ReleaseReference();
    engine.system.PurgeUnused();
  }
}
BENCHMARK(BM_MeshtoolInfo)->Unit(benchmark::kMillisecond);

void BM_ValidateAsset(benchmark::State& state) {
  const std::string& asset = AssetFolder();
  Engine engine;
  TETLib::ErrorHandler::CreateInstance();
  TETLib::DataManager::CreateInstance(Folder().At("tet").c_str());
  EngineContext context;
  context.resourceSystem = &engine.system;
  context.renderKernel = &engine.kernel;
  TETLib::DataManager::Instance().SetEngineContext(context);
  TETLib::DataManager::Instance().RegisterKestroBumpVertexType();
  for (auto _ : state) {
    ResultsLog log;
    if (!TETLib::ValidateAssetFolder(&log, Qel::PString(), Qel::File::Path(asset.c_str()), false) ||
        log.GetErrorCount() + log.GetWarningCount() != 0) {
      state.SkipWithError("the asset did not validate cleanly");
      break;
    }
  }
  TETLib::DataManager::DestroyInstance();
  TETLib::ErrorHandler::DestroyInstance();
}
BENCHMARK(BM_ValidateAsset)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter(RatioReporter::Clock::kProcessor);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double peer = reporter.Seconds("BM_MeshtoolInfo");
  const double ours = reporter.Seconds("BM_ValidateAsset");
  if (peer > 0 && ours > 0) {
    std::printf("validation / meshtool info: %.2fx (target within 1.5x)\n", ours / peer);
  }
  benchmark::Shutdown();
  return 0;
}
