#include "assetdata/safe_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

bool IsLink(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

std::string Describe(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

// The permission bits a copy keeps: the source's, but never set-id bits or a write for anybody.
// The owner keeps reading a file and changing a folder, which the daemon's own later copies and
// moves need.
mode_t KeptMode(mode_t source, mode_t ownerNeeds) { return (source & 0775) | ownerNeeds; }

// `changed` is set when the source changed while it was read.
bool CopyFile(const std::string& from, const std::string& to, std::string& error, bool& changed) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  // The file is copied as far as it reached when opened: a writer appending meanwhile would
  // otherwise keep the copy going for as long as it writes.
  struct stat st {};
  if (in < 0 || fstat(in, &st) != 0) {
    error = Describe("cannot read", from);
    if (in >= 0) close(in);
    return false;
  }
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    error = Describe("cannot write", to);
    close(in);
    return false;
  }
  std::vector<char> buffer(64 * 1024);
  bool ok = true;
  for (off_t left = st.st_size; left > 0;) {
    const ssize_t n = read(in, buffer.data(), size_t(std::min<off_t>(left, off_t(buffer.size()))));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      error = n == 0 ? "cannot copy " + from + ": it shrank while it was copied"
                     : Describe("cannot read", from);
      break;
    }
    left -= n;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(out, buffer.data() + done, size_t(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        ok = false;
        error = Describe("cannot write", to);
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  // The copy keeps the source's times, so that it has the source's signature (TreeSignature) and
  // so its verdicts. A source that changed while it was read is another file than the one
  // copied: the copy then keeps the time it was written, which no verdict names. A time that
  // cannot be set leaves it so too. A save that replaced the file by a new one under its name is
  // a change too.
  struct stat after {};
  struct stat named {};
  const bool same =
      fstat(in, &after) == 0 && after.st_size == st.st_size &&
      after.st_mtim.tv_sec == st.st_mtim.tv_sec && after.st_mtim.tv_nsec == st.st_mtim.tv_nsec &&
      lstat(from.c_str(), &named) == 0 && named.st_ino == st.st_ino && named.st_dev == st.st_dev;
  changed = ok && !same;
  if (ok && !changed) {
    const timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(out, times);
  }
  if (ok && fchmod(out, KeptMode(st.st_mode, S_IRUSR)) != 0) {
    ok = false;
    error = Describe("cannot set the mode of", to);
  }
  if (ok && fsync(out) != 0) {
    ok = false;
    error = Describe("cannot flush", to);
  }
  close(out);
  close(in);
  return ok;
}

void SyncFolder(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

std::string Parent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// `relative` is `from` below the tree's top ("" at the top).
bool CopyTreeInner(const std::string& from, const std::string& to, const std::string& relative,
                   std::string& error, std::vector<std::string>* skipped,
                   std::vector<std::string>* changed, int depth) {
  // Made private and given the source's mode once it is filled, so that a read-only source
  // folder can be filled.
  if (mkdir(to.c_str(), 0700) != 0) {
    error = Describe("cannot make", to);
    return false;
  }
  DIR* dir = opendir(from.c_str());
  if (dir == nullptr) {
    error = Describe("cannot list", from);
    return false;
  }
  struct stat self {};
  if (fstat(dirfd(dir), &self) != 0) {
    error = Describe("cannot read", from);
    closedir(dir);
    return false;
  }
  bool ok = true;
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    const std::string source = from + "/" + name;
    const std::string below = relative.empty() ? name : relative + "/" + name;
    if (lstat(source.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode) && depth >= kMaxAssetFolderDepth) {
      ok = false;
      error.clear();
    } else if (S_ISDIR(st.st_mode)) {
      ok = CopyTreeInner(source, to + "/" + name, below, error, skipped, changed, depth + 1);
    } else if (S_ISREG(st.st_mode)) {
      bool altered = false;
      ok = CopyFile(source, to + "/" + name, error, altered);
      if (altered && changed != nullptr) changed->push_back(below);
    } else if (skipped != nullptr) {
      skipped->push_back(below);
    }
    if (!ok) break;
  }
  closedir(dir);
  if (ok && chmod(to.c_str(), KeptMode(self.st_mode, S_IRWXU)) != 0) {
    ok = false;
    error = Describe("cannot set the mode of", to);
  }
  if (ok) SyncFolder(to);
  return ok;
}

// The entries of a folder but "." and ".."; false when it cannot be listed.
bool ListNames(const std::string& path, std::vector<std::string>& names) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return true;
}

// Removal walks far below the asset limit: a user can nest folders in an editing copy without
// bound, and a copy set aside in staging or the backups sits a few levels below the folder handed
// over. Each level holds one descriptor, so the bound also keeps clear of the descriptor limit.
constexpr int kMaxRemovalDepth = 512;

// Empties the open folder `fd`, never following links; names work relative to their folder, so
// no path grows with the depth. `why` is set on the first failure.
bool EmptyFolder(int fd, int depth, std::string& why) {
  if (depth > kMaxRemovalDepth) {
    why = FoldersTooDeepReason(kMaxRemovalDepth);
    return false;
  }
  const int listFd = dup(fd);
  DIR* dir = listFd < 0 ? nullptr : fdopendir(listFd);
  if (dir == nullptr) {
    if (listFd >= 0) close(listFd);
    why = std::strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  bool ok = true;
  for (const std::string& name : names) {
    struct stat st {};
    if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
    } else if (S_ISDIR(st.st_mode)) {
      const int child = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      bool emptied = child >= 0;
      if (emptied) {
        emptied = EmptyFolder(child, depth + 1, why);
        close(child);
      }
      if (emptied && unlinkat(fd, name.c_str(), AT_REMOVEDIR) == 0) continue;
    } else if (unlinkat(fd, name.c_str(), 0) == 0) {
      continue;
    }
    if (ok && why.empty()) why = std::strerror(errno);
    ok = false;
  }
  return ok;
}

// Removes the entry at `path`, a whole tree for a folder; `why` is set on failure.
bool RemoveInner(const std::string& path, std::string& why) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    why = std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    if (unlink(path.c_str()) == 0) return true;
    why = std::strerror(errno);
    return false;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    why = std::strerror(errno);
    return false;
  }
  const bool emptied = EmptyFolder(fd, 1, why);
  close(fd);
  if (!emptied) return false;
  if (rmdir(path.c_str()) == 0) return true;
  why = std::strerror(errno);
  return false;
}

template <typename T>
void Sign(EVP_MD_CTX* signature, const T& value) {
  EVP_DigestUpdate(signature, &value, sizeof value);
}

// Each entry is its path below the root, ended by a zero byte that no name holds, its type and
// what tells it from another entry of that type without reading it: a file's size and time, a
// link's target text. False, with `why`, when an entry cannot be read.
bool SignTree(EVP_MD_CTX* signature, const std::string& path, const std::string& relative,
              int depth, std::string& why) {
  const std::string shown = relative.empty() ? std::string("the folder") : relative;
  std::vector<std::string> names;
  if (depth > kMaxAssetFolderDepth) {
    why = shown + " cannot be read (" + FoldersTooDeepReason() + ")";
    return false;
  }
  if (!ListNames(path, names)) {
    why = shown + " cannot be read (" + std::strerror(errno) + ")";
    return false;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string entry = path + "/" + name;
    const std::string below = relative.empty() ? name : relative + "/" + name;
    struct stat st {};
    const auto unreadable = [&] {
      why = below + " cannot be read (" + std::strerror(errno) + ")";
      return false;
    };
    if (lstat(entry.c_str(), &st) != 0) return unreadable();
    const char type = S_ISDIR(st.st_mode)    ? 'd'
                      : S_ISREG(st.st_mode)  ? 'f'
                      : S_ISLNK(st.st_mode)  ? 'l'
                      : S_ISFIFO(st.st_mode) ? 'p'
                      : S_ISSOCK(st.st_mode) ? 's'
                      : S_ISCHR(st.st_mode)  ? 'c'
                                             : 'b';
    EVP_DigestUpdate(signature, below.c_str(), below.size() + 1);
    Sign(signature, type);
    if (type == 'd') {
      if (!SignTree(signature, entry, below, depth + 1, why)) return false;
    } else if (type == 'f') {
      // A file the host could not read was not judged: opened, never read. Neither a link nor a
      // pipe put in its place since it was looked at is followed or waited for.
      const int fd = open(entry.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
      if (fd < 0) return unreadable();
      close(fd);
      Sign(signature, int64_t(st.st_size));
      Sign(signature, int64_t(st.st_mtim.tv_sec));
      Sign(signature, int64_t(st.st_mtim.tv_nsec));
    } else if (type == 'l') {
      std::vector<char> target(size_t(st.st_size) + 2);
      const ssize_t n = readlink(entry.c_str(), target.data(), target.size());
      // A target longer than its entry said was changed while it was read.
      if (n < 0 || size_t(n) >= target.size()) return unreadable();
      EVP_DigestUpdate(signature, target.data(), size_t(n));
      Sign(signature, '\0');
    }
  }
  return true;
}

}  // namespace

std::string FoldersTooDeepReason(int levels) {
  return "folders nested deeper than " + std::to_string(levels) + " levels";
}

std::string SafeFolder::TreeSignature(const std::string& path, std::string* why) {
  std::string reason;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> signature(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned char sum[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  struct stat st {};
  bool done = false;
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    reason = "the folder cannot be read (not a folder)";
  } else if (!signature || EVP_DigestInit_ex(signature.get(), EVP_sha256(), nullptr) != 1 ||
             !SignTree(signature.get(), path, std::string(), 0, reason) ||
             EVP_DigestFinal_ex(signature.get(), sum, &length) != 1) {
    if (reason.empty()) reason = "the folder cannot be signed (no SHA-256)";
  } else {
    done = true;
  }
  if (!done) {
    if (why != nullptr) *why = reason;
    return {};
  }
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[sum[i] >> 4];
    text += kHex[sum[i] & 15];
  }
  return text;
}

void SafeFolder::Sync(const std::string& folder) const {
  if (pending_ != nullptr) {
    pending_->insert(folder);
  } else {
    SyncFolder(folder);
  }
}

void SafeFolder::SyncFolders(const std::set<std::string>& folders) {
  for (const std::string& folder : folders) SyncFolder(folder);
}

std::string SafeFolder::Resolve(const std::string& relative) const {
  if (relative.empty() || relative.front() == '/') return {};
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string element = relative.substr(start, end - start);
    if (element.empty() || element == "." || element == ".." ||
        element.find('\\') != std::string::npos) {
      return {};
    }
    start = end + 1;
  }
  return root_ + "/" + relative;
}

bool SafeFolder::MayChange(const std::string& path) const {
  if (path.size() <= root_.size() + 1 || path.compare(0, root_.size(), root_) != 0 ||
      path[root_.size()] != '/') {
    return false;
  }
  const std::string below = path.substr(root_.size() + 1);
  if (Resolve(below).empty() || below.find('/') == std::string::npos) return false;
  // Every element from the root down must be a real folder or, for the last, a real entry.
  std::string walk = root_;
  size_t start = 0;
  while (start < below.size()) {
    size_t end = below.find('/', start);
    if (end == std::string::npos) end = below.size();
    walk += "/" + below.substr(start, end - start);
    if (IsLink(walk)) return false;
    start = end + 1;
  }
  return true;
}

bool SafeFolder::CopyTree(const std::string& from, const std::string& to, std::string& error,
                          std::vector<std::string>* skipped,
                          std::vector<std::string>* changed) const {
  if (!MayChange(to) || IsLink(from) || Exists(to)) {
    error = "refused to copy into " + to;
    return false;
  }
  if (!MakeFolders(Parent(to), error)) return false;
  if (CopyTreeInner(from, to, std::string(), error, skipped, changed, 0)) return true;
  // Only the depth check leaves no reason of its own.
  if (error.empty()) error = from + ": " + FoldersTooDeepReason();
  std::string ignored;
  RemoveInner(to, ignored);
  return false;
}

bool SafeFolder::RemoveTree(const std::string& path, std::string& error) const {
  if (!MayChange(path)) {
    error = "refused to remove " + path;
    return false;
  }
  std::string why;
  if (RemoveInner(path, why)) return true;
  error = "cannot remove " + path + ": " + why;
  return false;
}

bool SafeFolder::MakeFolders(const std::string& path, std::string& error) const {
  if (path == root_) return true;
  if (!MayChange(path + "/x")) {
    error = "refused to make " + path;
    return false;
  }
  std::string walk = root_;
  const std::string below = path.substr(root_.size() + 1);
  size_t start = 0;
  while (start < below.size()) {
    size_t end = below.find('/', start);
    if (end == std::string::npos) end = below.size();
    walk += "/" + below.substr(start, end - start);
    if (mkdir(walk.c_str(), 0700) != 0 && errno != EEXIST) {
      error = Describe("cannot make", walk);
      return false;
    }
    start = end + 1;
  }
  return true;
}

bool SafeFolder::Move(const std::string& from, const std::string& to, std::string& error) const {
  if (!MayChange(from) || !MayChange(to) || Exists(to)) {
    error = "refused to move " + from + " to " + to;
    return false;
  }
  if (!MakeFolders(Parent(to), error)) return false;
  if (syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0 &&
      (errno != EINVAL || std::rename(from.c_str(), to.c_str()) != 0)) {
    error = Describe("cannot move", from);
    return false;
  }
  Sync(Parent(to));
  Sync(Parent(from));
  return true;
}

bool SafeFolder::Exchange(const std::string& a, const std::string& b, std::string& error,
                          bool* unsupported) const {
  if (unsupported != nullptr) *unsupported = false;
  if (!MayChange(a) || !MayChange(b)) {
    error = "refused to exchange " + a + " and " + b;
    return false;
  }
  if (syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) {
    if (unsupported != nullptr) *unsupported = errno == EINVAL || errno == ENOSYS;
    error = Describe("cannot exchange", a);
    return false;
  }
  Sync(Parent(a));
  Sync(Parent(b));
  return true;
}
