// Reads configuration text: the soup text syntax (a key, then a value to the end of the line, or
// a braced block of child items) with two differences that lm.txt and imtxt need and soups
// cannot hold: a key may repeat, every item keeps its place, and an item may have a value and a
// block both:
//
//   version 1.0
//   mesh 50
//   {
//     name "body.im"
//   }
//   mesh "shadow"
//   {
//     name "shadow.im"
//     animated 1
//   }
//
// A value is the rest of the line with blanks trimmed, or a quoted text in which \" and \\ stand
// for themselves and \n for a line end. A block opens with '{' at the start of the next non-blank
// line (or after the value) and ends with '}'. A leading UTF-8 byte-order mark is skipped.
#pragma once

#include <string_view>

#include "qel/config_data.h"
#include "qel/string.h"

namespace Qel {

// Blocks nested deeper than this are refused, so that no text can exhaust the stack.
inline constexpr u32 kMaxConfigDepth = 64;

// Appends the items of the text to root's children. False, with a line number and reason in
// `error`, for an unmatched '}', a block left open, an unterminated quote or too deep nesting.
bool ParseConfigText(std::string_view text, ConfigData& root, String* error = nullptr);

}  // namespace Qel
