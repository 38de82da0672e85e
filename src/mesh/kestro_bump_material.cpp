#include "mesh/kestro_bump_material.h"

#include "mesh/kestro_chunk_hint.h"
#include "mesh/material_identities.h"
#include "qelgfx/geometry_chunk_template.h"

namespace Qel {

namespace {

constexpr f32 kSpecularAlpha = 0.75f;
const ColourValue kNoLight{0.0f, 0.0f, 0.0f, 1.0f};

}  // namespace

f32 GetRustAge(const GeometryChunk& chunk) {
  f32 rust = 0.0f;
  return chunk.GetChunkProperty(kRustAgeProperty, rust) ? rust : 0.0f;
}

GeometryChunk* AddRustAge(GeometryChunk* chunk) {
  if (chunk && chunk->AddChunkProperty(kRustAgeProperty)) {
    chunk->SetChunkProperty(kRustAgeProperty, 0.0f);
  }
  return chunk;
}

KestroBumpMaterial::KestroBumpMaterial(MaterialManager* manager, const BumpPrograms& programs)
    : KestroBumpMaterial(manager, programs, 2, false) {}

KestroBumpMaterial::KestroBumpMaterial(MaterialManager* manager, const BumpPrograms& programs,
                                       u32 specular, bool reflective)
    : OneTextureMaterial(manager),
      programs_(programs),
      specularRegister_(specular),
      reflective_(reflective) {}

PString KestroBumpMaterial::GetType() const { return KindName(kKindBump); }

void KestroBumpMaterial::CopyBumpSettingsTo(KestroBumpMaterial& other) const {
  CopySettingsTo(other);
  other.bump_ = bump_;
}

Material* KestroBumpMaterial::Copy() const {
  auto* copy = CreateOfKind<KestroBumpMaterial>(*this, kKindBump);
  if (copy) CopyBumpSettingsTo(*copy);
  return copy;
}

bool KestroBumpMaterial::BumpEquals(const Material& other) const {
  const auto* bump = dynamic_cast<const KestroBumpMaterial*>(&other);
  return bump && bump->bump_.Get() == bump_.Get() && Material::Equals(other);
}

bool KestroBumpMaterial::Equals(const Material& other) const { return BumpEquals(other); }

GeometryChunk* KestroBumpMaterial::CreateGeometryChunk(u32 vertexCount, u32 primitiveCount,
                                                       u32 indexCount, u32 faceCount, u32 primitive,
                                                       const StandardChunkHint& hint) {
  u32 flags = 0;
  if (!MakeGeometryChunkFlags(vertexCount, primitive, flags)) return nullptr;
  const bool dynamic = KestroChunkOptions(hint) & KestroChunkHint::kDynamic;
  auto* chunk = new GeometryChunkTemplate<PackedVertexPNTA>(vertexCount, primitiveCount, indexCount,
                                                            faceCount, flags);
  if (WantsDynamicVertices(hint, dynamic)) chunk->SetVertexDataDynamic(0, -2, true);
  if (dynamic) chunk->SetVertexDataShared(0, 0, false);
  if (hint.indexUsage == KestroChunkHint::kUsageDynamic) chunk->SetIndexDataDynamic();
  // The reflection coordinates are written per chunk, so copies keep their own.
  if (reflective_ && !(chunk->GetFlags() & GeometryChunk::kPerInstanceCopy)) {
    chunk->SetVertexDataShared(0, -3, false);
  }
  return chunk;
}

u32 KestroBumpMaterial::SetTexture(u32 index, Texture* texture, f32 value) {
  if (index == kBumpTexture) return bump_.Set(*this, index, texture, value);
  return OneTextureMaterial::SetTexture(index, texture, value);
}

Texture* KestroBumpMaterial::GetTexture(u32 index) const {
  return index == kBumpTexture ? bump_.Get() : OneTextureMaterial::GetTexture(index);
}

void KestroBumpMaterial::GetTextureList(std::vector<Texture*>& list) const {
  bump_.AppendTo(list);
  OneTextureMaterial::GetTextureList(list);
}

bool KestroBumpMaterial::DuplicateTexture(u32 index) {
  return index == kBumpTexture ? bump_.Duplicate() : OneTextureMaterial::DuplicateTexture(index);
}

u32 KestroBumpMaterial::IsLoaded() const {
  return bump_.IsLoaded() ? OneTextureMaterial::IsLoaded() : 1;
}

void KestroBumpMaterial::SetDisplayState(Display& display) {
  display.SetTexture(1, bump_.Get());
  OneTextureMaterial::SetDisplayState(display);
}

void KestroBumpMaterial::ClearDisplayState(Display& display) {
  if (reflective_) display.ResetTextureStage(3);
  display.ResetTextureStage(1);
  display.ResetTextureStage(2);
  OneTextureMaterial::ClearDisplayState(display);
}

void KestroBumpMaterial::DrawPass(Display& display, const ChunkDraw& draw,
                                  const PrimitiveRange* range, u32 vertexProgram,
                                  u32 pixelProgram) {
  display.SetPixelProgram(pixelProgram);
  display.SetProgram(vertexProgram);
  if (draw.world) display.SetWorldTransform(*draw.world);
  if (range) {
    draw.chunk->RenderPrimitives(display, *range);
  } else {
    draw.chunk->RenderGeometry(display);
  }
  display.SetPixelProgram(0);
}

void KestroBumpMaterial::ParallelPass(Display& display, const RenderView& view,
                                      const ChunkDraw& draw, const KestroLightChoice& lights,
                                      const PrimitiveRange* range) {
  const DisplayMaterial& m = GetDisplayMaterial();
  const Matrix4 toObject = InverseAffine(draw.world ? *draw.world : Matrix4::Identity());
  if (const Light* light = lights.parallel) {
    display.SetVertexConstant(7, toObject.TransformDirection(light->direction));
    display.SetCombinerConstant(0, Modulate(light->diffuse, m.diffuse, GetOpacity()));
    display.SetVertexConstant(13, toObject.TransformPoint(view.camera));
    display.SetCombinerConstant(specularRegister_,
                                Modulate(light->diffuse, m.specular, kSpecularAlpha));
  } else {
    display.SetVertexConstant(7, Vector3());
    display.SetCombinerConstant(0, kNoLight);
    display.SetVertexConstant(13, Vector3());
    // The other kinds keep their last specular: their programs weigh it by the gloss or rust.
    if (!reflective_) display.SetCombinerConstant(specularRegister_, kNoLight);
  }
  const ColourValue& sum = lights.ambientSum;
  display.SetCombinerConstant(
      1, {m.ambient.r * sum.r + m.emissive.r, m.ambient.g * sum.g + m.emissive.g,
          m.ambient.b * sum.b + m.emissive.b, 1.0f});
  DrawPass(display, draw, range, programs_.parallelVertex, programs_.parallelPixel);
}

void KestroBumpMaterial::SpotPass(Display& display, const RenderView& view, const ChunkDraw& draw,
                                  const Light& spot, u32 blendSource, const PrimitiveRange* range) {
  const bool blend = display.GetAlphaBlendMode();
  u32 source = 0;
  u32 destination = 0;
  display.GetAlphaBlendFunction(source, destination);
  const u32 fog = display.GetFogMode();
  display.SetAlphaBlendMode(true);
  display.SetAlphaBlendFunction(blendSource, 1);
  display.SetFogMode(0);

  const DisplayMaterial& m = GetDisplayMaterial();
  const Matrix4 toObject = InverseAffine(draw.world ? *draw.world : Matrix4::Identity());
  display.SetVertexConstant(7, toObject.TransformDirection(spot.direction));
  display.SetVertexConstant(13, toObject.TransformPoint(view.camera));
  display.SetVertexConstant(5, toObject.TransformPoint(spot.position));
  display.SetVertexConstant(6,
                            {spot.spotCosine, spot.radius > 0.0f ? 1.0f / spot.radius : 0.0f, 0});
  display.SetCombinerConstant(0, Modulate(spot.diffuse, m.diffuse, GetOpacity()));
  display.SetCombinerConstant(1, kNoLight);
  display.SetCombinerConstant(specularRegister_,
                              Modulate(spot.diffuse, m.specular, kSpecularAlpha));
  DrawPass(display, draw, range, programs_.spotVertex, programs_.spotPixel);

  display.SetAlphaBlendMode(blend);
  display.SetAlphaBlendFunction(source, destination);
  display.SetFogMode(fog);
}

void KestroBumpMaterial::RenderChunk(Display& display, const RenderView& view,
                                     const ChunkDraw& draw) {
  if (!draw.chunk) return;
  const KestroLightChoice lights = ChooseLights(display, draw.lights);
  SetDisplayState(display);
  ParallelPass(display, view, draw, lights, nullptr);
  if (lights.spot) SpotPass(display, view, draw, *lights.spot, 4, nullptr);
  ClearDisplayState(display);
}

void KestroBumpMaterial::RenderNumChunks(Display& display, const RenderView& view,
                                         const ChunkDraw* draws, u32 count) {
  if (reflective_) {
    for (u32 i = 0; i < count; ++i) RenderChunk(display, view, draws[i]);
    return;
  }
  SetDisplayState(display);
  for (u32 i = 0; i < count; ++i) {
    if (draws[i].chunk)
      ParallelPass(display, view, draws[i], ChooseLights(display, draws[i].lights), nullptr);
  }
  for (u32 i = 0; i < count; ++i) {
    const KestroLightChoice lights = ChooseLights(display, draws[i].lights);
    if (draws[i].chunk && lights.spot) SpotPass(display, view, draws[i], *lights.spot, 4, nullptr);
  }
  ClearDisplayState(display);
}

void KestroBumpMaterial::RenderPrimitives(Display& display, const RenderView& view,
                                          const ChunkDraw& draw, const PrimitiveRange& range) {
  if (!draw.chunk || reflective_) return;
  const KestroLightChoice lights = ChooseLights(display, draw.lights);
  SetDisplayState(display);
  ParallelPass(display, view, draw, lights, &range);
  if (lights.spot) SpotPass(display, view, draw, *lights.spot, 4, &range);
  ClearDisplayState(display);
}

// Environment.

PString KestroBumpEnvMaterial::GetType() const { return KindName(kKindBumpEnv); }

Material* KestroBumpEnvMaterial::Copy() const {
  auto* copy = CreateOfKind<KestroBumpEnvMaterial>(*this, kKindBumpEnv);
  if (!copy) return nullptr;
  CopyBumpSettingsTo(*copy);
  copy->environment_ = environment_;
  copy->rotation_ = rotation_;
  return copy;
}

bool KestroBumpEnvMaterial::Equals(const Material& other) const {
  const auto* env = dynamic_cast<const KestroBumpEnvMaterial*>(&other);
  return env && env->environment_.Get() == environment_.Get() && BumpEquals(other);
}

u32 KestroBumpEnvMaterial::SetTexture(u32 index, Texture* texture, f32 value) {
  if (index == kEnvironmentTexture) return environment_.Set(*this, index, texture, value);
  return KestroBumpMaterial::SetTexture(index, texture, value);
}

Texture* KestroBumpEnvMaterial::GetTexture(u32 index) const {
  return index == kEnvironmentTexture ? environment_.Get() : KestroBumpMaterial::GetTexture(index);
}

void KestroBumpEnvMaterial::GetTextureList(std::vector<Texture*>& list) const {
  environment_.AppendTo(list);
  KestroBumpMaterial::GetTextureList(list);
}

bool KestroBumpEnvMaterial::DuplicateTexture(u32 index) {
  return index == kEnvironmentTexture ? environment_.Duplicate()
                                      : KestroBumpMaterial::DuplicateTexture(index);
}

u32 KestroBumpEnvMaterial::IsLoaded() const {
  return environment_.IsLoaded() ? KestroBumpMaterial::IsLoaded() : 1;
}

void KestroBumpEnvMaterial::RenderChunk(Display& display, const RenderView& view,
                                        const ChunkDraw& draw) {
  if (!draw.chunk) return;
  const KestroLightChoice lights = ChooseLights(display, draw.lights);
  SetDisplayState(display);
  display.SetTexture(3, environment_.Get());
  if (environment_.Get()) {
    // The reflection turns with the camera: the view's rotation, transposed, then the map's own.
    Matrix4 turn;
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) turn.m[r][c] = view.view.m[c][r];
    }
    const Matrix4 matrix = turn * rotation_;
    display.SetTextureMatrix(1, &matrix);
  }
  ParallelPass(display, view, draw, lights, nullptr);
  if (lights.spot) SpotPass(display, view, draw, *lights.spot, 4, nullptr);
  ClearDisplayState(display);
}

// Gloss.

PString KestroBumpGlossMaterial::GetType() const { return KindName(kKindBumpGloss); }

Material* KestroBumpGlossMaterial::Copy() const {
  auto* copy = CreateOfKind<KestroBumpGlossMaterial>(*this, kKindBumpGloss);
  if (!copy) return nullptr;
  CopyBumpSettingsTo(*copy);
  copy->gloss_ = gloss_;
  copy->glossAmount_ = glossAmount_;
  return copy;
}

bool KestroBumpGlossMaterial::Equals(const Material& other) const {
  const auto* gloss = dynamic_cast<const KestroBumpGlossMaterial*>(&other);
  return gloss && gloss->gloss_.Get() == gloss_.Get() && gloss->glossAmount_ == glossAmount_ &&
         BumpEquals(other);
}

GeometryChunk* KestroBumpGlossMaterial::CreateGeometryChunk(u32 vertexCount, u32 primitiveCount,
                                                            u32 indexCount, u32 faceCount,
                                                            u32 primitive,
                                                            const StandardChunkHint& hint) {
  return AddRustAge(KestroBumpMaterial::CreateGeometryChunk(vertexCount, primitiveCount, indexCount,
                                                            faceCount, primitive, hint));
}

u32 KestroBumpGlossMaterial::SetTexture(u32 index, Texture* texture, f32 value) {
  if (index != kGlossTexture) return KestroBumpMaterial::SetTexture(index, texture, value);
  const u32 result = gloss_.Set(*this, index, texture, value);
  if (result == kTextureOk) glossAmount_ = value;
  return result;
}

Texture* KestroBumpGlossMaterial::GetTexture(u32 index) const {
  return index == kGlossTexture ? gloss_.Get() : KestroBumpMaterial::GetTexture(index);
}

void KestroBumpGlossMaterial::GetTextureList(std::vector<Texture*>& list) const {
  gloss_.AppendTo(list);
  KestroBumpMaterial::GetTextureList(list);
}

bool KestroBumpGlossMaterial::DuplicateTexture(u32 index) {
  return index == kGlossTexture ? gloss_.Duplicate() : KestroBumpMaterial::DuplicateTexture(index);
}

u32 KestroBumpGlossMaterial::IsLoaded() const {
  return gloss_.IsLoaded() ? KestroBumpMaterial::IsLoaded() : 1;
}

void KestroBumpGlossMaterial::SetDisplayState(Display& display) {
  display.SetTexture(3, gloss_.Get());
  KestroBumpMaterial::SetDisplayState(display);
}

void KestroBumpGlossMaterial::RenderChunk(Display& display, const RenderView& view,
                                          const ChunkDraw& draw) {
  if (!draw.chunk) return;
  // The gloss programs light the base fully; the material's own ambient comes back after.
  const DisplayMaterial saved = GetDisplayMaterial();
  DisplayMaterial lit = saved;
  lit.ambient = {1.0f, 1.0f, 1.0f, 1.0f};
  SetDisplayMaterialProperties(lit);
  const KestroLightChoice lights = ChooseLights(display, draw.lights);
  SetDisplayState(display);
  const f32 strength = glossAmount_ * (1.0f - 2.0f * GetRustAge(*draw.chunk));
  if (strength > kVisibleStrength) {
    const ColourValue lerp{strength, strength, strength, strength};
    display.SetCombinerConstant(2, lerp);
    ParallelPass(display, view, draw, lights, nullptr);
    if (lights.spot) {
      display.SetCombinerConstant(2, lerp);
      SpotPass(display, view, draw, *lights.spot, 1, nullptr);
    }
  }
  ClearDisplayState(display);
  SetDisplayMaterialProperties(saved);
}

}  // namespace Qel
