#include "qel/file_path.h"

#include <string>
#include <vector>

#include "qel/file_internal.h"

namespace Qel {

using file_internal::EqualsNoCase;
using file_internal::IsDrivePath;
using file_internal::ToSlashes;

namespace {

bool IsDotName(std::string_view n) { return n == "." || n == ".."; }

// Where the extension's dot sits in name, or npos.
size_t ExtensionDot(std::string_view name) {
  if (IsDotName(name)) return std::string_view::npos;
  return name.rfind('.');
}

}  // namespace

File::Path::Path(const char* text) : s_(ToSlashes(text ? text : "")) {}

File::Path::Path(const String& text) : s_(ToSlashes(text.View())) {}

size_t File::Path::NameStart() const {
  const size_t slash = s_.FindLastChar('/');
  if (slash != String::npos) return slash + 1;
  return IsDrivePath(s_.View()) ? 2 : 0;
}

File::Path& File::Path::AddPath(const char* component) {
  if (!component || !*component) return *this;
  std::string c = ToSlashes(component);
  if (s_.IsEmpty()) {
    s_ = String(std::move(c));
    return *this;
  }
  size_t skip = 0;
  while (skip < c.size() && c[skip] == '/') ++skip;
  if (s_.View().back() != '/') s_ += '/';
  s_ += c.c_str() + skip;
  return *this;
}

File::Path& File::Path::Normalize() {
  const std::string p = ToSlashes(s_.View());
  if (p.empty()) return *this;
  std::string root;
  size_t i = 0;
  if (IsDrivePath(p)) {
    root = p.substr(0, 2);
    i = 2;
    if (p.size() > 2 && p[2] == '/') {
      root += '/';
      i = 3;
    }
  } else if (p[0] == '/') {
    root = "/";
    i = 1;
  }

  std::vector<std::string_view> out;
  bool lastNamesFolder = p.back() == '/';
  const std::string_view v(p);
  while (i < v.size()) {
    size_t j = v.find('/', i);
    if (j == std::string_view::npos) j = v.size();
    const std::string_view comp = v.substr(i, j - i);
    i = j + 1;
    if (comp.empty()) continue;
    lastNamesFolder = IsDotName(comp) || (j < v.size());
    if (comp == ".") continue;
    if (comp == "..") {
      if (!out.empty() && out.back() != "..") {
        out.pop_back();
      } else if (root.empty()) {
        out.push_back(comp);
      }
      continue;
    }
    out.push_back(comp);
  }

  std::string result = root;
  for (size_t k = 0; k < out.size(); ++k) {
    if (k) result += '/';
    result += out[k];
  }
  if (lastNamesFolder && !out.empty()) result += '/';
  s_ = String(std::move(result));
  return *this;
}

File::Path& File::Path::ReplaceForwardSlashes() {
  s_ = String(ToSlashes(s_.View()));
  return *this;
}

File::Path& File::Path::DelName() {
  s_.Truncate(NameStart());
  return *this;
}

File::Path& File::Path::PrevDir() {
  size_t end = s_.Length();
  while (end > 0 && s_[end - 1] == '/') --end;
  if (end == 0) return *this;  // empty, or the root itself
  if (IsDrivePath(s_.View()) && end <= 2) return *this;
  s_.Truncate(end);
  if (GetFileName() == "..") {
    s_ += "/../";
    return *this;
  }
  return DelName();
}

String File::Path::GetFolder() const { return s_.SubString(0, NameStart()); }

String File::Path::GetFileName() const { return s_.SubString(NameStart()); }

String File::Path::GetExtension() const {
  const String name = GetFileName();
  const size_t dot = ExtensionDot(name.View());
  return dot == std::string_view::npos ? String() : name.SubString(dot + 1);
}

String File::Path::GetBaseName() const {
  const String name = GetFileName();
  const size_t dot = ExtensionDot(name.View());
  return dot == std::string_view::npos ? name : name.SubString(0, dot);
}

bool File::Path::IsExt(const char* ext) const {
  std::string_view e(ext ? ext : "");
  if (!e.empty() && e[0] == '.') e.remove_prefix(1);
  if (e.empty()) return GetExtension().IsEmpty();
  const String name = GetFileName();
  const std::string_view n = name.View();
  if (IsDotName(n) || n.size() < e.size() + 1) return false;
  const std::string_view tail = n.substr(n.size() - e.size() - 1);
  return tail[0] == '.' && EqualsNoCase(tail.substr(1), e);
}

File::Path& File::Path::ChangeExtension(const char* ext) {
  const size_t start = NameStart();
  const String name = s_.SubString(start);
  if (name.IsEmpty() || IsDotName(name.View())) return *this;
  const size_t dot = ExtensionDot(name.View());
  if (dot != std::string_view::npos) s_.Truncate(start + dot);
  std::string_view e(ext ? ext : "");
  if (!e.empty() && e[0] == '.') e.remove_prefix(1);
  if (!e.empty()) {
    s_ += '.';
    s_.Append(e.data(), e.size());
  }
  return *this;
}

bool File::Path::IsAbsolute() const {
  const std::string_view v = s_.View();
  if (!v.empty() && v[0] == '/') return true;
  return IsDrivePath(v) && (v.size() == 2 || v[2] == '/' || v[2] == '\\');
}

}  // namespace Qel
