// The lights a chunk is drawn with by the lit kinds: the brightest parallel light, the brightest
// spot light and the ambient they all add up to.
#pragma once

#include "qelgfx/display.h"
#include "qelgfx/render_inputs.h"

namespace Qel {

struct KestroLightChoice {
  ColourValue ambientSum;           // the display's global ambient plus ambient and parallel
  const Light* parallel = nullptr;  // largest red + green + blue of the diffuse colour
  const Light* spot = nullptr;      // the same among spot lights
};

// On equal brightness the first light of the list stays. No list: the global ambient alone.
KestroLightChoice ChooseLights(const Display& display, const LightList* lights);

// Colour channels multiplied; the alpha given.
ColourValue Modulate(const ColourValue& a, const ColourValue& b, f32 alpha);

// The inverse of a transform of rotation, uniform or non-uniform scale and translation; the
// identity for a singular one.
Matrix4 InverseAffine(const Matrix4& m);

}  // namespace Qel
