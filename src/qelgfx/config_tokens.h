// Lists in configuration text values ("0,1,2" or "0 1 2"): tokens split at commas and blanks, and
// read whole as numbers, so that a typing slip is a fault rather than a zero.
#pragma once

#include <string>
#include <string_view>

#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

inline bool IsConfigListSeparator(char c) {
  return c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Calls fn with each token in order until it answers false; empty tokens between separators do
// not count. False when fn did.
template <typename Fn>
bool ForEachConfigToken(const String& text, Fn&& fn) {
  const std::string_view all = text.View();
  size_t i = 0;
  while (i < all.size()) {
    while (i < all.size() && IsConfigListSeparator(all[i])) ++i;
    if (i == all.size()) break;
    size_t end = i;
    while (end < all.size() && !IsConfigListSeparator(all[end])) ++end;
    if (!fn(std::string(all.substr(i, end - i)))) return false;
    i = end;
  }
  return true;
}

// A finite float, the whole token.
bool ParseConfigFloat(const std::string& token, f32& value);
// Decimal, or hex after "0x"; no sign, nothing past 32 bits.
bool ParseConfigU32(const std::string& token, u32& value);

}  // namespace Qel
