// The text and values of GameScript literal tokens.
#pragma once

#include <string>
#include <string_view>

#include "qel/types.h"

namespace GSCompiler {

// The text between the quotes of a string or character token (an "L" before the opening quote is
// dropped). Without resolveEscapes the text is kept as written; with it each backslash sequence
// becomes its character and "\0" ends the text. A token that does not start with a quote gives
// an empty text. The whole token is used, however long.
std::string UnquoteLiteral(std::string_view token, bool resolveEscapes);

// Decimal digits as a signed 32-bit value. A value beyond 0x7FFFFFFF gives 0x7FFFFFFF, the value
// compiled scripts have always had for it, and sets `beyond`.
u32 ConvertIntLiteral(std::string_view token, bool& beyond);
// "0x" or "0X" and hexadecimal digits, as ConvertIntLiteral reads decimal ones.
u32 ConvertHexLiteral(std::string_view token, bool& beyond);
// A decimal fraction with an optional trailing "f", as the bits of a single-precision float.
u32 ConvertFloatLiteral(std::string_view token);
// The first character of the unquoted text as a signed byte widened to 32 bits; 0 when empty.
u32 ConvertCharLiteral(std::string_view token);

}  // namespace GSCompiler
