// What a mesh resource tells its definitions about how their chunks are made, and where they reach
// the display and the material manager.
#pragma once

#include "qel/types.h"

namespace Qel {
class Display;
class MaterialManager;
}  // namespace Qel

// An optional flag: it counts as set only when it is present and its value is non-zero.
struct KestroMeshFlag {
  u8 value = 0;
  u8 present = 0;
  bool IsSet() const { return value != 0 && present != 0; }
};

struct KestroMeshSettings {
  KestroMeshFlag softwareLighting;
  KestroMeshFlag softwareAnimation;
  KestroMeshFlag dynamicVertex;
  KestroMeshFlag dynamicIndex;
  KestroMeshFlag hardwareAnimationFloatPrecision;
};

// The engine objects through which definitions reach the display, the material manager and the
// colour vertices take when their file gives none. Set on a resource before it loads.
struct KestroRenderContext {
  Qel::Display* display = nullptr;
  Qel::MaterialManager* materialManager = nullptr;
  u32 defaultVertexColour = 0xFFFFFFFF;
};
