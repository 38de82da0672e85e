// The keyed byte scrambling of reliable payloads. The key is the salt followed by the channel
// key; each direction keeps a running state that carries from one payload to the next.
#pragma once

#include "qel/string.h"
#include "qel/types.h"

namespace Tme {

// Scrambles `length` bytes in place with `key`, advancing `state`. Nothing changes when the
// key is empty.
void Scramble(const Qel::String& key, u32& state, u8* bytes, u32 length);
// The inverse, for the receiving direction.
void Unscramble(const Qel::String& key, u32& state, u8* bytes, u32 length);

}  // namespace Tme
