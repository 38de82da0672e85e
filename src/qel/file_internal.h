// Text helpers shared by the file service's sources; not part of its interface.
#pragma once

#include <string>
#include <string_view>

#include "platform/ascii_text.h"

namespace Qel::file_internal {

inline bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// Orders without regard to ASCII case, folding to upper case as the original platform's folder
// order does (so "_x" follows the letters); texts equal that way fall back to byte order so that
// the result is total and repeatable.
inline bool LessNoCase(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char ca = static_cast<unsigned char>(UpperAscii(a[i]));
    const unsigned char cb = static_cast<unsigned char>(UpperAscii(b[i]));
    if (ca != cb) return ca < cb;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

// A path that begins with a drive ("X:"): it names nothing on this platform.
inline bool IsDrivePath(std::string_view p) {
  return p.size() >= 2 && IsLetter(p[0]) && p[1] == ':';
}

inline std::string ToSlashes(std::string_view p) {
  std::string s(p);
  for (char& c : s) {
    if (c == '\\') c = '/';
  }
  return s;
}

}  // namespace Qel::file_internal
