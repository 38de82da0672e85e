// The body the mesh definition fuzz targets share: every input ends with a load code, never a
// read past the file or an allocation far beyond it; a definition that loads is whole (its chunks
// hold what their counts say).
#pragma once

#include <cstdint>
#include <cstdlib>

#include "mesh/mesh_load_result.h"
#include "qelgfx/display.h"
#include "qelgfx/render_kernel.h"

template <typename Definition>
int FuzzMeshDefinition(const uint8_t* data, size_t size) {
  static Qel::RenderKernel* kernel = [] {
    auto* made = new Qel::RenderKernel(nullptr, 1.0f);
    made->SetDisplay(Qel::Display::CreateModest());
    made->GetDisplay()->SetCapability(29, true);  // hardware blend data as well
    return made;
  }();
  if (size > 0xFFFFFFFFu) return 0;
  Definition definition;
  definition.GetMemoryFile().SetData(data, u32(size));
  const u32 code =
      definition.Load(kernel->GetDisplay(), &kernel->GetMaterialManager(), nullptr, 0, 0xFFFFFFFF);
  if (code > RES_FILE_DATA_ERROR) std::abort();
  if (code == RES_OK) {
    for (u32 i = 0; i < definition.GetChunkCount(); ++i) {
      Qel::GeometryChunk* chunk = definition.GetChunks().Get(i);
      if (!chunk || chunk->GetVertexCount() == 0 || chunk->GetMaxIndices() == 0) std::abort();
    }
    definition.FinishPendingMaterials();
  }
  return 0;
}
