#include "online/tme_cipher.h"

namespace Tme {

namespace {

u8 KeyByte(const Qel::String& key, u32 state) {
  const u32 length = u32(key.Length());
  const u8 k = u8(key.CStr()[(state / 13) % length]);
  const u32 rotate = (state / 7) % 8;
  return rotate == 0 ? k : u8((k >> rotate) | (k << (8 - rotate)));
}

}  // namespace

void Scramble(const Qel::String& key, u32& state, u8* bytes, u32 length) {
  if (key.Length() == 0) return;
  for (u32 i = 0; i < length; ++i) {
    const u8 mask = u8((state % 256 + KeyByte(key, state)) % 256);
    bytes[i] ^= mask;
    state += bytes[i];
  }
}

void Unscramble(const Qel::String& key, u32& state, u8* bytes, u32 length) {
  if (key.Length() == 0) return;
  for (u32 i = 0; i < length; ++i) {
    const u8 travelled = bytes[i];
    bytes[i] ^= u8((state % 256 + KeyByte(key, state)) % 256);
    state += travelled;
  }
}

}  // namespace Tme
