#include "mesh/kestro_gloss_rust_material.h"

#include <algorithm>

#include "mesh/kestro_bump_material.h"
#include "mesh/kestro_light_choice.h"
#include "mesh/material_identities.h"
#include "qelgfx/texture.h"

namespace Qel {

namespace {

constexpr f32 kVisibleStrength = KestroBumpGlossMaterial::kVisibleStrength;
constexpr u32 kCubeMap = 1;

f32 Clamp01(f32 v) { return std::clamp(v, 0.0f, 1.0f); }

}  // namespace

KestroGlossRustMaterial::KestroGlossRustMaterial(MaterialManager* manager,
                                                 const u32 (&combiners)[kCombinerCount])
    : ReflectiveMaterial(manager) {
  std::copy(std::begin(combiners), std::end(combiners), combiners_);
}

PString KestroGlossRustMaterial::GetType() const { return KindName(kKindGlossRust); }

Material* KestroGlossRustMaterial::Copy() const {
  auto* copy = CreateOfKind<KestroGlossRustMaterial>(*this, kKindGlossRust);
  if (!copy) return nullptr;
  CopySettingsTo(*copy);
  copy->glossAmount_ = glossAmount_;
  return copy;
}

GeometryChunk* KestroGlossRustMaterial::CreateGeometryChunk(u32 vertexCount, u32 primitiveCount,
                                                            u32 indexCount, u32 faceCount,
                                                            u32 primitive,
                                                            const StandardChunkHint& hint) {
  GeometryChunk* chunk = ReflectiveMaterial::CreateGeometryChunk(
      vertexCount, primitiveCount, indexCount, faceCount, primitive, hint);
  // The sphere-map coordinates are written per chunk, so copies keep their own.
  if (chunk && !(chunk->GetFlags() & GeometryChunk::kPerInstanceCopy)) {
    chunk->SetVertexDataShared(0, -3, false);
  }
  return AddRustAge(chunk);
}

u32 KestroGlossRustMaterial::SetTexture(u32 index, Texture* texture, f32 value) {
  const u32 result = ReflectiveMaterial::SetTexture(index, texture, value);
  if (index == 1 && result == kTextureOk) glossAmount_ = value;
  return result;
}

void KestroGlossRustMaterial::SetDisplayState(Display& display) {
  OneTextureMaterial::SetDisplayState(display);
  display.SetTexture(1, GetTexture(1));
}

void KestroGlossRustMaterial::ClearDisplayState(Display& display) {
  OneTextureMaterial::ClearDisplayState(display);
  display.ResetTextureStage(1);
  display.ResetTextureStage(0);
}

ColourValue KestroGlossRustMaterial::RustySpecular(const ColourValue& specular, f32 rust) const {
  return rust > 0.5f ? specular.Scaled(1.5f - rust) : specular;
}

void KestroGlossRustMaterial::GlossPass(Display& display, const RenderView& view,
                                        const ChunkDraw& draw, const PrimitiveRange* range,
                                        f32 strength) {
  ChangeTexGen(display, false);
  display.BindCombiner(combiners_[0]);
  display.BindCombiner(combiners_[1]);
  const ColourValue gloss{strength, strength, strength, strength};
  display.SetCombinerConstant(0, gloss);
  display.SetCombinerConstant(1, gloss);
  const Texture* reflection = GetTexture(1);
  const bool cube = reflection && reflection->GetKind() == kCubeMap;
  const u32 options = GetFlags();
  if ((options & 1) || cube) {
    if (draw.world && (options & 2) && cube && reflection->IsLoaded()) {
      Matrix4 turn = view.view;
      turn.m[3][0] = turn.m[3][1] = turn.m[3][2] = 0.0f;
      display.SetTextureMatrix(1, &turn);
    }
  } else {
    SetSphericalTexureCoordinates(*draw.chunk, draw.world);
  }
  DrawLit(display, draw, range);
  if ((!cube && (options & 1)) || (cube && (options & 2))) display.SetTextureCoordGen(1, 0, 2);
  display.SetTextureMatrix(1, nullptr);
}

void KestroGlossRustMaterial::RustPass(Display& display, const ChunkDraw& draw,
                                       const PrimitiveRange* range) {
  // The base under the lights that reach it, each channel kept to 0..1.
  const KestroLightChoice lights = ChooseLights(display, draw.lights);
  ColourValue light = lights.ambientSum;
  if (lights.parallel) {
    light.r += lights.parallel->diffuse.r;
    light.g += lights.parallel->diffuse.g;
    light.b += lights.parallel->diffuse.b;
  }
  const ColourValue& diffuse = GetDisplayMaterial().diffuse;
  const ColourValue rust{Clamp01(light.r * diffuse.r), Clamp01(light.g * diffuse.g),
                         Clamp01(light.b * diffuse.b), Clamp01(diffuse.a)};
  display.SetCombinerConstant(0, rust);
  display.SetCombinerConstant(1, rust);
  DrawLit(display, draw, range);
}

void KestroGlossRustMaterial::RenderOne(Display& display, const RenderView& view,
                                        const ChunkDraw& draw, const PrimitiveRange* range) {
  if (!draw.chunk || !GetTexture(0)) return;
  const DisplayMaterial saved = GetDisplayMaterial();
  const f32 rust = GetRustAge(*draw.chunk);
  DisplayMaterial lit = saved;
  lit.ambient = {1.0f, 1.0f, 1.0f, 1.0f};
  lit.specular = RustySpecular(saved.specular, rust);
  SetDisplayMaterialProperties(lit);
  SetDisplayState(display);
  const f32 strength = (1.0f - 2.0f * rust) * glossAmount_;
  if (strength <= kVisibleStrength) {
    display.BindCombiner(combiners_[2]);
    display.BindCombiner(combiners_[3]);
    RustPass(display, draw, range);
  } else {
    GlossPass(display, view, draw, range, strength);
  }
  ClearDisplayState(display);
  SetDisplayMaterialProperties(saved);
}

void KestroGlossRustMaterial::RenderChunk(Display& display, const RenderView& view,
                                          const ChunkDraw& draw) {
  RenderOne(display, view, draw, nullptr);
}

void KestroGlossRustMaterial::RenderPrimitives(Display& display, const RenderView& view,
                                               const ChunkDraw& draw, const PrimitiveRange& range) {
  RenderOne(display, view, draw, &range);
}

void KestroGlossRustMaterial::RenderNumChunks(Display& display, const RenderView& view,
                                              const ChunkDraw* draws, u32 count) {
  const DisplayMaterial saved = GetDisplayMaterial();
  DisplayMaterial lit = saved;
  lit.ambient = {1.0f, 1.0f, 1.0f, 1.0f};
  SetDisplayMaterialProperties(lit);
  SetDisplayState(display);
  for (u32 i = 0; i < count; ++i) {
    if (!draws[i].chunk) continue;
    const f32 strength = (1.0f - 2.0f * GetRustAge(*draws[i].chunk)) * glossAmount_;
    if (strength > kVisibleStrength) GlossPass(display, view, draws[i], nullptr, strength);
  }
  display.BindCombiner(combiners_[2]);
  display.BindCombiner(combiners_[3]);
  for (u32 i = 0; i < count; ++i) {
    if (!draws[i].chunk) continue;
    const f32 rust = GetRustAge(*draws[i].chunk);
    if (rust < 0.5f) continue;
    lit.specular = RustySpecular(saved.specular, rust);
    SetDisplayMaterialProperties(lit);
    RustPass(display, draws[i], nullptr);
  }
  ClearDisplayState(display);
  SetDisplayMaterialProperties(saved);
}

}  // namespace Qel
