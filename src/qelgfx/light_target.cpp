#include "qelgfx/light_target.h"

#include "qelgfx/geometry_chunk.h"

namespace Qel {

void LightTarget::CalculateLighting(u32 chunkCount, GeometryChunk* const* chunks,
                                    Material* const* materials) {
  ++calculations_;
  lights_.clear();
  bool drawn = false;
  for (u32 i = 0; i < chunkCount && chunks && materials && !drawn; ++i) {
    drawn = chunks[i] && materials[i] && chunks[i]->GetFaceCount() > 0;
  }
  if (drawn && source_) lights_ = *source_;
}

}  // namespace Qel
