#include "mesh/kestro_light_choice.h"

#include <cmath>

namespace Qel {

namespace {

f32 Brightness(const Light& light) { return light.diffuse.r + light.diffuse.g + light.diffuse.b; }

void KeepBrighter(const Light*& held, const Light& candidate) {
  if (!held || Brightness(candidate) > Brightness(*held)) held = &candidate;
}

}  // namespace

KestroLightChoice ChooseLights(const Display& display, const LightList* lights) {
  KestroLightChoice choice;
  choice.ambientSum = display.GetGlobalAmbient();
  if (!lights) return choice;
  for (const Light& light : *lights) {
    if (light.type == Light::kParallel || light.type == Light::kAmbient) {
      choice.ambientSum.r += light.ambient.r;
      choice.ambientSum.g += light.ambient.g;
      choice.ambientSum.b += light.ambient.b;
    }
    if (light.type == Light::kParallel) KeepBrighter(choice.parallel, light);
    if (light.type == Light::kSpot) KeepBrighter(choice.spot, light);
  }
  return choice;
}

ColourValue Modulate(const ColourValue& a, const ColourValue& b, f32 alpha) {
  return {a.r * b.r, a.g * b.g, a.b * b.b, alpha};
}

Matrix4 InverseAffine(const Matrix4& m) {
  const Matrix rotation = m.Rotation();
  const f32 det = rotation.Determinant();
  if (!(std::fabs(det) > 1e-12f)) return Matrix4::Identity();
  // The adjugate over the determinant.
  const auto& a = rotation.m;
  Matrix4 inverse;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
      inverse.m[r][c] = (a[r1][c1] * a[r2][c2] - a[r1][c2] * a[r2][c1]) / det;
    }
  }
  const Vector3 t(m.m[3][0], m.m[3][1], m.m[3][2]);
  for (int c = 0; c < 3; ++c) {
    inverse.m[3][c] = -(t.x * inverse.m[0][c] + t.y * inverse.m[1][c] + t.z * inverse.m[2][c]);
  }
  return inverse;
}

}  // namespace Qel
