#include "mesh/kestro_multi_pfx_material.h"

#include <iterator>

#include "mesh/kestro_chunk_hint.h"
#include "mesh/material_identities.h"
#include "qelgfx/geometry_chunk_template.h"

namespace Qel {

KestroMultiPFXMaterial::KestroMultiPFXMaterial(MaterialManager* manager, const u32 (&combiners)[2])
    : OneTextureMaterial(manager) {
  std::copy(std::begin(combiners), std::end(combiners), combiners_);
}

PString KestroMultiPFXMaterial::GetType() const { return KindName(kKindMultiPfx); }

Material* KestroMultiPFXMaterial::Copy() const {
  auto* copy = CreateOfKind<KestroMultiPFXMaterial>(*this, kKindMultiPfx);
  if (!copy) return nullptr;
  CopySettingsTo(*copy);
  copy->second_ = second_;
  return copy;
}

bool KestroMultiPFXMaterial::Equals(const Material& other) const {
  const auto* multi = dynamic_cast<const KestroMultiPFXMaterial*>(&other);
  return multi && multi->second_.Get() == second_.Get() && OneTextureMaterial::Equals(other);
}

GeometryChunk* KestroMultiPFXMaterial::CreateGeometryChunk(u32 vertexCount, u32 primitiveCount,
                                                           u32 indexCount, u32 faceCount,
                                                           u32 primitive,
                                                           const StandardChunkHint& hint) {
  u32 flags = 0;
  if (!MakeGeometryChunkFlags(vertexCount, primitive, flags)) return nullptr;
  if (!vertexType_) {
    // The packed PCT record, read by the second stage through the first stage's coordinates.
    VertexType type(kVertexTypeId);
    type.Add(kItemPosition).Add(kItemColour0).Add(kItemTexture0);
    type.vertexItemOffset[kItemTexture0 + 1] = type.vertexItemOffset[kItemTexture0];
    if (!VertexType::Register(type)) return nullptr;
    vertexType_ = VertexType::Find(kVertexTypeId);
  }
  auto* chunk = new GeometryChunkNmlTemplate<PackedVertexPCT>(vertexCount, primitiveCount,
                                                              indexCount, faceCount, flags);
  chunk->SetVertexType(vertexType_);
  if (hint.vertexUsage == KestroChunkHint::kUsageDynamic) chunk->SetVertexDataDynamic(0, -2, true);
  chunk->SetVertexDataShared(0, 0, false);
  if (hint.indexUsage == KestroChunkHint::kUsageDynamic) chunk->SetIndexDataDynamic();
  return chunk;
}

u32 KestroMultiPFXMaterial::SetTexture(u32 index, Texture* texture, f32 value) {
  if (index == kSecondTexture) return second_.Set(*this, index, texture, value);
  return OneTextureMaterial::SetTexture(index, texture, value);
}

Texture* KestroMultiPFXMaterial::GetTexture(u32 index) const {
  return index == kSecondTexture ? second_.Get() : OneTextureMaterial::GetTexture(index);
}

void KestroMultiPFXMaterial::GetTextureList(std::vector<Texture*>& list) const {
  OneTextureMaterial::GetTextureList(list);
  second_.AppendTo(list);
}

bool KestroMultiPFXMaterial::DuplicateTexture(u32 index) {
  return index == kSecondTexture ? second_.Duplicate()
                                 : OneTextureMaterial::DuplicateTexture(index);
}

u32 KestroMultiPFXMaterial::IsLoaded() const {
  return second_.IsLoaded() ? OneTextureMaterial::IsLoaded() : 1;
}

void KestroMultiPFXMaterial::SetDisplayState(Display& display) {
  OneTextureMaterial::SetDisplayState(display);
  if (combiners_[0] && combiners_[1]) {
    display.BindCombiner(combiners_[0]);
    display.BindCombiner(combiners_[1]);
  }
  if (second_.Get()) display.SetTexture(1, second_.Get());
  display.SetTextureMatrix(1, &stageMatrix_);
}

void KestroMultiPFXMaterial::ClearDisplayState(Display& display) {
  OneTextureMaterial::ClearDisplayState(display);
  display.ResetTextureStage(0);
  display.ResetTextureStage(1);
  display.SetTextureMatrix(1, nullptr);
}

void KestroMultiPFXMaterial::Bind(Display& display, u32 pass) {
  if (pass == 0) SetDisplayState(display);
}

void KestroMultiPFXMaterial::Unbind(Display& display, u32 pass) {
  if (pass == 0) ClearDisplayState(display);
}

}  // namespace Qel
