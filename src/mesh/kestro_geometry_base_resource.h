// The resources through which the engine loads Kestro meshes: ".im" indexed meshes and ".pm"
// progressive meshes. Each owns the definition its last successful load made.
#pragma once

#include <memory>
#include <vector>

#include "mesh/kestro_indexed_mesh_definition.h"
#include "mesh/kestro_indexed_mesh_instance.h"
#include "mesh/kestro_mesh_settings.h"
#include "qel/pstring.h"
#include "qelgfx/resource.h"

class KestroGeometryBaseResource : public Qel::Resource {
 public:
  KestroGeometryBaseResource(const Qel::PString& name, Qel::ResourceDatabase* database);
  ~KestroGeometryBaseResource() override;

  // Takes the loaded definition's materials' resources as well.
  u32 LoadAll() override;
  u32 IsAllLoaded() const override;

  // Must be set before the first lock; without it loading fails.
  void SetRenderContext(const KestroRenderContext* context) { context_ = context; }
  const KestroRenderContext* GetRenderContext() const { return context_; }
  const KestroMeshSettings& GetSettings() const { return settings_; }
  bool GetMaterialFallback() const { return materialFallback_; }
  void SetMaterialFallback(bool on) { materialFallback_ = on; }

  // Names of the materials whose creation failed in the last load.
  void AddFailedName(const Qel::PString& name) { nameList_.push_back(name); }
  const std::vector<Qel::PString>& GetNameList() const { return nameList_; }
  void ClearNameList() { nameList_.clear(); }

  KestroIndexedMeshDefinition* GetMeshDefinition() const { return definition_.get(); }
  // A placed instance of the loaded mesh, skinned when the definition has bones and matrices;
  // null without a render context or a definition, or for bones without a root.
  virtual KestroIndexedMeshInstance* CreateMeshInstance() = 0;
  u32 CalculateSize() const { return u32(sizeof *this); }
  virtual u32 CalculateDefinitionSize() const;
  // The definition's load code of the last load (0 when it loaded).
  u32 GetLastLoadCode() const { return lastCode_; }

 protected:
  u32 Load(const Qel::PString& name) override;
  u32 LoadComplete() override;
  void OnUnload() override { definition_.reset(); }
  // Every chunk's buffers for the display; a chunk that refuses drops the definition.
  bool SetUpBuffers(const ChunkArray& chunks);
  // A new, empty definition of the resource's kind.
  virtual std::unique_ptr<KestroIndexedMeshDefinition> MakeDefinition() const = 0;
  // Whether the resource maps the file before the definition's load (the progressive one
  // opens it itself).
  virtual bool OpensFile() const { return true; }

  const KestroRenderContext* context_ = nullptr;
  KestroMeshSettings settings_;
  bool materialFallback_ = false;
  std::vector<Qel::PString> nameList_;
  std::unique_ptr<KestroIndexedMeshDefinition> definition_;
  u32 lastCode_ = 0;

  template <typename Plain, typename Skinned>
  KestroIndexedMeshInstance* MakeInstance();
};

class KestroIndexedMeshResource : public KestroGeometryBaseResource {
 public:
  using KestroGeometryBaseResource::KestroGeometryBaseResource;
  KestroIndexedMeshInstance* CreateMeshInstance() override;

 protected:
  std::unique_ptr<KestroIndexedMeshDefinition> MakeDefinition() const override;
};

class KestroProgressiveMeshResource : public KestroGeometryBaseResource {
 public:
  using KestroGeometryBaseResource::KestroGeometryBaseResource;
  KestroIndexedMeshInstance* CreateMeshInstance() override;

 protected:
  std::unique_ptr<KestroIndexedMeshDefinition> MakeDefinition() const override;
  bool OpensFile() const override { return false; }
};

// The file path of a resource name: through its database when it has one, else the name itself.
bool ResolveMeshPath(const Qel::Resource& resource, Qel::String& path);
