// "tmpfx": a base texture and a second texture drawn in one pass through two texture stages, the
// second with a matrix of its own. Its chunks carry vertex colours and keep normals apart.
#pragma once

#include "mesh/kestro_texture_slot.h"
#include "qelgfx/material.h"

namespace Qel {

class KestroMultiPFXMaterial : public OneTextureMaterial {
 public:
  static constexpr u32 kSecondTexture = 12;
  static constexpr u32 kVertexTypeId = 99;

  KestroMultiPFXMaterial(MaterialManager* manager, const u32 (&combiners)[2]);

  PString GetType() const override;
  Material* Copy() const override;
  bool Equals(const Material& other) const override;
  GeometryChunk* CreateGeometryChunk(u32 vertexCount, u32 primitiveCount, u32 indexCount,
                                     u32 faceCount, u32 primitive,
                                     const StandardChunkHint& hint) override;
  using Material::SetTexture;  // the by-name form, which lands in the one below
  u32 SetTexture(u32 index, Texture* texture, f32 value) override;
  Texture* GetTexture(u32 index) const override;
  u32 IsLoaded() const override;
  void GetTextureList(std::vector<Texture*>& list) const override;
  bool DuplicateTexture(u32 index) override;
  void SetDisplayState(Display& display) override;
  void ClearDisplayState(Display& display) override;
  void Bind(Display& display, u32 pass) override;
  void Unbind(Display& display, u32 pass) override;
  void SetStageMatrix(const Matrix4& matrix) { stageMatrix_ = matrix; }
  // Made with the first chunk; every later chunk shares it.
  const VertexType* GetChunkVertexType() const { return vertexType_; }

 private:
  KestroTextureSlot second_{false};
  u32 combiners_[2];
  Matrix4 stageMatrix_;
  const VertexType* vertexType_ = nullptr;
};

}  // namespace Qel
