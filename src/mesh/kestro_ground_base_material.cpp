#include "mesh/kestro_ground_base_material.h"

#include "mesh/material_identities.h"
#include "qelgfx/geometry_chunk_template.h"

namespace Qel {

PString KestroGroundBaseMaterial::GetType() const { return KindName(kKindGroundBase); }

void KestroGroundBaseMaterial::CopyGroundSettingsTo(KestroGroundBaseMaterial& other) const {
  CopySettingsTo(other);
  other.depthWrite_ = depthWrite_;
  other.alphaTest_ = alphaTest_;
}

Material* KestroGroundBaseMaterial::Copy() const {
  auto* copy = CreateOfKind<KestroGroundBaseMaterial>(*this, kKindGroundBase);
  if (copy) CopyGroundSettingsTo(*copy);
  return copy;
}

bool KestroGroundBaseMaterial::Equals(const Material& other) const {
  const auto* ground = dynamic_cast<const KestroGroundBaseMaterial*>(&other);
  return ground && ground->depthWrite_ == depthWrite_ && ground->alphaTest_ == alphaTest_ &&
         OneTextureMaterial::Equals(other);
}

void KestroGroundBaseMaterial::SetDisplayState(Display& display) {
  OneTextureMaterial::SetDisplayState(display);
  savedAlphaTest_ = display.GetAlphaTestMode();
  display.SetAlphaTestMode(alphaTest_);
  display.SetDepthWriteMode(depthWrite_);
}

void KestroGroundBaseMaterial::ClearDisplayState(Display& display) {
  OneTextureMaterial::ClearDisplayState(display);
  display.SetAlphaTestMode(savedAlphaTest_);
  display.SetDepthWriteMode(true);
}

void KestroGroundBaseMaterial::Bind(Display& display, u32 pass) {
  if (pass == 0) SetDisplayState(display);
}

void KestroGroundBaseMaterial::Unbind(Display& display, u32 pass) {
  if (pass == 0) ClearDisplayState(display);
}

Material* KestroOneTexNoAlphaMaterial::Copy() const {
  auto* copy = CreateOfKind<KestroOneTexNoAlphaMaterial>(*this, kKindOneTexNoAlpha);
  if (copy) CopyGroundSettingsTo(*copy);
  return copy;
}

GeometryChunk* KestroOneTexNoAlphaMaterial::CreateGeometryChunk(u32 vertexCount, u32 primitiveCount,
                                                                u32 indexCount, u32 faceCount,
                                                                u32 primitive,
                                                                const StandardChunkHint& hint) {
  u32 flags = 0;
  if (!MakeGeometryChunkFlags(vertexCount, primitive, flags)) return nullptr;
  const u32 options = KestroChunkOptions(hint);
  const bool colours = options & KestroChunkHint::kVertexColours;
  const bool dynamic = options & KestroChunkHint::kDynamic;
  GeometryChunk* chunk = nullptr;
  if (colours) {
    chunk = new GeometryChunkNmlTemplate<PackedVertexPCT>(vertexCount, primitiveCount, indexCount,
                                                          faceCount, flags);
  } else {
    chunk = new GeometryChunkTemplate<PackedVertexPNT>(vertexCount, primitiveCount, indexCount,
                                                       faceCount, flags);
  }
  if (WantsDynamicVertices(hint, dynamic)) chunk->SetVertexDataDynamic(0, -2, true);
  if (dynamic || colours) chunk->SetVertexDataShared(0, 0, false);
  if (hint.indexUsage == KestroChunkHint::kUsageDynamic) chunk->SetIndexDataDynamic();
  return chunk;
}

void KestroOneTexNoAlphaMaterial::SetDisplayState(Display& display) {
  KestroGroundBaseMaterial::SetDisplayState(display);
  display.SetColorMaterialMode(5);
}

void KestroOneTexNoAlphaMaterial::ClearDisplayState(Display& display) {
  KestroGroundBaseMaterial::ClearDisplayState(display);
  display.SetColorMaterialMode(0);
}

}  // namespace Qel
