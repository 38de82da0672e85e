// Character tests and case folding of ASCII alone: names, tags, KUID texts and paths compare this
// way whatever the locale, so the same text folds the same on every machine.
#pragma once

#include <cstddef>
#include <string_view>

inline char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

inline char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

inline bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

inline bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
  }
  return true;
}

inline bool EndsWithIgnoreCase(std::string_view text, std::string_view ending) {
  if (text.size() < ending.size()) return false;
  return StartsWithIgnoreCase(text.substr(text.size() - ending.size()), ending);
}
