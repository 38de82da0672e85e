// A progressive mesh (".pm"): an indexed mesh body followed by a PMIN chunk, which is parsed and
// linked whole and then discarded; the definition keeps only the indexed mesh.
#pragma once

#include "mesh/kestro_indexed_mesh_definition.h"

class KestroProgressiveMeshDefinition : public KestroIndexedMeshDefinition {
 public:
  using KestroIndexedMeshDefinition::KestroIndexedMeshDefinition;

  // Opens the file named by the resource itself; no display capability is asked for.
  u32 Load(Qel::Display* display, Qel::MaterialManager* manager,
           KestroGeometryBaseResource* resource, u32 argument, u32 defaultColour) override;
  // PMIN: pool, entries, groups and levels, each parent owning the next run of children by its
  // count. Counts must fit the chunk and the children they claim must exist.
  virtual u32 ReadPMIN(ChunkReader& reader);  // NOLINT(readability-identifier-naming): chunk name
};
