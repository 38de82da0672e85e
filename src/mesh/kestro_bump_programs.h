// The vertex and pixel programs of the bump kinds: their texts, registered with the engine by
// name, and the lookup of the program sets each kind draws with.
#pragma once

#include "qel/types.h"
#include "qelgfx/display.h"

namespace Qel {

// The programs of one light pass pair: handles into the display, 0 for none.
struct BumpPrograms {
  u32 parallelVertex = 0;
  u32 parallelPixel = 0;
  u32 spotVertex = 0;
  u32 spotPixel = 0;

  bool IsComplete() const { return parallelVertex && parallelPixel && spotVertex && spotPixel; }
};

enum class BumpKind : u32 { kBump, kBumpEnv, kBumpGloss };

inline constexpr const char* kBumpVertexLibrary = "KestroBumpMaterial_Vtx";

// The text registered under a program name; null for a name that is not one of ours.
const char* GetBumpProgramText(const char* name);

// Registers the kind's texts and looks its sets up: `sets[0]` the set it draws with, and for
// bump-gloss `sets[1]` the rust set. False, with both sets cleared, when a lookup fails.
bool PrepareBumpPrograms(Display& display, BumpKind kind, BumpPrograms sets[2]);

}  // namespace Qel
