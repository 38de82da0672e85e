#include "mesh/material_identities.h"

#include "qel/render_kernel.h"

namespace Qel {

namespace {

enum Kind : u32 { kBumpGloss, kBump, kBumpEnv, kOneTexNoAlpha, kGlossRust, kMultiPfx, kNoFog };

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

// The programs each bump kind registers and looks up (their texts belong to the bump materials),
// and the combiners of the fixed-function kinds.
constexpr u32 kMaxKindPrograms = 4;
const char* const kBumpPrograms[kBumpEnv + 1][kMaxKindPrograms] = {
    {"KestroBumpMaterial_Vtx", "KestroBumpGlossMat_ParallelLight", "KestroBumpGlossMat_SpotLight",
     "KestroBumpRustMat_ParallelLight"},
    {"KestroBumpMaterial_Vtx", "KestroBumpMat_ParallelLight"},
    {"KestroBumpMaterial_Vtx", "KestroBumpEnvMat_ParallelLight", "KestroBumpEnvMat_SpotLight"},
};
constexpr u32 kCombiners[kPluginMaterialKinds] = {0, 0, 0, 1, 4, 2, 0};

bool IsBumpFamily(u32 index) { return index <= kBumpEnv; }

}  // namespace

Material* KestroMaterial::Copy() const {
  Material* copy = Material::CreateInstance(kind_, GetManager());
  if (copy) CopySettingsTo(*copy);
  return copy;
}

KestroMaterialPlugin::KestroMaterialPlugin(u32 index)
    : OneTextureMaterialPlugin(PString(kMaterialIdentities[index].kind),
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

Material* KestroMaterialPlugin::MakeMaterial(MaterialManager* manager) {
  return new KestroMaterial(manager, GetName());
}

bool KestroMaterialPlugin::PrepareOwnResources(RenderKernel& kernel) {
  Display& display = *kernel.GetDisplay();
  programCount_ = combinerCount_ = 0;
  if (IsBumpFamily(index_) || index_ == kMultiPfx) {
    alphaBlendCache_ = ShareCache(kernel, AlphaBlendCache::AlphaBlendCacheID, [] {
      return static_cast<RenderingCache*>(new AlphaBlendCache("AlphaBlendCache", 60.0f));
    });
    if (!alphaBlendCache_) return false;
  }
  if (IsBumpFamily(index_)) {
    // The program texts belong to the bump materials; until they are registered the names
    // stand for them, so a lookup finds the handle the material will use.
    for (const char* name : kBumpPrograms[index_]) {
      if (!name) break;
      if (display.LookupProgram(name) == 0 && display.RegisterProgram(name, name) == 0) {
        return false;
      }
      ++programCount_;
    }
  }
  for (u32 c = 0; c < kCombiners[index_]; ++c) {
    if (display.CreateCombiner(String::Format("%s.%u", GetName().CStr(), c)) == 0) return false;
    ++combinerCount_;
  }
  return true;
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
