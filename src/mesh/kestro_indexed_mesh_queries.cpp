// The engine's mesh-data queries of an indexed mesh definition, answered from its chunks,
// materials, influence table and attachments.
#include <algorithm>
#include <cstring>

#include "mesh/kestro_indexed_mesh_definition.h"
#include "qelgfx/texture.h"

namespace {

// Each vertex's item, `size` bytes, to the caller's strided buffer.
void CopyItem(Qel::GeometryChunk* chunk, u32 item, u32 size, void* out, u32 stride) {
  const Qel::VertexItemPtr from = chunk ? chunk->GetItem(item) : Qel::VertexItemPtr();
  auto* to = static_cast<u8*>(out);
  for (u32 v = 0; from.IsValid() && to && v < chunk->GetVertexCount(); ++v) {
    std::memcpy(to + size_t(v) * stride, from.data + size_t(v) * from.stride, size);
  }
}

}  // namespace

u32 KestroIndexedMeshDefinition::GetChunkVertexCount(u32 chunk) const {
  const Qel::GeometryChunk* target = chunks_.Get(chunk);
  return target ? target->GetVertexCount() : 0;
}

u32 KestroIndexedMeshDefinition::GetChunkIndexCount(u32 chunk) const {
  const Qel::GeometryChunk* target = chunks_.Get(chunk);
  return target ? target->GetMaxIndices() : 0;
}

u32 KestroIndexedMeshDefinition::GetChunkPrimitiveCount(u32 chunk) const {
  const Qel::GeometryChunk* target = chunks_.Get(chunk);
  return target ? target->GetPrimitiveCount() : 0;
}

void KestroIndexedMeshDefinition::CopyPositions(u32 chunk, void* out, u32 stride) const {
  CopyItem(chunks_.Get(chunk), Qel::kItemPosition, 12, out, stride);
}

void KestroIndexedMeshDefinition::CopyTextureSet(u32 chunk, u32 set, void* out, u32 stride) const {
  if (set < kMaxTextureSets) CopyItem(chunks_.Get(chunk), Qel::kItemTexture0 + set, 8, out, stride);
}

void KestroIndexedMeshDefinition::CopyIndices(u32 chunk, u16* out) const {
  Qel::GeometryChunk* target = chunks_.Get(chunk);
  if (target && out && target->GetIndexArray()) {
    std::copy_n(target->GetIndexArray(), target->GetMaxIndices(), out);
  }
}

void KestroIndexedMeshDefinition::CopyNormals(u32 chunk, void* out, u32 stride) const {
  CopyItem(chunks_.Get(chunk), Qel::kItemNormal, 12, out, stride);
}

void KestroIndexedMeshDefinition::CopyColours(u32 chunk, bool first, u32 fixed, void* out,
                                              u32 stride) const {
  Qel::GeometryChunk* target = chunks_.Get(chunk);
  const u32 item = first ? Qel::kItemColour0 : Qel::kItemColour1;
  if (target && target->GetItem(item).IsValid()) {
    CopyItem(target, item, 4, out, stride);
    return;
  }
  auto* to = static_cast<u8*>(out);
  for (u32 v = 0; target && to && v < target->GetVertexCount(); ++v) {
    std::memcpy(to + size_t(v) * stride, &fixed, 4);
  }
}

void KestroIndexedMeshDefinition::CopyFaceNormals(u32 chunk, f32* out) const {
  Qel::GeometryChunk* target = chunks_.Get(chunk);
  if (target && out && target->GetFaceNormalArray()) {
    std::copy_n(target->GetFaceNormalArray(), size_t(target->GetFaceCount()) * 3, out);
  }
}

Qel::PString KestroIndexedMeshDefinition::GetMaterialName(u32 material) const {
  const Qel::Material* found = materials_.Get(material);
  return found ? found->GetName() : Qel::PString();
}

std::vector<Qel::PString> KestroIndexedMeshDefinition::GetMaterialTextures(u32 material) const {
  std::vector<Qel::PString> names;
  const Qel::Material* found = materials_.Get(material);
  for (u32 stage = 0; found && stage < Qel::Material::kMaxTextures; ++stage) {
    if (const Qel::Texture* texture = found->GetTexture(stage)) {
      names.push_back(texture->GetName().ToPString());
    }
  }
  return names;
}

bool KestroIndexedMeshDefinition::GetMaterialFlag(u32 material) const {
  const Qel::Material* found = materials_.Get(material);
  return found && (found->GetFlags() & 1);
}

f32 KestroIndexedMeshDefinition::GetMaterialFloat(u32 material) const {
  const Qel::Material* found = materials_.Get(material);
  return found ? found->GetMaterialFloat() : 0.0f;
}

Qel::DisplayMaterial KestroIndexedMeshDefinition::GetMaterialDisplay(u32 material) const {
  const Qel::Material* found = materials_.Get(material);
  return found ? found->GetDisplayMaterial() : Qel::DisplayMaterial();
}

u32 KestroIndexedMeshDefinition::GetMaterialPropertyCount(u32 material) const {
  const Qel::Material* found = materials_.Get(material);
  return found ? found->GetPropertyCount() : 0;
}

Qel::String KestroIndexedMeshDefinition::GetMaterialProperty(u32 material, u32 k,
                                                             bool value) const {
  const Qel::Material* found = materials_.Get(material);
  if (!found || k >= found->GetPropertyCount()) return {};
  const auto& [name, text] = found->GetProperty(k);
  return Qel::String((value ? text : name).View());
}

Qel::PString KestroIndexedMeshDefinition::GetBoneName(u32 bone) const {
  return bone < influences_.size() ? influences_[bone].name.ToPString() : Qel::PString();
}

Qel::PString KestroIndexedMeshDefinition::GetBoneParentName(u32 bone) const {
  return bone < influences_.size() ? influences_[bone].parentName.ToPString() : Qel::PString();
}

Qel::Vector3 KestroIndexedMeshDefinition::GetBonePosition(u32 bone) const {
  return bone < influences_.size() ? influences_[bone].position : Qel::Vector3();
}

Qel::Quaternion KestroIndexedMeshDefinition::GetBoneOrientation(u32 bone) const {
  Qel::Quaternion orientation;
  if (bone < influences_.size()) orientation.Set(influences_[bone].orientation);
  return orientation;
}

u32 KestroIndexedMeshDefinition::GetBoneChunkCount(u32 bone) const {
  return bone < influences_.size() ? u32(influences_[bone].entries.size()) : 0;
}

u32 KestroIndexedMeshDefinition::GetBoneEntryChunk(u32 bone, u32 entry) const {
  return entry < GetBoneChunkCount(bone) ? influences_[bone].entries[entry].chunk : 0;
}

u32 KestroIndexedMeshDefinition::GetBoneEntryWeightCount(u32 bone, u32 entry) const {
  return entry < GetBoneChunkCount(bone) ? u32(influences_[bone].entries[entry].weights.size()) : 0;
}

void KestroIndexedMeshDefinition::CopyBoneWeights(u32 bone, u32 entry,
                                                  Qel::InfluenceWeight* out) const {
  if (out && entry < GetBoneChunkCount(bone)) {
    const std::vector<Qel::InfluenceWeight>& weights = influences_[bone].entries[entry].weights;
    std::copy(weights.begin(), weights.end(), out);
  }
}

Qel::PString KestroIndexedMeshDefinition::GetAttachmentName(u32 attachment) const {
  return attachment < attachments_.size() ? attachments_[attachment].name : Qel::PString();
}

Qel::Quaternion KestroIndexedMeshDefinition::GetAttachmentOrientation(u32 attachment) const {
  Qel::Quaternion orientation;
  if (attachment < attachments_.size()) orientation.Set(attachments_[attachment].orientation);
  return orientation;
}

Qel::Vector3 KestroIndexedMeshDefinition::GetAttachmentPosition(u32 attachment) const {
  return attachment < attachments_.size() ? attachments_[attachment].position : Qel::Vector3();
}
