// What the level-of-detail fuzz targets share: a scratch folder, and the check that a definition
// that loaded saves, loads back from what it saved and saves the same bytes again.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "mesh/kestro_indexed_mesh_lod_definition.h"
#include "mesh/mesh_load_result.h"
#include "qel/memory_file.h"
#include "qelgfx/display.h"
#include "qelgfx/render_kernel.h"

inline Qel::RenderKernel& LodFuzzKernel() {
  static Qel::RenderKernel* kernel = [] {
    auto* made = new Qel::RenderKernel(nullptr, 1.0f);
    made->SetDisplay(Qel::Display::CreateModest());
    made->GetDisplay()->SetCapability(29, true);  // hardware blend data as well
    return made;
  }();
  return *kernel;
}

// libFuzzer ends by exit(), which runs this destructor: no run leaves its folder behind.
struct LodFuzzScratch {
  std::string path = (std::filesystem::temp_directory_path() / "kestro_lod_fuzz_XXXXXX").string();
  LodFuzzScratch() {
    if (!mkdtemp(path.data())) std::abort();
  }
  ~LodFuzzScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

inline const std::string& LodFuzzFolder() {
  static const LodFuzzScratch folder;
  return folder.path;
}

inline std::string ReadWhole(const std::string& path) {
  Qel::MemoryFile memory;
  if (!memory.LoadFile(path.c_str())) return std::string();
  return std::string(reinterpret_cast<const char*>(memory.GetData()), memory.GetSize());
}

inline void CheckSavesTheSameTwice(const KestroIndexedMeshLODDefinition& definition) {
  const std::string first = LodFuzzFolder() + "/first.lm";
  const std::string second = LodFuzzFolder() + "/second.lm";
  if (definition.Save(first.c_str()) != RES_OK) std::abort();
  KestroIndexedMeshLODDefinition reloaded;
  if (!reloaded.GetMemoryFile().LoadFile(first.c_str())) std::abort();
  Qel::RenderKernel& kernel = LodFuzzKernel();
  if (reloaded.Load(kernel.GetDisplay(), &kernel.GetMaterialManager(), nullptr, 0, 0xFFFFFFFF) !=
          RES_OK ||
      reloaded.Save(second.c_str()) != RES_OK || ReadWhole(first) != ReadWhole(second)) {
    std::abort();
  }
}
