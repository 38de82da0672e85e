// "nofogtex": one texture drawn without fog and, unless its options say otherwise, blended with
// factors of its own. Whatever it changes on the display it puts back as it found it.
#pragma once

#include "qelgfx/material.h"

namespace Qel {

class KestroNoFogMaterial : public OneTextureMaterial {
 public:
  // Option bits of the material's flags: 1 draws both sides, 2 leaves blending alone.
  enum Options : u32 { kTwoSided = 1, kNoBlend = 2 };

  KestroNoFogMaterial(MaterialManager* manager, u32 combiner) : OneTextureMaterial(manager) {
    SetCombiner(combiner);
  }

  PString GetType() const override;
  Material* Copy() const override;
  void SetDisplayState(Display& display) override;
  void ClearDisplayState(Display& display) override;
  void SetBlendFactors(u32 source, u32 destination) {
    blendSource_ = source;
    blendDestination_ = destination;
  }

 private:
  u32 blendSource_ = 4;
  u32 blendDestination_ = 5;
  u32 savedFog_ = 0;
  bool savedBlend_ = false;
  u32 savedSource_ = 1;
  u32 savedDestination_ = 0;
};

}  // namespace Qel
