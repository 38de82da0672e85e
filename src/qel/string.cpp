#include "qel/string.h"

#include <cstdio>
#include <cstring>

namespace Qel {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
char Upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

}  // namespace

String String::FormatV(const char* format, va_list args) {
  if (!format) return String();
  va_list copy;
  va_copy(copy, args);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return String();
  if (static_cast<size_t>(n) < sizeof small) return String(small, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(big.data(), big.size(), format, args);
  big.resize(static_cast<size_t>(n));
  return String(std::move(big));
}

String String::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  String s = FormatV(format, args);
  va_end(args);
  return s;
}

String& String::AppendFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  *this += FormatV(format, args);
  va_end(args);
  return *this;
}

int String::CompareIgnoreCase(const char* text) const {
  if (!text) text = "";
  const char* a = s_.c_str();
  for (;; ++a, ++text) {
    const unsigned char ca = static_cast<unsigned char>(Lower(*a));
    const unsigned char cb = static_cast<unsigned char>(Lower(*text));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (!ca) return 0;
  }
}

size_t String::Find(const char* pattern, size_t start) const {
  if (!pattern || start > s_.size()) return npos;
  return s_.find(pattern, start);
}

size_t String::FindIgnoreCase(const char* pattern, size_t start) const {
  if (!pattern || start > s_.size()) return npos;
  const size_t m = std::strlen(pattern);
  if (m == 0) return start;
  for (size_t i = start; i + m <= s_.size(); ++i) {
    size_t k = 0;
    while (k < m && Lower(s_[i + k]) == Lower(pattern[k])) ++k;
    if (k == m) return i;
  }
  return npos;
}

String& String::Insert(size_t position, const char* text) {
  if (text) s_.insert(std::min(position, s_.size()), text);
  return *this;
}

String& String::Erase(size_t position, size_t count) {
  if (position < s_.size()) s_.erase(position, count);
  return *this;
}

String String::SubString(size_t position, size_t count) const {
  if (position >= s_.size()) return String();
  return String(s_.substr(position, count));
}

void String::ToLower() {
  for (char& c : s_) c = Lower(c);
}

void String::ToUpper() {
  for (char& c : s_) c = Upper(c);
}

void String::TrimLeft(const char* set) {
  if (!set) return;
  s_.erase(0, std::min(s_.find_first_not_of(set), s_.size()));
}

void String::TrimRight(const char* set) {
  if (!set) return;
  const size_t last = s_.find_last_not_of(set);
  s_.resize(last == npos ? 0 : last + 1);
}

String String::Token(const char* delimiters, size_t& position) const {
  if (!delimiters) delimiters = "";
  if (position >= s_.size()) {
    position = s_.size();
    return String();
  }
  const size_t begin = s_.find_first_not_of(delimiters, position);
  if (begin == npos) {
    position = s_.size();
    return String();
  }
  size_t end = s_.find_first_of(delimiters, begin);
  if (end == npos) end = s_.size();
  position = end;
  return String(s_.substr(begin, end - begin));
}

}  // namespace Qel
