// Parses arbitrary text in both modes; every accepted KUID must be well formed and its canonical
// text must parse back to it.
#include <cstdlib>
#include <string>

#include "core/kuid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  for (bool strict : {true, false}) {
    KUID k = KUID::Parse(text.c_str(), strict);
    if (!k.IsWellFormed()) std::abort();
    Qel::PString canonical = k.ToString();
    if (KUID::Parse(canonical.CStr(), false) != k) std::abort();
    // The strict shape has no room for a negative content id.
    if (k.contentId >= 0 && KUID::Parse(canonical.CStr(), true) != k) std::abort();
    (void)k.ToBaseString();
    (void)k.ToSpacedString();
    (void)k.ToColonString();
  }
  return 0;
}
