#include "core/path_text.h"

#include <cstring>
#include <string>

#include "platform/ascii_text.h"
#include "qel/string.h"

namespace {

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

void NormalizePath(Qel::File::Path& path) {
  if (path.IsEmpty()) return;
  path.Normalize();
  path.ReplaceForwardSlashes();
  Qel::String text = path.GetText();
  text.ToLower();
  if (text.Length() > 1 && text[text.Length() - 1] == '/') text.Truncate(text.Length() - 1);
  path = Qel::File::Path(text);
}

bool IsAbsolutePath(const char* path) {
  if (path == nullptr) return false;
  if (IsPathSeparator(path[0])) return true;
  return IsLetter(path[0]) && path[1] == ':' && IsPathSeparator(path[2]);
}

Qel::String AnchorPath(const char* base, const char* path) {
  if (path == nullptr || *path == '\0') return Qel::String();
  if (IsAbsolutePath(path)) return Qel::String(path);
  Qel::File::Path joined(base != nullptr ? base : "");
  joined.AddPath(path);
  return joined.GetText();
}

bool StartFolderIsGone(const char* base, const char* path) {
  return base != nullptr && *base == '\0' && path != nullptr && *path != '\0' &&
         !IsAbsolutePath(path);
}

Qel::String StartFolderGoneMessage(const char* path) {
  return Qel::String::Format(
      "Cannot use the relative path %s: the folder you started in no longer exists.", path);
}

bool IsDotOrDotDot(const char* name) {
  return name != nullptr && (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0);
}

bool IsTextureTxtFile(const char* path) {
  static constexpr char kSuffix[] = ".texture.txt";
  constexpr size_t kSuffixLength = sizeof(kSuffix) - 1;
  if (path == nullptr) return false;
  const size_t length = std::strlen(path);
  if (length < kSuffixLength) return false;
  const char* tail = path + length - kSuffixLength;
  for (size_t i = 0; i < kSuffixLength; ++i) {
    if (LowerAscii(tail[i]) != kSuffix[i]) return false;
  }
  return true;
}

bool ResolveFileExtension(const char*& type, const char* path) {
  if (type != nullptr && *type != '\0') {
    if (*type == '.') ++type;
    return true;
  }
  type = "";
  if (path == nullptr) return false;
  // Only the file name counts: a dot in a folder name is no extension.
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (IsPathSeparator(*p)) name = p + 1;
  }
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr) return false;
  type = dot + 1;
  return true;
}

bool MatchPrefixIgnoreCase(const char* pattern, const char* text) {
  if (pattern == nullptr) return true;
  if (text == nullptr) text = "";
  for (; *pattern != '\0'; ++pattern, ++text) {
    if (*text == '\0') return false;
    if (*pattern == '?') continue;
    if (IsLetter(*pattern) ? LowerAscii(*pattern) != LowerAscii(*text) : *pattern != *text) {
      return false;
    }
  }
  return true;
}

bool ToLowerAsciiInPlace(char* buffer, u32 maxLength) {
  if (buffer == nullptr || maxLength == 0) return false;
  for (u32 i = 0; i < maxLength; ++i) {
    if (buffer[i] == '\0') return true;
    buffer[i] = LowerAscii(buffer[i]);
  }
  buffer[maxLength - 1] = '\0';
  return false;
}

bool ToLowerAscii(Qel::PString& text) {
  if (text.IsEmpty()) return true;
  std::string copy(text.View());
  for (char& c : copy) c = LowerAscii(c);
  text = Qel::PString(std::string_view(copy));
  return true;
}

bool IsPowerOfTwo(u32 value) { return (value & (value - 1)) == 0; }
