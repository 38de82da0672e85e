// The resource behind "lm" and "lm.txt": it owns one level-of-detail definition, loaded from a
// ".lm" file or from its text description, and makes placed instances of it.
#pragma once

#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/kestro_indexed_mesh_lod_definition.h"

class KestroIndexedMeshLODResource : public KestroGeometryBaseResource {
 public:
  using KestroGeometryBaseResource::KestroGeometryBaseResource;

  // Both answer as the material status does: 0 when the mesh and every texture of every level
  // are in, 1 while something is still to come (a mesh that did not load is tried again by the
  // next lock), and, from IsAllLoaded, 5 when a texture failed to come. LoadAll also asks the
  // textures that are not in to load.
  u32 LoadAll() override;
  u32 IsAllLoaded() const override;
  // A plain instance for a mesh without bones, a skinned one for bones with a skeleton; null
  // without a definition or a render context, and for bones without a skeleton.
  KestroIndexedMeshInstance* CreateMeshInstance() override;
  // The engine's estimate of what the definition holds, for its resource cache.
  u32 CalculateDefinitionSize() const override;
  KestroIndexedMeshLODDefinition* GetLODDefinition() const {
    return static_cast<KestroIndexedMeshLODDefinition*>(definition_.get());
  }

 protected:
  u32 LoadTxt(const Qel::PString& name) override;
  u32 LoadComplete() override;
  std::unique_ptr<KestroIndexedMeshDefinition> MakeDefinition() const override;
};
