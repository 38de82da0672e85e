// What a material draws a chunk with: the view it is seen from, the lights that reach it, its
// world transform, and optionally a range of primitives in an order of the caller's.
#pragma once

#include <vector>

#include "qel/types.h"
#include "qelgfx/display_material.h"
#include "qelgfx/matrix4.h"
#include "qelgfx/vector3.h"

namespace Qel {

class GeometryChunk;

struct Light {
  enum Type : u32 { kAmbient = 0, kPoint = 1, kSpot = 2, kParallel = 3 };
  u32 type = kParallel;
  ColourValue diffuse;
  ColourValue ambient;
  Vector3 position;
  Vector3 direction{0.0f, 0.0f, 1.0f};
  f32 spotCosine = 0.0f;  // of the cone's half angle
  f32 radius = 1.0f;
};
using LightList = std::vector<Light>;

struct RenderView {
  Matrix4 view;  // world to eye
  Vector3 camera;
};

// One chunk to draw; the world transform and the lights may be absent.
struct ChunkDraw {
  GeometryChunk* chunk = nullptr;
  const Matrix4* world = nullptr;
  const LightList* lights = nullptr;
};

// Primitives drawn from indices of the caller's instead of the chunk's own order.
struct PrimitiveRange {
  const u16* indices = nullptr;
  u32 primitiveCount = 0;
  u32 primitiveKind = 0;  // an engine primitive
};

}  // namespace Qel
