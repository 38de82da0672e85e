#include "qel/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "qel/file_facts.h"
#include "qel/file_internal.h"

namespace Qel {

using file_internal::EqualsNoCase;
using file_internal::IsDrivePath;
using file_internal::ToSlashes;

namespace {

struct SubstEntry {
  std::string key;  // '/' separators, no trailing '/'; compared without regard to case
  std::string target;
  bool isFolder = true;
};

std::mutex& SubstMutex() {
  static std::mutex m;
  return m;
}

std::vector<SubstEntry>& SubstTable() {
  static std::vector<SubstEntry> table;
  return table;
}

// Changes with every change of the table: resolutions kept as file facts were made under the
// table as it was, on whatever thread it changed.
std::atomic<u64> g_substGeneration{0};

std::string SubstKey(std::string_view name) {
  std::string key = ToSlashes(name);
  while (!key.empty() && key.back() == '/') key.pop_back();
  return key;
}

// '\' to '/', runs of '/' to one.
std::string CleanSeparators(std::string_view p) {
  std::string out;
  out.reserve(p.size());
  for (char c : p) {
    if (c == '\\') c = '/';
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out += c;
  }
  return out;
}

std::string Join(const std::string& prefix, std::string_view name) {
  if (prefix.empty()) return std::string(name);
  std::string out = prefix;
  if (out.back() != '/') out += '/';
  out += name;
  return out;
}

std::vector<std::string> SplitComponents(const std::string& p) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    if (j > i) parts.emplace_back(p, i, j - i);
    i = j + 1;
  }
  return parts;
}

bool LstatOk(const std::string& p, struct stat* st = nullptr) {
  return file_facts::Lstat(p, st);
}

// Whatever a call changed on disk, no fact learnt before or during it stands.
struct ForgetFactsAtEnd {
  ForgetFactsAtEnd() = default;
  ForgetFactsAtEnd(const ForgetFactsAtEnd&) = delete;
  ForgetFactsAtEnd& operator=(const ForgetFactsAtEnd&) = delete;
  ~ForgetFactsAtEnd() { ForgetFileFacts(); }
};

// Folder listings for FindNoCase. Resolving names written in another case lists the same folders
// again and again (a script's includes against the scripts folder), so a listing is kept while
// the folder's change times say that no entry was added, removed or renamed since. A listing read
// within kSettleSeconds of the folder's last change is not trusted: a change in the same tick of
// the file system's clock would leave the times as they were.
struct FolderListing {
  File::Stamp stamp;
  std::vector<std::string> names;
};

constexpr i64 kSettleSeconds = 2;
constexpr size_t kMaxListings = 256;

std::mutex g_listingMutex;
std::map<std::string, FolderListing> g_listings;

bool ListFolder(const std::string& folder, std::vector<std::string>& names) {
  if (const std::vector<std::string>* known = file_facts::FindListing(folder)) {
    names = *known;
    return true;
  }
  DIR* d = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!d) return false;
  names.clear();
  while (dirent* e = ::readdir(d)) {
    std::string_view n(e->d_name);
    if (n != "." && n != "..") names.emplace_back(n);
  }
  ::closedir(d);
  file_facts::KeepListing(folder, names);
  return true;
}

// The names in folder, from the kept listing when the folder did not change since.
bool FolderNames(const std::string& folder, std::vector<std::string>& names) {
  const std::string key = folder.empty() ? "." : folder;
  File::Stamp stamp;
  if (!File::GetStamp(key.c_str(), &stamp)) return ListFolder(folder, names);
  {
    const std::lock_guard<std::mutex> lock(g_listingMutex);
    const auto kept = g_listings.find(key);
    if (kept != g_listings.end() && kept->second.stamp == stamp) {
      names = kept->second.names;
      file_facts::KeepListing(folder, names);
      return true;
    }
  }
  if (!ListFolder(folder, names)) return false;
  if (!stamp.IsSettled(kSettleSeconds)) return true;
  const std::lock_guard<std::mutex> lock(g_listingMutex);
  if (g_listings.size() >= kMaxListings) g_listings.clear();
  g_listings[key] = FolderListing{stamp, names};
  return true;
}

// The entry of folder whose name equals name without regard to case; the smallest in byte order
// when several do, so the choice does not depend on the order of the folder.
std::optional<std::string> FindNoCase(const std::string& folder, const std::string& name) {
  std::vector<std::string> listed;
  // A folder listed before under the same file facts is searched where its names are kept.
  const std::vector<std::string>* names = file_facts::FindListing(folder);
  if (names == nullptr) {
    if (!FolderNames(folder, listed)) return std::nullopt;
    names = &listed;
  }
  std::optional<std::string> best;
  for (const std::string& n : *names) {
    if (EqualsNoCase(n, name) && (!best || n < *best)) best = n;
  }
  return best;
}

std::optional<std::string> ResolveTextAfresh(const char* path);

// The resolved path as std::string, or nullopt for a path that names nothing.
std::optional<std::string> ResolveText(const char* path) {
  thread_local u64 substGeneration = 0;
  const u64 generation = g_substGeneration.load(std::memory_order_acquire);
  if (generation != substGeneration) {
    ForgetFileFacts();
    substGeneration = generation;
  }
  if (const std::optional<std::string>* known = file_facts::FindResolved(path)) return *known;
  std::optional<std::string> resolved = ResolveTextAfresh(path);
  file_facts::KeepResolved(path, resolved);
  return resolved;
}

std::optional<std::string> ResolveTextAfresh(const char* path) {
  if (!path || !*path) return std::nullopt;
  if (IsDrivePath(path)) return std::nullopt;
  std::string p = CleanSeparators(File::ResolveSubst(path).View());
  if (p.empty() || IsDrivePath(p)) return std::nullopt;
  if (LstatOk(p)) return p;

  const bool absolute = p[0] == '/';
  const bool trailing = p.size() > 1 && p.back() == '/';
  std::string prefix = absolute ? "/" : "";
  const std::vector<std::string> components = SplitComponents(p);
  // Every folder on the way to an entry that exists exists too, so the walk starts behind the
  // longest prefix that exists as written (most often all but the last name) instead of asking
  // for each folder from the root.
  const auto joined = [&components](std::string text, size_t count) {
    for (size_t i = 0; i < count; ++i) text = Join(text, components[i]);
    return text;
  };
  size_t known = 0;
  for (size_t count = components.empty() ? 0 : components.size() - 1; count > 0; --count) {
    if (LstatOk(joined(prefix, count))) {
      known = count;
      break;
    }
  }
  prefix = joined(prefix, known);
  bool lost = false;
  for (size_t i = known; i < components.size(); ++i) {
    const std::string& comp = components[i];
    if (!lost) {
      std::string exact = Join(prefix, comp);
      if (comp == "." || comp == ".." || LstatOk(exact)) {
        prefix = std::move(exact);
        continue;
      }
      if (auto match = FindNoCase(prefix, comp)) {
        prefix = Join(prefix, *match);
        continue;
      }
      lost = true;
    }
    prefix = Join(prefix, comp);
  }
  if (trailing && prefix.back() != '/') prefix += '/';
  return prefix;
}

bool SameEntry(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes everything inside the open folder dirFd without following links. One descriptor per
// level stays open; the listing is read completely before descending.
bool PruneContents(int dirFd, int depth) {
  if (depth > 1024) return false;
  int listFd = ::dup(dirFd);
  if (listFd < 0) return false;
  DIR* d = ::fdopendir(listFd);
  if (!d) {
    ::close(listFd);
    return false;
  }
  std::vector<std::string> names;
  errno = 0;
  while (dirent* e = ::readdir(d)) {
    std::string_view n(e->d_name);
    if (n != "." && n != "..") names.emplace_back(n);
  }
  const bool listed = errno == 0;
  ::closedir(d);

  bool ok = listed;
  for (const std::string& name : names) {
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) ok = false;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      int child = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0) {
        ok = false;
        continue;
      }
      const bool emptied = PruneContents(child, depth + 1);
      ::close(child);
      if (!emptied || ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0) ok = false;
    } else if (::unlinkat(dirFd, name.c_str(), 0) != 0) {
      ok = false;
    }
  }
  return ok;
}

}  // namespace

// ---- open files ----

int File::Open(const char* path, u32 mode, u32 extra) {
  Close();
  constexpr u32 kKnown =
      kModeWrite | kModeRead | kModeReadShared | kModeCreate | kModeMakeFolders | kModeAnyKind;
  if (!path || (mode & ~kKnown)) return EINVAL;
  const bool write = mode & (kModeWrite | kModeCreate);
  const bool read = mode & (kModeRead | kModeReadShared);
  if (!read && !write) return EINVAL;
  std::optional<ForgetFactsAtEnd> forget;
  if (write) forget.emplace();

  std::optional<std::string> resolved = ResolveText(path);
  if (!resolved) return ENOENT;
  const bool create = mode & kModeCreate;
  if (create && (mode & kModeMakeFolders)) {
    const size_t slash = resolved->rfind('/');
    if (slash != std::string::npos && slash > 0) {
      if (!MakeTree(resolved->substr(0, slash).c_str())) return errno ? errno : ENOENT;
    }
  }

  int flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
  if (create) flags |= O_CREAT | O_TRUNC;
  // A named pipe would hold the open until a writer came: reads open without waiting, and take
  // only what has an end.
  const bool anyKind = mode & kModeAnyKind;
  if (!write && !anyKind) flags |= O_NONBLOCK;
  int fd;
  do {
    fd = ::open(resolved->c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  struct stat st;
  int code = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (code == 0 && !write && !anyKind && !S_ISREG(st.st_mode)) code = ENXIO;
  if (code == 0 && (flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
    code = errno;
  if (code) {
    ::close(fd);
    return code;
  }

  fd_ = fd;
  mode_ = mode;
  extra_ = extra;
  atEnd_ = false;
  path_ = (*resolved)[0] == '/' ? String(*resolved) : String(Join(GetCwd().Std(), *resolved));
  file_facts::KeepOpened(path_.Std(), st);
  return 0;
}

int File::OpenInFolder(const PString& folder, const char* name, u32 mode, u32 extra) {
  if (!name) {
    Close();
    return EINVAL;
  }
  return Open(InFolder(folder, name).CStr(), mode, extra);
}

void File::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  mode_ = 0;
  extra_ = 0;
  atEnd_ = false;
  path_.Clear();
}

u32 File::Read(void* dst, u32 n) {
  if (fd_ < 0 || !dst) return 0;
  u8* p = static_cast<u8*>(dst);
  u32 got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd_, p + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      if (r == 0) atEnd_ = true;
      break;
    }
    got += static_cast<u32>(r);
  }
  return got;
}

u32 File::Write(const void* src, u32 n) {
  if (fd_ < 0 || !src) return 0;
  const ForgetFactsAtEnd forget;
  const u8* p = static_cast<const u8*>(src);
  u32 put = 0;
  while (put < n) {
    const ssize_t r = ::write(fd_, p + put, n - put);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    put += static_cast<u32>(r);
  }
  atEnd_ = false;
  return put;
}

bool File::Seek(i64 offset, int origin) {
  if (fd_ < 0) return false;
  int whence;
  switch (origin) {
    case 0:
      whence = SEEK_SET;
      break;
    case 1:
      whence = SEEK_CUR;
      break;
    case 2:
      whence = SEEK_END;
      break;
    default:
      return false;
  }
  if (::lseek(fd_, static_cast<off_t>(offset), whence) < 0) return false;
  atEnd_ = false;
  return true;
}

u64 File::GetPosition() const {
  if (fd_ < 0) return 0;
  const off_t p = ::lseek(fd_, 0, SEEK_CUR);
  return p < 0 ? 0 : static_cast<u64>(p);
}

u64 File::GetLength() const {
  if (fd_ < 0) return 0;
  if (const struct stat* known = file_facts::FindOpened(path_.Std())) {
    return known->st_size < 0 ? 0 : static_cast<u64>(known->st_size);
  }
  struct stat st;
  if (::fstat(fd_, &st) != 0 || st.st_size < 0) return 0;
  return static_cast<u64>(st.st_size);
}

bool File::IsEof() const {
  if (fd_ < 0) return true;
  const off_t p = ::lseek(fd_, 0, SEEK_CUR);
  // A pipe has no position: its end is known once a read came back empty.
  if (p < 0) return atEnd_;
  return static_cast<u64>(p) >= GetLength();
}

bool File::ReadLine(String& out) {
  out.Clear();
  if (fd_ < 0) return false;
  const off_t start = ::lseek(fd_, 0, SEEK_CUR);
  if (start < 0) {
    // Not seekable: a byte at a time, so nothing past the line is consumed.
    char c;
    while (Read(&c, 1) == 1) {
      out += c;
      if (c == '\n') break;
    }
    return !out.IsEmpty();
  }
  char buf[512];
  u64 used = 0;
  for (;;) {
    ssize_t r = ::read(fd_, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      if (r == 0) atEnd_ = true;
      break;
    }
    const void* nl = std::memchr(buf, '\n', static_cast<size_t>(r));
    if (nl) {
      const size_t k = static_cast<size_t>(static_cast<const char*>(nl) - buf) + 1;
      out.Append(buf, k);
      used += k;
      // Give back what was read beyond the line.
      ::lseek(fd_, start + static_cast<off_t>(used), SEEK_SET);
      return true;
    }
    out.Append(buf, static_cast<size_t>(r));
    used += static_cast<u64>(r);
  }
  return !out.IsEmpty();
}

// ---- paths and folders ----

bool File::Exists(const char* path) {
  std::optional<std::string> r = ResolveText(path);
  return r && LstatOk(*r);
}

bool File::GetStamp(const char* path, Stamp* out) {
  struct stat st;
  if (!path || !file_facts::Stat(path, &st)) return false;
  constexpr i64 kNano = 1000000000;
  out->device = u64(st.st_dev);
  out->inode = u64(st.st_ino);
  out->size = u64(st.st_size);
  out->modified = i64(st.st_mtim.tv_sec) * kNano + st.st_mtim.tv_nsec;
  out->changed = i64(st.st_ctim.tv_sec) * kNano + st.st_ctim.tv_nsec;
  return true;
}

bool File::Stamp::IsSettled(i64 seconds) const {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const i64 latest = std::max(modified, changed) / 1000000000;
  return i64(now.tv_sec) - latest > seconds;
}

bool File::IsFolder(const char* path) {
  std::optional<std::string> r = ResolveText(path);
  struct stat st;
  return r && file_facts::Stat(*r, &st) && S_ISDIR(st.st_mode);
}

bool File::Rename(const char* from, const char* to) {
  const ForgetFactsAtEnd forget;
  std::optional<std::string> src = ResolveText(from);
  struct stat srcSt;
  if (!src || !LstatOk(*src, &srcSt) || !to || !*to || IsDrivePath(to)) return false;

  // The destination's folder is resolved; its name keeps the case given.
  std::string dst = CleanSeparators(ResolveSubst(to).View());
  while (dst.size() > 1 && dst.back() == '/') dst.pop_back();
  if (dst.empty() || IsDrivePath(dst)) return false;
  const size_t slash = dst.rfind('/');
  std::string folder = slash == std::string::npos ? "" : dst.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? dst : dst.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return false;
  if (!folder.empty()) {
    std::optional<std::string> r = ResolveText(folder.c_str());
    if (!r) return false;
    folder = std::move(*r);
  }
  dst = Join(folder, name);
  if (dst == *src) return true;

  // An entry of the same name in another case is the same file on the original platform, so it
  // blocks the rename unless it is the source itself (a change of case).
  if (auto clash = FindNoCase(folder, name)) {
    struct stat st;
    if (!LstatOk(Join(folder, *clash), &st) || !SameEntry(st, srcSt)) {
      errno = EEXIST;
      return false;
    }
    if (*clash == name) return true;  // another hard link of the source under the same name
  }
  if (::renameat2(AT_FDCWD, src->c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE: the clash test above stands in for it.
  if (LstatOk(dst)) {
    errno = EEXIST;
    return false;
  }
  return ::rename(src->c_str(), dst.c_str()) == 0;
}

bool File::Unlink(const char* path) {
  const ForgetFactsAtEnd forget;
  std::optional<std::string> r = ResolveText(path);
  struct stat st;
  if (!r || !LstatOk(*r, &st)) return false;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  return ::unlink(r->c_str()) == 0;
}

bool File::MakeTree(const char* path) {
  std::optional<std::string> r = ResolveText(path);
  if (!r) return false;
  struct stat st;
  if (file_facts::Stat(*r, &st)) return S_ISDIR(st.st_mode);
  const ForgetFactsAtEnd forget;
  std::string prefix = (*r)[0] == '/' ? "/" : "";
  for (const std::string& comp : SplitComponents(*r)) {
    prefix = Join(prefix, comp);
    if (::mkdir(prefix.c_str(), 0777) == 0) continue;
    if (errno != EEXIST) return false;
    if (::stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
  }
  return ::stat(r->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool File::Prune(const char* path) {
  const ForgetFactsAtEnd forget;
  std::optional<std::string> r = ResolveText(path);
  struct stat st;
  if (!r || !LstatOk(*r, &st)) return false;
  if (S_ISLNK(st.st_mode)) return ::unlink(r->c_str()) == 0;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  // Never the root folder, whatever a caller computed.
  struct stat rootSt;
  if (::stat("/", &rootSt) == 0 && SameEntry(st, rootSt)) {
    errno = EPERM;
    return false;
  }
  const int fd = ::open(r->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool emptied = PruneContents(fd, 0);
  ::close(fd);
  return emptied && ::rmdir(r->c_str()) == 0;
}

String File::RealPath(const char* path) {
  if (path == nullptr) return String();
  const std::optional<std::string> resolved = ResolveText(path);
  if (!resolved) return String();
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(resolved->c_str(), nullptr),
                                                   &std::free);
  return real ? String(real.get()) : String();
}

bool File::IsBelowRealFolder(const String& realFolder, const char* path) {
  const String real = RealPath(path);
  if (real.IsEmpty() || realFolder.IsEmpty()) return false;
  const std::string& r = real.Std();
  const std::string& root = realFolder.Std();
  return r.size() > root.size() && r.compare(0, root.size(), root) == 0 &&
         (root.back() == '/' || r[root.size()] == '/');
}

String File::GetCwd() {
  std::vector<char> buf(256);
  for (;;) {
    if (::getcwd(buf.data(), buf.size())) return String(buf.data());
    if (errno != ERANGE || buf.size() > (1u << 20)) return String();
    buf.resize(buf.size() * 2);
  }
}

bool File::SetCwd(const char* path) {
  // Facts of relative paths are kept by their text.
  const ForgetFactsAtEnd forget;
  std::optional<std::string> r = ResolveText(path);
  return r && ::chdir(r->c_str()) == 0;
}

// ---- substitutions ----

void File::Subst(const PString& name, const char* target, bool isFolder) {
  const std::string key = SubstKey(name.View());
  if (key.empty()) return;
  std::lock_guard<std::mutex> lock(SubstMutex());
  std::vector<SubstEntry>& table = SubstTable();
  for (auto it = table.begin(); it != table.end(); ++it) {
    if (EqualsNoCase(it->key, key)) {
      table.erase(it);
      break;
    }
  }
  if (target && *target) table.push_back({key, ToSlashes(target), isFolder});
  g_substGeneration.fetch_add(1, std::memory_order_acq_rel);
}

bool File::LookupSubst(const PString& name, String* target, bool* isFolder) {
  const std::string key = SubstKey(name.View());
  std::lock_guard<std::mutex> lock(SubstMutex());
  for (const SubstEntry& e : SubstTable()) {
    if (!key.empty() && EqualsNoCase(e.key, key)) {
      if (target) *target = String(e.target);
      if (isFolder) *isFolder = e.isFolder;
      return true;
    }
  }
  return false;
}

String File::ResolveSubst(const char* path) {
  if (!path) return String();
  if (IsDrivePath(path)) return String(path);
  const std::string p = ToSlashes(path);
  const SubstEntry* best = nullptr;
  std::lock_guard<std::mutex> lock(SubstMutex());
  for (const SubstEntry& e : SubstTable()) {
    const size_t k = e.key.size();
    if (p.size() < k || (p.size() > k && p[k] != '/')) continue;
    if (!EqualsNoCase(std::string_view(p).substr(0, k), e.key)) continue;
    if (!best || k > best->key.size()) best = &e;
  }
  if (!best) return String(p);
  size_t rest = best->key.size();
  while (rest < p.size() && p[rest] == '/') ++rest;
  if (rest >= p.size()) return String(best->target);
  return String(Join(best->target, std::string_view(p).substr(rest)));
}

String File::Resolve(const char* path) {
  if (path && IsDrivePath(path)) return String(path);
  std::optional<std::string> r = ResolveText(path);
  return r ? String(std::move(*r)) : String();
}

String File::InFolder(const PString& folder, const char* name) {
  if (!name) name = "";
  if (folder.IsEmpty()) return String(name);
  while (*name == '/' || *name == '\\') ++name;
  if (!*name) return String(folder);
  return String(Join(ToSlashes(folder.View()), name));
}

}  // namespace Qel
