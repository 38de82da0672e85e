// One-texture materials with fixed-function state of their own: the ground base (depth-write and
// alpha-test switches) and "tonetexnoalpha", a ground base that is never sorted as transparent
// and takes its colour from the vertices where it has them.
#pragma once

#include "mesh/kestro_chunk_hint.h"
#include "qelgfx/material.h"

namespace Qel {

class KestroGroundBaseMaterial : public OneTextureMaterial {
 public:
  explicit KestroGroundBaseMaterial(MaterialManager* manager) : OneTextureMaterial(manager) {}

  PString GetType() const override;
  Material* Copy() const override;
  bool Equals(const Material& other) const override;
  void SetDisplayState(Display& display) override;
  void ClearDisplayState(Display& display) override;
  // Only the first pass has state.
  void Bind(Display& display, u32 pass) override;
  void Unbind(Display& display, u32 pass) override;

 protected:
  void CopyGroundSettingsTo(KestroGroundBaseMaterial& other) const;

 private:
  bool depthWrite_ = true;
  bool alphaTest_ = false;
  bool savedAlphaTest_ = true;
};

class KestroOneTexNoAlphaMaterial : public KestroGroundBaseMaterial {
 public:
  KestroOneTexNoAlphaMaterial(MaterialManager* manager, u32 combiner)
      : KestroGroundBaseMaterial(manager) {
    SetCombiner(combiner);
  }

  // The kind reports its base's type; a copy is made of its own kind, since no plug-in makes the
  // base.
  Material* Copy() const override;
  GeometryChunk* CreateGeometryChunk(u32 vertexCount, u32 primitiveCount, u32 indexCount,
                                     u32 faceCount, u32 primitive,
                                     const StandardChunkHint& hint) override;
  void SetDisplayState(Display& display) override;
  void ClearDisplayState(Display& display) override;
  void CacheAlphaHint() override { SetAlphaHint(0); }
};

}  // namespace Qel
