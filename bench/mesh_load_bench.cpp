// Loading a skinned indexed mesh (".im", 200,000 triangles in 10 chunks) through the resource
// system as the engine would, against reading the same file into memory (the I/O floor). Both
// report bytes per second over the file's size; the target is the load within 3x of the floor.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "bench_support.h"
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
const u32 kSide = kGrid + 1;
constexpr u32 kBones = 4;

// Removed with the mesh file at exit.
const std::string& Folder() {
  static const scratch::Folder folder;
  return folder.path();
}

// A grid of quads per chunk, two weights a vertex from four bones.
std::string WriteMeshFile() {
  const std::string path = Folder() + "/grid.im";
  Qel::File file;
  file.Open(path.c_str(), Qel::File::kModeCreate);
  ChunkWriter w(file);
  w.BeginFile("IDXM");
  w.BeginChunk("INFO", 103);
  for (f32 v : {0.f, 0.f, 0.f, 0.f, 0.f, 0.f, 1.f}) w.WriteF32(v);
  w.WriteU32(kChunks);
  w.WriteU32(2);
  w.WriteU32(kBones);
  w.EndChunk();
  const u32 vertices = kSide * kSide;
  const u32 triangles = 2 * kGrid * kGrid;
  for (u32 c = 0; c < kChunks; ++c) {
    w.BeginChunk("CHNK", 100);
    w.WriteU32(0);
    w.BeginChunk("MATL", 103);
    w.WritePaddedString("grid.m.onetex");
    w.WriteU32(0);
    w.WriteU32(0);
    w.WriteF32(1.0f);
    for (int k = 0; k < 13; ++k) w.WriteF32(k < 6 ? 1.0f : 10.0f);
    w.WriteU32(0);
    w.EndChunk();
    w.BeginChunk("GEOM", 103);
    w.WriteU32(4);
    w.WriteF32(0.0f);
    for (u32 v : {vertices, triangles, 3 * triangles, triangles, 1u, 2u}) w.WriteU32(v);
    for (u32 y = 0; y < kSide; ++y) {
      for (u32 x = 0; x < kSide; ++x) {
        for (f32 v : {f32(x), f32(y), f32(c), f32(x) / kGrid, f32(y) / kGrid}) w.WriteF32(v);
      }
    }
    for (u32 y = 0; y < kGrid; ++y) {
      for (u32 x = 0; x < kGrid; ++x) {
        const u32 a = y * kSide + x;
        for (u32 i : {a, a + 1, a + kSide + 1, a, a + kSide + 1, a + kSide}) w.WriteU16(u16(i));
      }
    }
    for (u32 v = 0; v < vertices; ++v) {
      for (f32 n : {0.f, 0.f, 1.f}) w.WriteF32(n);
    }
    for (u32 t = 0; t < triangles; ++t) {
      for (f32 n : {0.f, 0.f, 1.f}) w.WriteF32(n);
    }
    w.EndChunk();
    w.EndChunk();
  }
  w.BeginChunk("INFL", 100);
  w.WriteU32(kBones);
  for (u32 b = 0; b < kBones; ++b) {
    w.WritePaddedString(("bone" + std::to_string(b)).c_str());
    w.WritePaddedString(b == 0 ? "" : "bone0");
    for (f32 v : {0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f}) w.WriteF32(v);
    w.WriteU32(kChunks / 2);
    for (u32 c = b % 2; c < kChunks; c += 2) {
      w.WriteU32(c);
      w.WriteU32(vertices);
      for (u32 v = 0; v < vertices; ++v) {
        w.WriteU32(v);
        for (f32 f : {0.5f, 0.f, 0.f, 0.f}) w.WriteF32(f);
      }
    }
  }
  w.EndChunk();
  w.EndFile();
  file.Close();
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
