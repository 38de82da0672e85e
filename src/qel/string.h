// Mutable byte strings of the engine. Texts are bytes (UTF-8 inside the program, Windows-1252 in
// some stored files); case rules are ASCII only, so results never depend on the locale.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

#include "qel/pstring.h"
#include "qel/types.h"

namespace Qel {

class String {
 public:
  // Spelled as std::string's, whose find results it stands beside.
  static constexpr size_t npos = std::string::npos;  // NOLINT(readability-identifier-naming)

  String() = default;
  String(const char* text) : s_(text ? text : "") {}  // NOLINT(runtime/explicit)
  String(const char* text, size_t length) : s_(text ? std::string(text, length) : std::string()) {}
  String(std::string_view text) : s_(text) {}        // NOLINT(runtime/explicit)
  String(std::string text) : s_(std::move(text)) {}  // NOLINT(runtime/explicit)
  explicit String(const PString& text) : s_(text.View()) {}

  static String Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
  static String FormatV(const char* format, va_list args);
  String& AppendFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

  const char* CStr() const { return s_.c_str(); }
  const char* Get() const { return s_.c_str(); }
  char* Data() { return s_.data(); }
  u32 Length() const { return static_cast<u32>(s_.size()); }
  size_t Size() const { return s_.size(); }
  bool IsEmpty() const { return s_.empty(); }
  std::string_view View() const { return s_; }
  const std::string& Std() const { return s_; }
  std::string& Std() { return s_; }
  PString ToPString() const { return PString(std::string_view(s_)); }

  char operator[](size_t i) const { return s_[i]; }
  char& operator[](size_t i) { return s_[i]; }

  String& operator=(const char* text) {
    s_ = text ? text : "";
    return *this;
  }
  String& operator+=(const String& o) {
    s_ += o.s_;
    return *this;
  }
  String& operator+=(const char* text) {
    if (text) s_ += text;
    return *this;
  }
  String& operator+=(char c) {
    s_ += c;
    return *this;
  }
  String& Append(const char* text, size_t length) {
    s_.append(text, length);
    return *this;
  }
  friend String operator+(String a, const String& b) { return a += b; }
  friend String operator+(String a, const char* b) { return a += b; }

  bool operator==(const String& o) const { return s_ == o.s_; }
  bool operator!=(const String& o) const { return s_ != o.s_; }
  bool operator==(const char* text) const { return s_ == (text ? text : ""); }
  bool operator<(const String& o) const { return s_ < o.s_; }

  // Byte-wise comparison, <0, 0 or >0.
  int Compare(const String& o) const { return s_.compare(o.s_); }
  int CompareIgnoreCase(const char* text) const;
  bool CompareWith(const String& o) const { return s_ == o.s_; }
  bool EqualsIgnoreCase(const char* text) const { return CompareIgnoreCase(text) == 0; }

  // Position of pattern at or after start, or npos.
  size_t Find(const char* pattern, size_t start = 0) const;
  size_t FindIgnoreCase(const char* pattern, size_t start = 0) const;
  size_t FindChar(char c, size_t start = 0) const { return s_.find(c, start); }
  size_t FindLastChar(char c) const { return s_.rfind(c); }

  // Positions past the end clamp to the end.
  String& Insert(size_t position, const char* text);
  String& Erase(size_t position, size_t count = npos);
  String SubString(size_t position, size_t count = npos) const;
  void Truncate(size_t length) {
    if (length < s_.size()) s_.resize(length);
  }
  void Clear() { s_.clear(); }

  void ToLower();
  void ToUpper();
  void TrimLeft(const char* set = " \t\r\n");
  void TrimRight(const char* set = " \t\r\n");

  // Splits like strtok without touching the text: skips delimiters from position, returns the
  // run up to the next delimiter and leaves position behind it. Empty at the end of the text.
  String Token(const char* delimiters, size_t& position) const;

 private:
  std::string s_;
};

// The engine keeps a separate narrow-string type; on this platform both are bytes.
class AnsiString : public String {
 public:
  using String::String;
  AnsiString() = default;
  AnsiString(const String& s) : String(s) {}  // NOLINT(runtime/explicit)
};

}  // namespace Qel
