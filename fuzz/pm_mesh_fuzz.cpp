// Hostile files through the progressive mesh reader (an IDXM body with PMIN).
#include "mesh/kestro_progressive_mesh_definition.h"
#include "mesh_definition_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzMeshDefinition<KestroProgressiveMeshDefinition>(data, size);
}
