#include "mesh/kestro_no_fog_material.h"

#include "mesh/material_identities.h"

namespace Qel {

PString KestroNoFogMaterial::GetType() const { return KindName(kKindNoFog); }

Material* KestroNoFogMaterial::Copy() const {
  auto* copy = CreateOfKind<KestroNoFogMaterial>(*this, kKindNoFog);
  if (!copy) return nullptr;
  CopySettingsTo(*copy);
  copy->SetBlendFactors(blendSource_, blendDestination_);
  return copy;
}

void KestroNoFogMaterial::SetDisplayState(Display& display) {
  savedFog_ = display.GetFogMode();
  display.SetFogMode(0);
  display.SetCullMode((GetFlags() & kTwoSided) ? 0 : 1);
  if (Texture* texture = GetTexture(0)) display.SetTexture(0, texture);
  if (!(GetFlags() & kNoBlend)) {
    savedBlend_ = display.GetAlphaBlendMode();
    display.GetAlphaBlendFunction(savedSource_, savedDestination_);
    display.SetAlphaBlendFunction(blendSource_, blendDestination_);
    display.SetAlphaBlendMode(true);
  }
  if (GetCombiner()) display.BindCombiner(GetCombiner());
}

void KestroNoFogMaterial::ClearDisplayState(Display& display) {
  display.SetFogMode(savedFog_);
  display.SetCullMode(1);
  if (!(GetFlags() & kNoBlend)) {
    display.SetAlphaBlendFunction(savedSource_, savedDestination_);
    display.SetAlphaBlendMode(savedBlend_);
  }
  if (GetCombiner()) display.BindCombiner(0);
}

}  // namespace Qel
