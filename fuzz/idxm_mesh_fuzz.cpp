// Hostile files through the indexed mesh (IDXM) reader.
#include "mesh/kestro_indexed_mesh_definition.h"
#include "mesh_definition_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzMeshDefinition<KestroIndexedMeshDefinition>(data, size);
}
