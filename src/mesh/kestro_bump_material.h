// The bump kinds: a textured chunk lit per pixel from a bump map by one parallel light and at
// most one spot light, drawn with the built-in programs their plug-ins look up.
// "tbumptex" is the plain kind, "tbumpenv" adds a cube-map reflection and "tbumpgloss" a gloss
// map that fades with the chunk's "RustAge".
#pragma once

#include "mesh/kestro_bump_programs.h"
#include "mesh/kestro_light_choice.h"
#include "mesh/kestro_texture_slot.h"
#include "qelgfx/material.h"

namespace Qel {

class KestroBumpMaterial : public OneTextureMaterial {
 public:
  static constexpr u32 kBumpTexture = 8;

  KestroBumpMaterial(MaterialManager* manager, const BumpPrograms& programs);

  PString GetType() const override;
  Material* Copy() const override;
  bool Equals(const Material& other) const override;
  GeometryChunk* CreateGeometryChunk(u32 vertexCount, u32 primitiveCount, u32 indexCount,
                                     u32 faceCount, u32 primitive,
                                     const StandardChunkHint& hint) override;
  using Material::SetTexture;  // the by-name form, which lands in the one below
  u32 SetTexture(u32 index, Texture* texture, f32 value) override;
  Texture* GetTexture(u32 index) const override;
  void GetTextureList(std::vector<Texture*>& list) const override;
  bool DuplicateTexture(u32 index) override;
  u32 IsLoaded() const override;
  void SetDisplayState(Display& display) override;
  void ClearDisplayState(Display& display) override;
  void RenderChunk(Display& display, const RenderView& view, const ChunkDraw& draw) override;
  void RenderNumChunks(Display& display, const RenderView& view, const ChunkDraw* draws,
                       u32 count) override;
  void RenderPrimitives(Display& display, const RenderView& view, const ChunkDraw& draw,
                        const PrimitiveRange& range) override;

 protected:
  // Which combiner register holds the specular colour, and whether the kind adds a map at
  // stage 3 (environment and gloss): those draw chunk by chunk and not by primitive range.
  KestroBumpMaterial(MaterialManager* manager, const BumpPrograms& programs, u32 specular,
                     bool reflective);
  void CopyBumpSettingsTo(KestroBumpMaterial& other) const;
  bool BumpEquals(const Material& other) const;
  void ParallelPass(Display& display, const RenderView& view, const ChunkDraw& draw,
                    const KestroLightChoice& lights, const PrimitiveRange* range);
  // Adds the spot light over what the parallel pass drew, with the blend source given.
  void SpotPass(Display& display, const RenderView& view, const ChunkDraw& draw, const Light& spot,
                u32 blendSource, const PrimitiveRange* range);

 private:
  void DrawPass(Display& display, const ChunkDraw& draw, const PrimitiveRange* range,
                u32 vertexProgram, u32 pixelProgram);

  KestroTextureSlot bump_{true};
  BumpPrograms programs_;
  u32 specularRegister_;
  bool reflective_;
};

class KestroBumpEnvMaterial : public KestroBumpMaterial {
 public:
  static constexpr u32 kEnvironmentTexture = 9;

  KestroBumpEnvMaterial(MaterialManager* manager, const BumpPrograms& programs)
      : KestroBumpMaterial(manager, programs, 2, true) {}

  PString GetType() const override;
  Material* Copy() const override;
  bool Equals(const Material& other) const override;
  using Material::SetTexture;  // the by-name form, which lands in the one below
  u32 SetTexture(u32 index, Texture* texture, f32 value) override;
  Texture* GetTexture(u32 index) const override;
  void GetTextureList(std::vector<Texture*>& list) const override;
  bool DuplicateTexture(u32 index) override;
  u32 IsLoaded() const override;
  void RenderChunk(Display& display, const RenderView& view, const ChunkDraw& draw) override;
  void SetEnvironmentRotation(const Matrix4& rotation) { rotation_ = rotation; }

 private:
  KestroTextureSlot environment_{true};
  Matrix4 rotation_;
};

class KestroBumpGlossMaterial : public KestroBumpMaterial {
 public:
  static constexpr u32 kGlossTexture = 9;
  // Strengths at or below this draw nothing: under one step of an 8-bit colour.
  static constexpr f32 kVisibleStrength = 1.0f / 255.0f;

  KestroBumpGlossMaterial(MaterialManager* manager, const BumpPrograms& gloss,
                          const BumpPrograms& rust)
      : KestroBumpMaterial(manager, gloss, 3, true), rust_(rust) {}

  PString GetType() const override;
  Material* Copy() const override;
  bool Equals(const Material& other) const override;
  GeometryChunk* CreateGeometryChunk(u32 vertexCount, u32 primitiveCount, u32 indexCount,
                                     u32 faceCount, u32 primitive,
                                     const StandardChunkHint& hint) override;
  // Index 9 takes the gloss map, and `value` becomes the gloss amount.
  using Material::SetTexture;  // the by-name form, which lands in the one below
  u32 SetTexture(u32 index, Texture* texture, f32 value) override;
  Texture* GetTexture(u32 index) const override;
  void GetTextureList(std::vector<Texture*>& list) const override;
  bool DuplicateTexture(u32 index) override;
  u32 IsLoaded() const override;
  void SetDisplayState(Display& display) override;
  void RenderChunk(Display& display, const RenderView& view, const ChunkDraw& draw) override;

 private:
  KestroTextureSlot gloss_{true};
  BumpPrograms rust_;  // held for the material's life; the plug-in makes none without it
  f32 glossAmount_ = 1.0f;
};

// The chunk's "RustAge", 0 when it has none.
f32 GetRustAge(const GeometryChunk& chunk);
// Adds "RustAge" at 0 to a new chunk of a kind that reads it; null passes through.
GeometryChunk* AddRustAge(GeometryChunk* chunk);

}  // namespace Qel
