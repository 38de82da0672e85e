// The lighting colours of a material as the display takes them.
#pragma once

#include "qel/types.h"

namespace Qel {

struct ColourValue {
  f32 r = 0.0f;
  f32 g = 0.0f;
  f32 b = 0.0f;
  f32 a = 1.0f;

  bool operator==(const ColourValue& o) const {
    return r == o.r && g == o.g && b == o.b && a == o.a;
  }
  ColourValue Scaled(f32 s) const { return {r * s, g * s, b * s, a * s}; }
};

struct DisplayMaterial {
  ColourValue diffuse{1.0f, 1.0f, 1.0f, 1.0f};
  ColourValue ambient{1.0f, 1.0f, 1.0f, 1.0f};
  ColourValue specular{0.0f, 0.0f, 0.0f, 1.0f};
  ColourValue emissive{0.0f, 0.0f, 0.0f, 1.0f};
  f32 power = 10.0f;

  bool operator==(const DisplayMaterial& o) const {
    return diffuse == o.diffuse && ambient == o.ambient && specular == o.specular &&
           emissive == o.emissive && power == o.power;
  }
};

}  // namespace Qel
