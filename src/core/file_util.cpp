#include "core/file_util.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/core_statics.h"
#include "core/file_stream.h"
#include "core/log_printf.h"
#include "core/path_text.h"
#include "core/time_date.h"
#include "platform/ascii_text.h"
#include "qel/critical_section.h"
#include "qel/file.h"
#include "qel/file_find.h"
#include "qel/rand.h"

namespace {

using Qel::File;
using Qel::PString;
using Qel::String;

constexpr u32 kCopyPieceSize = 32768;
constexpr int kTemporaryNameTries = 100;
constexpr char kTemporaryPrefix[] = "temp-";

struct Layout {
  std::mutex mutex;
  String root;
  String temporary;
  UserDataFolderHook folderHook = nullptr;
};

Layout& GetLayout() {
  static Layout layout;
  return layout;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// The components of a path; empty ones and "." are dropped.
std::vector<std::string_view> Components(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = i;
    while (j < path.size() && !IsPathSeparator(path[j])) ++j;
    const std::string_view part = path.substr(i, j - i);
    if (!part.empty() && part != ".") parts.push_back(part);
    i = j + 1;
  }
  return parts;
}

bool HasDotDot(std::string_view path) {
  for (std::string_view part : Components(path)) {
    if (part == "..") return true;
  }
  return false;
}

// True when the components of inner start with all those of outer, compared without regard to
// case; strictly when strict is set.
bool IsWithin(std::string_view outer, std::string_view inner, bool strict) {
  const std::vector<std::string_view> o = Components(outer);
  const std::vector<std::string_view> n = Components(inner);
  if (n.size() < o.size() || (strict && n.size() == o.size())) return false;
  for (size_t k = 0; k < o.size(); ++k) {
    if (!EqualsNoCase(o[k], n[k])) return false;
  }
  return true;
}

String ToSlashes(std::string_view text) {
  std::string s(text);
  std::replace(s.begin(), s.end(), '\\', '/');
  return String(std::move(s));
}

String Join(const String& folder, std::string_view name) {
  size_t skip = 0;
  while (skip < name.size() && IsPathSeparator(name[skip])) ++skip;
  name.remove_prefix(skip);
  if (name.empty()) return folder;
  String out = folder;
  if (out.IsEmpty() || out[out.Length() - 1] != '/') out += '/';
  out.Append(name.data(), name.size());
  return out;
}

// The folder text that a named folder stands for.
bool FolderBase(const PString& folder, String* out) {
  if (HasDotDot(folder.View())) return false;
  if (IsAbsolutePath(folder.CStr()) || File::LookupSubst(folder, nullptr, nullptr)) {
    *out = ToSlashes(folder.View());
    return true;
  }
  *out = GetUserDataFolder(folder);
  return !out->IsEmpty();
}

// The path an operation works on: the folder with the path added, or an absolute path alone.
bool JoinedPath(const PString& folder, const File::Path& path, String* out) {
  if (folder.IsEmpty()) {
    if (!IsAbsolutePath(path.CStr())) return false;
    *out = path.GetText();
    return true;
  }
  String base;
  if (!FolderBase(folder, &base)) return false;
  *out = Join(base, path.GetText().View());
  return true;
}

// The entry itself, not what a link points to.
bool IsLink(const String& path) {
  std::string resolved = File::Resolve(path.CStr()).Std();
  while (resolved.size() > 1 && resolved.back() == '/') resolved.pop_back();
  struct stat st;
  return !resolved.empty() && ::lstat(resolved.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool ListsNothing(const String& folder) {
  File::Find find(folder.CStr());
  if (!find.Ok()) return false;
  while (find.Next()) {
    if (!IsDotOrDotDot(find.GetName().CStr())) return false;
  }
  return true;
}

bool ContainsFileAt(const String& folder) {
  File::Find find(folder.CStr());
  while (find.Next()) {
    const String& name = find.GetName();
    if (IsDotOrDotDot(name.CStr())) continue;
    const String child = Join(folder, name.View());
    if (find.IsFolder()) {
      if (ContainsFileAt(child)) return true;
    } else if (!find.IsLink() || !File::IsFolder(child.CStr())) {
      return true;
    }
  }
  return false;
}

// Where a path leads once links and case are resolved; a missing tail is kept as given.
std::string Canonical(const String& path) {
  std::string resolved = File::Resolve(path.CStr()).Std();
  if (resolved.empty()) return resolved;
  if (resolved[0] != '/') resolved = Join(File::GetCwd(), resolved).Std();
  std::error_code error;
  const std::filesystem::path canonical = std::filesystem::weakly_canonical(resolved, error);
  return error ? std::filesystem::path(resolved).lexically_normal().string() : canonical.string();
}

bool SameFile(int handle, const String& path) {
  struct stat a;
  struct stat b;
  const String resolved = File::Resolve(path.CStr());
  return ::fstat(handle, &a) == 0 && !resolved.IsEmpty() && ::stat(resolved.CStr(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool CopyFileAt(const String& from, const String& to) {
  TFile in;
  if (in.Open(from.CStr(), File::kModeRead) != 0) return false;
  // Opening the destination empties it, which must never happen to the source.
  if (SameFile(in.GetFile()->GetHandle(), to)) return false;
  TFile out;
  if (out.Open(to.CStr(), File::kModeWrite | File::kModeCreate | File::kModeMakeFolders) != 0) {
    return false;
  }
  const u64 length = in.GetFile()->GetLength();
  std::vector<u8> buffer(size_t(std::min<u64>(length, kCopyPieceSize)));
  for (u64 left = length; left > 0;) {
    const u32 piece = u32(std::min<u64>(left, buffer.size()));
    if (in.Read(buffer.data(), piece) != piece) return false;
    if (out.Write(buffer.data(), piece) != piece) return false;
    left -= piece;
  }
  return in.GetError() == TStream::kErrorNone && out.GetError() == TStream::kErrorNone;
}

bool CopyTreeAt(const String& from, const String& to) {
  const bool sourceIsFolder = File::IsFolder(from.CStr());
  if (File::Exists(to.CStr())) {
    if (!sourceIsFolder || !File::IsFolder(to.CStr()) || !ListsNothing(to)) return false;
  }
  if (!sourceIsFolder) return CopyFileAt(from, to);
  if (!File::MakeTree(to.CStr())) return false;

  File::Find find(from.CStr());
  if (!find.Ok()) return false;
  bool ok = true;
  while (find.Next()) {
    const String& name = find.GetName();
    if (IsDotOrDotDot(name.CStr())) continue;
    const String childFrom = Join(from, name.View());
    const String childTo = Join(to, name.View());
    if (find.IsFolder()) {
      ok = CopyTreeAt(childFrom, childTo) && ok;
    } else if (find.IsLink() && File::IsFolder(childFrom.CStr())) {
      ok = false;
    } else {
      ok = CopyFileAt(childFrom, childTo) && ok;
    }
  }
  return ok;
}

// "YY-MM-DD", two digits each, month 1-12 and day 1-31: the month and day fields of a date are
// too narrow to keep larger numbers apart.
bool ParseBackupName(std::string_view name, u32* year, u32* month, u32* day) {
  if (name.size() != 8 || name[2] != '-' || name[5] != '-') return false;
  u32 values[3];
  for (int k = 0; k < 3; ++k) {
    const char hi = name[size_t(k) * 3];
    const char lo = name[size_t(k) * 3 + 1];
    if (hi < '0' || hi > '9' || lo < '0' || lo > '9') return false;
    values[k] = u32(hi - '0') * 10 + u32(lo - '0');
  }
  if (values[1] < 1 || values[1] > 12 || values[2] < 1 || values[2] > 31) return false;
  *year = values[0];
  *month = values[1];
  *day = values[2];
  return true;
}

}  // namespace

bool SetUserDataRoot(const char* path) {
  String root = ToSlashes(path != nullptr ? path : "");
  if (!root.IsEmpty() && root[0] != '/') return false;
  while (root.Length() > 1 && root[root.Length() - 1] == '/') root.Truncate(root.Length() - 1);
  Layout& layout = GetLayout();
  std::lock_guard<std::mutex> lock(layout.mutex);
  layout.root = std::move(root);
  return true;
}

String GetUserDataRoot() {
  Layout& layout = GetLayout();
  std::lock_guard<std::mutex> lock(layout.mutex);
  return layout.root;
}

void SetUserDataFolderHook(UserDataFolderHook hook) {
  Layout& layout = GetLayout();
  std::lock_guard<std::mutex> lock(layout.mutex);
  layout.folderHook = hook;
}

String GetUserDataFolder(const PString& name) {
  UserDataFolderHook hook;
  {
    Layout& layout = GetLayout();
    std::lock_guard<std::mutex> lock(layout.mutex);
    hook = layout.folderHook;
  }
  if (hook != nullptr) return ToSlashes(hook(name).View());
  const String root = GetUserDataRoot();
  if (root.IsEmpty()) return root;
  return Join(root, ToSlashes(name.View()).View());
}

bool SetTemporaryFolder(const char* path) {
  String folder = ToSlashes(path != nullptr ? path : "");
  if (!folder.IsEmpty() && folder[0] != '/') return false;
  Layout& layout = GetLayout();
  std::lock_guard<std::mutex> lock(layout.mutex);
  layout.temporary = std::move(folder);
  return true;
}

String GetTemporaryFolder() {
  {
    Layout& layout = GetLayout();
    std::lock_guard<std::mutex> lock(layout.mutex);
    if (!layout.temporary.IsEmpty()) return layout.temporary;
  }
  return GetUserDataFolder(PString("temp"));
}

bool PathExists(const PString& folder, const File::Path& path) {
  String joined;
  return JoinedPath(folder, path, &joined) && File::Exists(joined.CStr());
}

bool IsDirectory(const PString& folder, const File::Path& path) {
  String joined;
  return JoinedPath(folder, path, &joined) && File::IsFolder(joined.CStr());
}

bool IsFolderEmpty(const PString& folder, const File::Path& path) {
  String joined;
  return JoinedPath(folder, path, &joined) && !IsLink(joined) && ListsNothing(joined);
}

bool FolderContainsFile(const PString& folder, const File::Path& path) {
  String joined;
  return JoinedPath(folder, path, &joined) && !IsLink(joined) && ContainsFileAt(joined);
}

bool MakeFolder(const PString& folder, const File::Path& path) {
  String joined;
  return JoinedPath(folder, path, &joined) && File::MakeTree(joined.CStr());
}

bool RenamePath(const PString& folder, const File::Path& from, const File::Path& to) {
  if (HasDotDot(from.GetText().View()) || HasDotDot(to.GetText().View())) return false;
  String source;
  String target;
  return JoinedPath(folder, from, &source) && JoinedPath(folder, to, &target) &&
         File::Rename(source.CStr(), target.CStr());
}

bool DeletePath(const PString& folder, const File::Path& path) {
  const std::string_view text = path.GetText().View();
  // A path of "." alone would name the folder itself.
  if (Components(text).empty() || HasDotDot(text)) return false;
  if (folder.IsEmpty()) {
    const String root = GetUserDataRoot();
    if (root.IsEmpty() || !IsWithin(root.View(), text, true)) return false;
  }
  String joined;
  if (!JoinedPath(folder, path, &joined)) return false;
  return File::Prune(joined.CStr()) || File::Unlink(joined.CStr());
}

bool CopyFile(const PString& srcFolder, const File::Path& src, const PString& dstFolder,
              const File::Path& dst) {
  String from;
  String to;
  return JoinedPath(srcFolder, src, &from) && JoinedPath(dstFolder, dst, &to) &&
         CopyFileAt(from, to);
}

bool CopyFolderTree(const PString& srcFolder, const File::Path& src, const PString& dstFolder,
                    const File::Path& dst) {
  if (HasDotDot(src.GetText().View()) || HasDotDot(dst.GetText().View())) return false;
  String from;
  String to;
  if (!JoinedPath(srcFolder, src, &from) || !JoinedPath(dstFolder, dst, &to)) return false;
  if (!File::Exists(from.CStr())) return false;
  if (IsLink(from) && File::IsFolder(from.CStr())) return false;
  // Copying a folder into itself would never end.
  if (IsWithin(Canonical(from), Canonical(to), false)) return false;
  return CopyTreeAt(from, to);
}

bool CreateTemporaryFilePath(const PString& folder, File::Path& out) {
  static std::atomic<u32> counter{0};
  (void)folder;
  const u32 number = ++counter;
  const String temporary = GetTemporaryFolder();
  if (temporary.IsEmpty() || !MakeFolder(PString(), File::Path(temporary))) return false;

  for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
    String name = kTemporaryPrefix;
    for (int k = 0; k < 8; ++k) {
      i32 r;
      {
        Qel::SingleLock lock(SecondRandomLock());
        r = SecondRandom().NextInt(0, 35);
      }
      name += r < 10 ? char('0' + r) : char('a' + r - 10);
    }
    name.AppendFormat("%u.%s", number, "tmp");
    out = File::Path(temporary);
    out.AddPath(name.CStr());
    if (!PathExists(PString(), out)) return true;
  }
  LogPrintf(
      "CreateTemporaryFilePath> unable to form valid temp path in 100 tries, at path '%s' with "
      "prefix '%s'",
      temporary.CStr(), kTemporaryPrefix);
  return false;
}

bool ThinBackupsFolder(u32 keep) {
  const PString backups("backups");
  String folder;
  return !JoinedPath(backups, File::Path(), &folder) || ThinBackupsFolder(folder, keep);
}

bool ThinBackupsFolder(const String& folder, u32 keep) {
  struct Backup {
    TTimeDate date;
    String name;
  };
  // Today's folder holds what a change has just kept: it stays whatever other names exist. A
  // folder dated after today (a clock once set ahead) is not old: it neither goes nor takes the
  // place of one that is.
  TTimeDate now;
  now.SetToNow();
  const String today = BackupFolderName(now);
  bool keptToday = false;
  std::vector<Backup> found;
  File::Find find(folder.CStr());
  while (find.Next()) {
    u32 year, month, day;
    if (!find.IsFolder() || !ParseBackupName(find.GetName().View(), &year, &month, &day)) continue;
    // The names sort as their dates do.
    const int order = find.GetName().View().compare(today.CStr());
    keptToday = keptToday || order == 0;
    if (order >= 0) continue;
    Backup backup;
    backup.date.SetDate(year, month, day, 0);
    backup.name = find.GetName();
    found.push_back(std::move(backup));
  }
  std::stable_sort(found.begin(), found.end(), [](const Backup& a, const Backup& b) {
    return TTimeDate::Less(a.date, b.date);
  });
  if (keptToday && keep > 0) --keep;

  // The folder that was listed is the one deleted, under the name it was listed with; a dated
  // folder is pruned without following links.
  bool pruned = true;
  for (size_t k = 0; found.size() - k > keep; ++k) {
    LogPrintf("ThinBackupsFolder> Deleting backup folder '%s'", found[k].name.CStr());
    pruned = File::Prune(Join(folder, found[k].name.View()).CStr()) && pruned;
  }
  return pruned;
}

String BackupFolderName(const TTimeDate& date) {
  String name;
  name.AppendFormat("%02u-%02u-%02u", date.GetYear() % 100, date.GetMonth(), date.GetDay());
  return name;
}
