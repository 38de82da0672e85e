// "tglossrust": one texture with a reflective gloss (sphere map or cube map) whose strength falls
// as the chunk's "RustAge" rises; past half way the chunk is drawn rusty instead, with a rust
// colour from its lights and a dulled specular colour.
#pragma once

#include "qelgfx/material.h"

namespace Qel {

class KestroGlossRustMaterial : public ReflectiveMaterial {
 public:
  static constexpr u32 kCombinerCount = 4;
  // Combiners 1 and 2 draw the gloss, 3 and 4 the rust.
  KestroGlossRustMaterial(MaterialManager* manager, const u32 (&combiners)[kCombinerCount]);

  PString GetType() const override;
  Material* Copy() const override;
  GeometryChunk* CreateGeometryChunk(u32 vertexCount, u32 primitiveCount, u32 indexCount,
                                     u32 faceCount, u32 primitive,
                                     const StandardChunkHint& hint) override;
  // Stage 1 takes the reflection map, and `value` becomes the gloss amount.
  using Material::SetTexture;  // the by-name form, which lands in the one below
  u32 SetTexture(u32 index, Texture* texture, f32 value) override;
  void SetDisplayState(Display& display) override;
  void ClearDisplayState(Display& display) override;
  void RenderChunk(Display& display, const RenderView& view, const ChunkDraw& draw) override;
  void RenderNumChunks(Display& display, const RenderView& view, const ChunkDraw* draws,
                       u32 count) override;
  void RenderPrimitives(Display& display, const RenderView& view, const ChunkDraw& draw,
                        const PrimitiveRange& range) override;

 private:
  void RenderOne(Display& display, const RenderView& view, const ChunkDraw& draw,
                 const PrimitiveRange* range);
  void GlossPass(Display& display, const RenderView& view, const ChunkDraw& draw,
                 const PrimitiveRange* range, f32 strength);
  void RustPass(Display& display, const ChunkDraw& draw, const PrimitiveRange* range);
  // The specular colour a chunk of that rust is drawn with.
  ColourValue RustySpecular(const ColourValue& specular, f32 rust) const;

  u32 combiners_[kCombinerCount];
  f32 glossAmount_ = 1.0f;
};

}  // namespace Qel
