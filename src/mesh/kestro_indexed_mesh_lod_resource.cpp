#include "mesh/kestro_indexed_mesh_lod_resource.h"

#include "mesh/kestro_indexed_mesh_lod_instance.h"
#include "mesh/mesh_load_result.h"
#include "qelgfx/display.h"

std::unique_ptr<KestroIndexedMeshDefinition> KestroIndexedMeshLODResource::MakeDefinition() const {
  return std::make_unique<KestroIndexedMeshLODDefinition>(settings_);
}

u32 KestroIndexedMeshLODResource::LoadTxt(const Qel::PString& /*name*/) {
  ClearNameList();
  definition_.reset();
  lastCode_ = RES_UNKNOWN;
  if (!context_) return kFailed;
  auto definition = std::make_unique<KestroIndexedMeshLODDefinition>(settings_);
  Qel::String path;
  if (!ResolveMeshPath(*this, path)) {
    lastCode_ = RES_FILE_OPEN_ERROR;
    return kFailed;
  }
  lastCode_ = definition->LoadText(path.CStr(), context_->display, context_->materialManager, this,
                                   context_->defaultVertexColour);
  if (lastCode_ != RES_OK) return kFailed;
  definition_ = std::move(definition);
  return kLoaded;
}

u32 KestroIndexedMeshLODResource::LoadComplete() {
  KestroIndexedMeshLODDefinition* definition = GetLODDefinition();
  if (!definition) return Qel::Resource::LoadComplete();
  definition->FinishPendingMaterials();
  definition->ShareEqualMaterials();
  for (const KestroLODLevel& level : definition->GetLevels()) {
    if (!SetUpBuffers(level.chunks)) return kFailed;
  }
  return Qel::Resource::LoadComplete();
}

u32 KestroIndexedMeshLODResource::LoadAll() {
  if (Qel::Resource::LoadAll() != kLoaded) return KestroIndexedMeshInstance::kMaterialsLoading;
  const KestroIndexedMeshLODDefinition* definition = GetLODDefinition();
  for (size_t l = 0; definition && l < definition->GetLevels().size(); ++l) {
    if (!KestroIndexedMeshInstance::TexturesReady(definition->GetLevels()[l].materials)) {
      return KestroIndexedMeshInstance::kMaterialsLoading;
    }
  }
  return KestroIndexedMeshInstance::kMaterialsLoaded;
}

u32 KestroIndexedMeshLODResource::IsAllLoaded() const {
  if (const u32 result = Qel::Resource::IsAllLoaded()) return result;
  const KestroIndexedMeshLODDefinition* definition = GetLODDefinition();
  for (size_t l = 0; definition && l < definition->GetLevels().size(); ++l) {
    u32 code = KestroIndexedMeshInstance::kMaterialsLoaded;
    KestroIndexedMeshInstance::MaterialLoadStatus(definition->GetLevels()[l].materials, code);
    if (code != KestroIndexedMeshInstance::kMaterialsLoaded) return code;
  }
  return KestroIndexedMeshInstance::kMaterialsLoaded;
}

KestroIndexedMeshInstance* KestroIndexedMeshLODResource::CreateMeshInstance() {
  KestroIndexedMeshLODDefinition* definition = GetLODDefinition();
  if (!context_ || !definition) return nullptr;
  KestroIndexedMeshLODInstance* instance = nullptr;
  if (definition->GetBoneCount() == 0) {
    instance = new KestroIndexedMeshLODInstance(definition);
  } else if (definition->GetRootBone()) {
    instance = new KestroDynamicIndexedMeshLODInstance(definition);
  } else {
    return nullptr;
  }
  instance->Setup(this);
  return instance;
}

u32 KestroIndexedMeshLODResource::CalculateDefinitionSize() const {
  const KestroIndexedMeshLODDefinition* definition = GetLODDefinition();
  if (!definition) return 0;
  const std::vector<KestroLODLevel>& levels = definition->GetLevels();
  u64 size = 300ull * definition->GetBoneCount() + 52ull * definition->GetAttachments().size() +
             4ull * definition->GetSwitchDistances().size() +
             12ull * definition->GetNamedMeshes().size() + 40ull * levels.size();
  for (const KestroLODLevel& level : levels) {
    for (u32 i = 0; i < level.chunkCount; ++i) {
      if (const Qel::GeometryChunk* chunk = level.chunks.Get(i)) {
        size +=
            u64(chunk->GetVertexCount()) * chunk->GetVertexSize() + 2ull * chunk->GetMaxIndices();
      }
    }
  }
  // The bone table is counted by the first bone's lists.
  if (definition->GetBoneCount() > 0) {
    size += 68 + 4ull * levels.size();
    for (const KestroLODLevel& level : levels) {
      size += 8;
      if (level.boneEntries.empty()) continue;
      for (const Qel::InfluenceChunkEntry& entry : level.boneEntries[0]) {
        size += 12 + 20ull * entry.weights.size();
      }
    }
  }
  return size > 0xFFFFFFFFu ? 0xFFFFFFFFu : u32(size);
}
