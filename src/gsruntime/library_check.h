// The load-time check of a library image, after ReadLibraryImage has proved its lengths, tags
// and counts: every number that names an entry of a table lies inside that table, and the sizes
// that the runtime multiplies or adds cannot overflow. A library that passes links without
// trusting any index it holds.
#pragma once

#include <string>

#include "gscommon/library_image.h"

namespace GSRuntime {

// Largest instance (words) and frame (words) a library may ask for.
constexpr u32 kMaxInstanceWords = 1u << 20;
constexpr u32 kMaxFrameWords = 1u << 20;

// False, with `error` telling which table and entry is out of range.
bool CheckLibraryImage(const GSLibraryFormat::LibraryImage& image, std::string* error);

}  // namespace GSRuntime
