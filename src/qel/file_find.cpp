#include "qel/file_find.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "qel/file_facts.h"
#include "qel/file_internal.h"

namespace Qel {

using file_internal::EqualsNoCase;
using file_internal::IsDrivePath;
using file_internal::LessNoCase;

namespace {

const String& EmptyName() {
  static const String empty;
  return empty;
}

}  // namespace

File::Find::Find(const char* folder, const char* pattern) {
  // The folder is a name, never a pattern: '*' and '?' are ordinary characters of folder names,
  // and a walk handed one would list the wrong folder.
  const std::string dir = file_internal::ToSlashes(folder ? folder : "");
  std::string pat = pattern ? pattern : "*";
  if (pat == "*.*") pat = "*";  // every name, dotted or not
  if (IsDrivePath(dir)) return;

  const String resolved = dir.empty() ? String(".") : File::Resolve(dir.c_str());
  if (resolved.IsEmpty()) return;
  // One piece of work that keeps file facts lists a folder once, however often it searches it.
  struct Kept {
    std::vector<Entry> entries;
    bool ok = false;
  };
  thread_local unsigned long long keptGeneration = 0;
  thread_local std::map<std::string, Kept> kept;
  const unsigned long long generation = file_facts::Generation();
  if (generation != keptGeneration) {
    kept.clear();
    keptGeneration = generation;
  }
  const std::string key = resolved.Std() + '\0' + pat;
  if (generation != 0) {
    if (const auto it = kept.find(key); it != kept.end()) {
      entries_ = it->second.entries;
      ok_ = it->second.ok;
      return;
    }
  }
  const struct KeepAtEnd {
    File::Find& find;
    const std::string& key;
    bool keep;
    ~KeepAtEnd() {
      if (keep) kept[key] = Kept{find.entries_, find.ok_};
    }
  } keepAtEnd{*this, key, generation != 0};
  DIR* d = ::opendir(resolved.CStr());
  if (!d) return;
  const int dfd = ::dirfd(d);

  std::vector<Entry> dots;
  errno = 0;
  while (dirent* e = ::readdir(d)) {
    const char* name = e->d_name;
    if (!MatchPattern(pat.c_str(), name)) continue;
    if (!std::strcmp(name, ".") || !std::strcmp(name, "..")) {
      dots.push_back({String(name), 0, true, false});
      continue;
    }
    struct stat st;
    if (::fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    Entry entry{String(name), 0, false, false};
    if (S_ISLNK(st.st_mode)) {
      entry.link = true;
      struct stat target;
      if (::fstatat(dfd, name, &target, 0) == 0 && S_ISREG(target.st_mode)) {
        entry.size = static_cast<u64>(target.st_size);
      }
    } else if (S_ISDIR(st.st_mode)) {
      entry.folder = true;
    } else if (S_ISREG(st.st_mode)) {
      entry.size = static_cast<u64>(st.st_size);
    }
    entries_.push_back(std::move(entry));
    errno = 0;
  }
  const bool listed = errno == 0;
  ::closedir(d);
  if (!listed) {
    entries_.clear();
    return;
  }

  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
    return LessNoCase(a.name.View(), b.name.View());
  });
  std::sort(dots.begin(), dots.end(),
            [](const Entry& a, const Entry& b) { return a.name.Length() < b.name.Length(); });
  entries_.insert(entries_.begin(), dots.begin(), dots.end());
  ok_ = true;
}

bool File::Find::Next() {
  if (next_ >= entries_.size()) {
    next_ = entries_.size() + 1;
    return false;
  }
  ++next_;
  return true;
}

const String& File::Find::GetName() const {
  return next_ >= 1 && next_ <= entries_.size() ? entries_[next_ - 1].name : EmptyName();
}

bool File::Find::IsFolder() const {
  return next_ >= 1 && next_ <= entries_.size() && entries_[next_ - 1].folder;
}

bool File::Find::IsLink() const {
  return next_ >= 1 && next_ <= entries_.size() && entries_[next_ - 1].link;
}

u64 File::Find::GetSize() const {
  return next_ >= 1 && next_ <= entries_.size() ? entries_[next_ - 1].size : 0;
}

bool File::Find::MatchPattern(const char* pattern, const char* name) {
  if (!name) return false;
  const char* p = pattern ? pattern : "*";
  const char* n = name;
  const char* starP = nullptr;
  const char* starN = nullptr;
  // Greedy with one backtrack point: the last '*' seen absorbs one more character on a mismatch.
  while (*n) {
    if (*p == '?' || (*p && *p != '*' && LowerAscii(*p) == LowerAscii(*n))) {
      ++p;
      ++n;
    } else if (*p == '*') {
      starP = p++;
      starN = n;
    } else if (starP) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (*p == '*') ++p;
  return !*p;
}

File::Names::Names(const char* folder) {
  const std::string dir = file_internal::ToSlashes(folder ? folder : "");
  if (dir.empty() || IsDrivePath(dir)) return;
  const String resolved = File::Resolve(dir.c_str());
  if (resolved.IsEmpty()) return;
  DIR* d = ::opendir(resolved.CStr());
  if (!d) return;
  while (dirent* e = ::readdir(d)) names_.emplace_back(e->d_name);
  ::closedir(d);
}

bool File::Names::Contains(const char* name) const {
  if (!name || !*name) return false;
  return std::any_of(names_.begin(), names_.end(),
                     [name](const std::string& n) { return EqualsNoCase(n, name); });
}

}  // namespace Qel
