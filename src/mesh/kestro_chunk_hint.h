// A chunk request that carries the material kinds' options beside the engine's usage words.
#pragma once

#include "qelgfx/geometry_chunk.h"

namespace Qel {

struct KestroChunkHint : StandardChunkHint {
  enum Options : u32 { kVertexColours = 1, kDynamic = 2, kDynamicBuffer = 4 };
  // Usage words: 1 rewritten often, 2 written once.
  static constexpr u32 kUsageDynamic = 1;
  static constexpr u32 kUsageStatic = 2;

  KestroChunkHint(u32 version, u32 hintBits, u32 chunkOptions)
      : StandardChunkHint(version, hintBits), options(chunkOptions) {}
  u32 options;
};

// The options of a hint that carries them; 0 for the engine's plain hint.
inline u32 KestroChunkOptions(const StandardChunkHint& hint) {
  const auto* kestro = dynamic_cast<const KestroChunkHint*>(&hint);
  return kestro ? kestro->options : 0;
}

// Whether the positions are rewritten often: asked for outright, or the default usage of a chunk
// its options mark dynamic.
inline bool WantsDynamicVertices(const StandardChunkHint& hint, bool dynamic) {
  return hint.vertexUsage == KestroChunkHint::kUsageDynamic ||
         (hint.vertexUsage == KestroChunkHint::kUsageStatic && dynamic);
}

}  // namespace Qel
