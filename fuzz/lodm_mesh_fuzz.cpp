// Hostile files through the level-of-detail mesh (LODM) reader; a file that loads must save,
// load back and save the same bytes.
#include "lod_round_trip_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  Qel::RenderKernel& kernel = LodFuzzKernel();
  KestroIndexedMeshLODDefinition definition;
  definition.GetMemoryFile().SetData(data, u32(size));
  const u32 code =
      definition.Load(kernel.GetDisplay(), &kernel.GetMaterialManager(), nullptr, 0, 0xFFFFFFFF);
  if (code > RES_FILE_DATA_ERROR) std::abort();
  if (code == RES_OK) CheckSavesTheSameTwice(definition);
  return 0;
}
