// Hostile image bytes through the bitmap decoder: a decoded image is exactly what it reports,
// and nothing larger than the limits is ever decoded.
#include <cstdint>
#include <cstdlib>

#include "qelgfx/bitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  Qel::Bitmap bitmap;
  if (!bitmap.LoadMemory(data, u32(size))) return 0;
  const u64 pixels = u64(bitmap.GetWidth()) * bitmap.GetHeight();
  if (pixels == 0 || pixels > Qel::Bitmap::kMaxPixels || !bitmap.GetPixels()) std::abort();
  volatile u8 last = bitmap.GetPixels()[pixels * 4 - 1];
  (void)last;
  return 0;
}
