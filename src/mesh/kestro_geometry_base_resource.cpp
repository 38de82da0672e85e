#include "mesh/kestro_geometry_base_resource.h"

#include "mesh/kestro_dynamic_mesh_instance.h"
#include "mesh/kestro_indexed_mesh_definition.h"
#include "mesh/kestro_progressive_mesh_definition.h"
#include "mesh/mesh_load_result.h"
#include "qel/resource_database.h"
#include "qelgfx/display.h"

KestroGeometryBaseResource::KestroGeometryBaseResource(const Qel::PString& name,
                                                       Qel::ResourceDatabase* database)
    : Qel::Resource(name, database) {}

KestroGeometryBaseResource::~KestroGeometryBaseResource() = default;

bool ResolveMeshPath(const Qel::Resource& resource, Qel::String& path) {
  const Qel::String name(resource.GetName());
  if (const Qel::ResourceDatabase* database = resource.GetDatabase()) {
    return database->FindFile(name, path) || database->GetFilePath(name, path);
  }
  path = name;
  return true;
}

u32 KestroGeometryBaseResource::Load(const Qel::PString& /*name*/) {
  ClearNameList();
  definition_.reset();
  lastCode_ = RES_UNKNOWN;
  if (!context_) return kFailed;
  std::unique_ptr<KestroIndexedMeshDefinition> definition = MakeDefinition();
  if (OpensFile()) {
    Qel::String path;
    if (!ResolveMeshPath(*this, path) || !definition->GetMemoryFile().LoadFile(path.CStr())) {
      lastCode_ = RES_FILE_OPEN_ERROR;
      return kFailed;
    }
    definition->SetFileName(path);
  }
  lastCode_ = definition->Load(context_->display, context_->materialManager, this, 0,
                               context_->defaultVertexColour);
  if (lastCode_ != RES_OK) return kFailed;
  definition_ = std::move(definition);
  return kLoaded;
}

u32 KestroGeometryBaseResource::LoadComplete() {
  if (definition_) {
    definition_->FinishPendingMaterials();
    if (!SetUpBuffers(definition_->GetChunks())) return kFailed;
  }
  return Qel::Resource::LoadComplete();
}

bool KestroGeometryBaseResource::SetUpBuffers(const ChunkArray& chunks) {
  for (u32 i = 0; i < chunks.Count() && context_ && context_->display; ++i) {
    Qel::GeometryChunk* chunk = chunks.Get(i);
    if (chunk && !chunk->InitializeBuffers(*context_->display, true)) {
      lastCode_ = RES_FILE_DATA_ERROR;
      definition_.reset();
      return false;
    }
  }
  return true;
}

u32 KestroGeometryBaseResource::LoadAll() {
  u32 result = Qel::Resource::LoadAll();
  if (result != kLoaded || !definition_) return result;
  const MaterialArray materials = definition_->GetMaterials();
  for (u32 i = 0; i < materials.Count(); ++i) {
    if (Qel::Material* material = materials.Get(i)) {
      if (u32 answer = material->LoadResources()) result = answer;
    }
  }
  return result;
}

u32 KestroGeometryBaseResource::IsAllLoaded() const {
  const u32 result = Qel::Resource::IsAllLoaded();
  if (result != kLoaded || !definition_) return result;
  const MaterialArray materials = definition_->GetMaterials();
  for (u32 i = 0; i < materials.Count(); ++i) {
    if (Qel::Material* material = materials.Get(i)) {
      if (u32 answer = material->IsLoaded()) return answer;
    }
  }
  return kLoaded;
}

u32 KestroGeometryBaseResource::CalculateDefinitionSize() const {
  if (!definition_) return 0;
  u64 size = sizeof(KestroIndexedMeshDefinition);
  const ChunkArray& chunks = definition_->GetChunks();
  for (u32 i = 0; i < chunks.Count(); ++i) {
    if (const Qel::GeometryChunk* chunk = chunks.Get(i)) {
      size += u64(chunk->GetVertexCount()) * chunk->GetVertexSize() +
              u64(chunk->GetMaxIndices()) * 2 + u64(chunk->GetFaceCount()) * 12;
    }
  }
  return size > 0xFFFFFFFFu ? 0xFFFFFFFFu : u32(size);
}

std::unique_ptr<KestroIndexedMeshDefinition> KestroIndexedMeshResource::MakeDefinition() const {
  return std::make_unique<KestroIndexedMeshDefinition>(settings_);
}

std::unique_ptr<KestroIndexedMeshDefinition> KestroProgressiveMeshResource::MakeDefinition() const {
  KestroMeshSettings settings = settings_;
  if (!settings.dynamicIndex.present) settings.dynamicIndex = {1, 1};
  return std::make_unique<KestroProgressiveMeshDefinition>(settings);
}

template <typename Plain, typename Skinned>
KestroIndexedMeshInstance* KestroGeometryBaseResource::MakeInstance() {
  if (!context_ || !definition_) return nullptr;
  KestroIndexedMeshInstance* instance = nullptr;
  if (definition_->HasInfluenceTable() && definition_->GetMatrixCount() != 0) {
    if (!definition_->GetRootBone()) return nullptr;
    instance = new Skinned(definition_.get());
  } else {
    instance = new Plain(definition_.get());
  }
  instance->Setup(this);
  return instance;
}

KestroIndexedMeshInstance* KestroIndexedMeshResource::CreateMeshInstance() {
  return MakeInstance<KestroIndexedMeshInstance, KestroDynamicIndexedMeshInstance>();
}

KestroIndexedMeshInstance* KestroProgressiveMeshResource::CreateMeshInstance() {
  return MakeInstance<KestroProgressiveMeshInstance, KestroDynamicProgressiveMeshInstance>();
}
