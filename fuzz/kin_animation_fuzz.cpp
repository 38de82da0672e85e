// Hostile animation files through the ".kin" reader: every input ends as read or damaged, never a
// read past the file or an allocation far beyond it, and what is read is sound.
#include <cstdint>
#include <cstdlib>

#include "qel/memory_file.h"
#include "qelgfx/animation_definition.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  Qel::MemoryFile memory(data, u32(size));
  Qel::AnimationDefinition definition;
  const u32 code = definition.Read(memory);
  if (code != 0 && code != 3) std::abort();
  if (code == 0) {
    if (definition.GetTracks().size() > Qel::AnimationDefinition::kMaxBones) std::abort();
    for (const Qel::AnimationTrack& track : definition.GetTracks()) {
      if (track.keys.empty() || track.keys.back().frame >= definition.GetFrameCount()) std::abort();
    }
  }
  return 0;
}
