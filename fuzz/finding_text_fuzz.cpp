// Hostile interface texts as finding formats: whatever the format asks for, only the arguments
// given are read, and the text grows by a bounded amount per conversion.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "validation/finding_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view format(reinterpret_cast<const char*>(data), size);
  // Without arguments every conversion stays as written; "%%" alone shrinks.
  if (TETLib::FormatText(format).Size() > size) std::abort();
  const Qel::String filled = TETLib::FormatText(format, "name.tga", -7, 2.5, u64(1) << 40);
  // Four conversions at most, each at most a cut field and its letters.
  if (filled.Size() > size + 4 * 2200) std::abort();
  return 0;
}
