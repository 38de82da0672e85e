// Loading a skinned indexed mesh (".im", 200,000 triangles in 10 chunks) through the resource
// system as the engine would, against reading the same file into memory (the I/O floor). Both
// report bytes per second over the file's size; the target is the load within 3x of the floor.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "bench_support.h"
#include "grid_mesh.h"
#include "mesh/chunk_writer.h"
#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/qel_get_plugins.h"
#include "qel/file.h"
#include "qel/memory_file.h"
#include "qel/resource_database.h"
#include "qelgfx/display.h"
#include "qelgfx/render_kernel.h"
#include "qelgfx/resource_system.h"
#include "support/scratch_folder.h"

namespace {

const u32 kChunks = BenchSize(10u, 2u);
const u32 kGrid = BenchSize(100u, 20u);  // quads a side: 20,000 triangles a chunk
constexpr u32 kBones = 4;

// Removed with the mesh file at exit.
const std::string& Folder() {
  static const scratch::Folder folder;
  return folder.path();
}

// A grid of quads per chunk, two weights a vertex from four bones.
std::string WriteMeshFile() {
  const std::string path = Folder() + "/grid.im";
  WriteGridMesh(path, kChunks, kGrid, kBones);
  return path;
}

const std::string& MeshPath() {
  static const std::string path = WriteMeshFile();
  return path;
}

void BM_ReadFileIntoMemory(benchmark::State& state) {
  const std::string& path = MeshPath();
  u64 bytes = 0;
  for (auto _ : state) {
    Qel::MemoryFile memory;
    memory.LoadFile(path.c_str());
    bytes += memory.GetSize();
    benchmark::DoNotOptimize(memory.GetData());
  }
  state.SetBytesProcessed(i64(bytes));
}
BENCHMARK(BM_ReadFileIntoMemory)->Unit(benchmark::kMillisecond);

void BM_LoadThroughResourceSystem(benchmark::State& state) {
  const std::string& path = MeshPath();
  Qel::RenderKernel kernel(nullptr, 1.0f);
  kernel.SetDisplay(Qel::Display::CreateModest());
  Qel::ResourceDatabase database(Qel::PString("bench"), Folder().c_str());
  Qel::ResourceSystem::SetPluginEntry(&QelGetPlugins);
  Qel::ResourceSystem system;
  system.Init(Qel::Options());
  KestroRenderContext context{kernel.GetDisplay(), &kernel.GetMaterialManager(), 0xFFFFFFFF};
  auto* resource = static_cast<KestroGeometryBaseResource*>(
      system.FindResource(Qel::PString("grid.im"), &database));
  resource->SetRenderContext(&context);
  Qel::MemoryFile sized;
  sized.LoadFile(path.c_str());
  u64 bytes = 0;
  for (auto _ : state) {
    if (resource->Lock() != 0 || resource->GetMeshDefinition()->GetFaceTotal() != 2 * kGrid * kGrid * kChunks) {
      state.SkipWithError("the mesh did not load");
      break;
    }
    resource->Unlock();
    resource->Unload();
    bytes += sized.GetSize();
  }
  state.SetBytesProcessed(i64(bytes));
  resource->ReleaseReference();
}
BENCHMARK(BM_LoadThroughResourceSystem)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
