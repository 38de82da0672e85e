#include "mesh/material_identities.h"

#include <array>
#include <span>

#include "mesh/kestro_bump_material.h"
#include "mesh/kestro_gloss_rust_material.h"
#include "mesh/kestro_ground_base_material.h"
#include "mesh/kestro_multi_pfx_material.h"
#include "mesh/kestro_no_fog_material.h"
#include "qelgfx/render_kernel.h"
#include "qelgfx/texture_args.h"

namespace Qel {

namespace {

// What each kind needs of the display and what stands in for it; no fallback: the one-texture
// rule.
struct Support {
  u32 capabilityA;
  u32 capabilityB;
  u32 minimumStages;
  const char* fallback;
};
constexpr Support kSupport[kPluginMaterialKinds] = {
    {21, 17, 0, "tglossrust"},
    {21, 17, 0, OneTextureMaterial::UNDECORATED_TYPE},
    {21, 17, 0, "tonetexnoalpha"},
    {0, 0, 0, nullptr},
    {1, 1, 0, OneTextureMaterial::UNDECORATED_TYPE},
    {0, 0, 2, OneTextureMaterial::UNDECORATED_TYPE},
    {0, 0, 0, nullptr},
};

// Texture-stage presets of the combiners: (stage, scale, mode, function) and four arguments.
constexpr TexArg kNone{0, 3, 3};
constexpr TextureArgs kT1{0, 2, 0, 1, {{0, 0, 0}, {0, 0, 2}, kNone, kNone}};
constexpr TextureArgs kT2{0, 1, 1, 0, {{0, 1, 0}, kNone, kNone, kNone}};
constexpr TextureArgs kT3{1, 1, 0, 7, {{0, 0, 2}, {0, 0, 0}, {0, 0, 3}, kNone}};
constexpr TextureArgs kT4{1, 1, 1, 0, {{0, 1, 1}, kNone, kNone, kNone}};
constexpr TextureArgs kT5{0, 1, 1, 1, {{1, 1, 2}, {0, 1, 3}, kNone, kNone}};
constexpr TextureArgs kT6{1, 1, 0, 7, {{0, 0, 3}, {0, 0, 0}, {0, 1, 0}, kNone}};
constexpr TextureArgs kM1{0, 2, 0, 1, {{0, 0, 2}, {0, 0, 0}, kNone, kNone}};
constexpr TextureArgs kM2{0, 1, 1, 1, {{0, 1, 2}, {0, 1, 0}, kNone, kNone}};
constexpr TextureArgs kM3{1, 1, 0, 0, {{0, 0, 0}, kNone, kNone, kNone}};
constexpr TextureArgs kM4{1, 1, 1, 1, {{0, 1, 0}, {0, 1, 2}, kNone, kNone}};

struct CombinerPreset {
  u32 stage;
  const TextureArgs* colour;
  const TextureArgs* alpha;
};
constexpr CombinerPreset kGlossRustCombiners[] = {
    {0, &kT1, &kT2}, {1, &kT3, &kT4}, {0, &kT1, &kT5}, {1, &kT6, &kT4}};
constexpr CombinerPreset kNoAlphaCombiners[] = {{0, &kT1, &kT2}};
constexpr CombinerPreset kMultiPfxCombiners[] = {{0, &kM1, &kM2}, {1, &kM3, &kM4}};

bool IsBumpFamily(u32 index) { return index <= kKindBumpEnv; }

BumpKind BumpKindOf(u32 index) {
  return index == kKindBumpGloss ? BumpKind::kBumpGloss
                                 : (index == kKindBumpEnv ? BumpKind::kBumpEnv : BumpKind::kBump);
}

}  // namespace

const PString& KindName(MaterialKindIndex index) {
  static const auto* names = [] {
    auto* made = new std::array<PString, std::size(kMaterialIdentities)>;
    for (size_t k = 0; k < made->size(); ++k) (*made)[k] = PString(kMaterialIdentities[k].kind);
    return made;
  }();
  return (*names)[index];
}

KestroMaterialPlugin::KestroMaterialPlugin(u32 index)
    : OneTextureMaterialPlugin(KindName(MaterialKindIndex(index)),
                               UId(kMaterialIdentities[index].uid)),
      index_(index) {}

bool KestroMaterialPlugin::IsSupported(const Display& display, PString& fallback) const {
  const Support& need = kSupport[index_];
  if (!need.fallback) return OneTextureMaterialPlugin::IsSupported(display, fallback);
  const bool supported =
      need.minimumStages > 0
          ? display.GetTextureStageCount() >= need.minimumStages
          : display.GetCapability(need.capabilityA) && display.GetCapability(need.capabilityB);
  if (supported) return true;
  fallback = need.fallback;
  return false;
}

u32 KestroMaterialPlugin::GetProgramCount() const {
  u32 count = 0;
  for (const BumpPrograms& set : programs_) {
    for (u32 handle : {set.parallelVertex, set.parallelPixel, set.spotVertex, set.spotPixel}) {
      count += handle != 0;
    }
  }
  return count;
}

Material* KestroMaterialPlugin::MakeMaterial(MaterialManager* manager) {
  switch (index_) {
    case kKindBumpGloss:
      return new KestroBumpGlossMaterial(manager, programs_[0], programs_[1]);
    case kKindBump:
      return new KestroBumpMaterial(manager, programs_[0]);
    case kKindBumpEnv:
      return new KestroBumpEnvMaterial(manager, programs_[0]);
    case kKindOneTexNoAlpha:
      return new KestroOneTexNoAlphaMaterial(manager, combiners_[0]);
    case kKindGlossRust:
      return new KestroGlossRustMaterial(
          manager, {combiners_[0], combiners_[1], combiners_[2], combiners_[3]});
    case kKindMultiPfx:
      return new KestroMultiPFXMaterial(manager, {combiners_[0], combiners_[1]});
    default:
      return new KestroNoFogMaterial(manager, 0);
  }
}

bool KestroMaterialPlugin::PrepareCombiners(Display& display) {
  std::span<const CombinerPreset> presets;
  if (index_ == kKindGlossRust) presets = kGlossRustCombiners;
  if (index_ == kKindOneTexNoAlpha) presets = kNoAlphaCombiners;
  if (index_ == kKindMultiPfx) presets = kMultiPfxCombiners;
  // Handles of another kernel's display mean nothing here: this display's are made afresh.
  combinerCount_ = 0;
  for (const CombinerPreset& preset : presets) {
    const u32 handle =
        display.CreateCombiner(CombinerText(preset.stage, *preset.colour, *preset.alpha));
    if (handle == 0) {
      while (combinerCount_ > 0) display.ReleaseCombiner(combiners_[--combinerCount_]);
      return false;
    }
    combiners_[combinerCount_++] = handle;
  }
  return true;
}

bool KestroMaterialPlugin::PrepareOwnResources(RenderKernel& kernel) {
  Display& display = *kernel.GetDisplay();
  if (IsBumpFamily(index_) || index_ == kKindMultiPfx) {
    alphaBlendCache_ = ShareCache(kernel, AlphaBlendCache::AlphaBlendCacheID, [] {
      return static_cast<RenderingCache*>(new AlphaBlendCache("AlphaBlendCache", 60.0f));
    });
    if (!alphaBlendCache_) return false;
  }
  if (IsBumpFamily(index_)) {
    programs_[0] = programs_[1] = BumpPrograms();  // looked up in this kernel's display
    return PrepareBumpPrograms(display, BumpKindOf(index_), programs_);
  }
  return PrepareCombiners(display);
}

namespace {

template <typename T>
void CreateOnce(u32 index) {
  if (!MaterialPlugin::Find(PString(kMaterialIdentities[index].kind))) new T();
}

}  // namespace

void CreateMaterialPlugins() {
  CreateOnce<KestroBumpGlossMaterialPlugin>(0);
  CreateOnce<KestroBumpMaterialPlugin>(1);
  CreateOnce<KestroBumpEnvMaterialPlugin>(2);
  CreateOnce<KestroOneTexNoAlphaMaterialPlugin>(3);
  CreateOnce<KestroGlossRustMaterialPlugin>(4);
  CreateOnce<KestroMultiPFXMaterialPlugin>(5);
  CreateOnce<KestroNoFogMaterialPlugin>(6);
}

}  // namespace Qel
