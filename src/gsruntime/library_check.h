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

struct GSClass;

// After the class and function references are linked: every view of an instance of the class
// (its own and one per base) lies where the bases' own layouts put it, no field covers a view's
// two words, each method-table entry names a function of the class whose view it passes as `me`,
// and each view's first method entry starts that view's class's methods. False, with `error`
// telling what, for a class whose instances would send calls or field accesses elsewhere.
bool CheckClassViews(const GSClass& cls, std::string* error);

}  // namespace GSRuntime
