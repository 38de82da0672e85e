#include "assetdata/safe_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
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

std::function<int(const char* call, const std::string& path)> g_readFault;

// The fault a test gives the read `call` ("list", "stat" or "open") of `path`, as errno; 0 for
// none.
int ReadFault(const char* call, const std::string& path) {
  return g_readFault ? g_readFault(call, path) : 0;
}

// lstat of `path`, or of `name` in the open folder `folder` when one is given, which spares the
// walk of the whole path for each entry of a large folder.
int StatEntry(const std::string& path, struct stat& st, int folder = AT_FDCWD,
              const std::string& name = {}) {
  if (const int fault = ReadFault("stat", path)) {
    errno = fault;
    return -1;
  }
  return fstatat(folder, (folder == AT_FDCWD ? path : name).c_str(), &st, AT_SYMLINK_NOFOLLOW);
}

// Adds the names of the open folder `dir` (read from `path`) but "." and ".." to `names`; false,
// with errno, when the listing fails. readdir ends a listing that fails part-way as it ends a
// whole one: only errno tells them apart.
bool ReadNames(DIR* dir, const std::string& path, std::vector<std::string>& names) {
  for (errno = 0; dirent* e = readdir(dir); errno = 0) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  const int failure = errno != 0 ? errno : ReadFault("list", path);
  errno = failure;
  return failure == 0;
}

// Writes the copy of the file `name` of the open folder `fromFolder` (at the path `from`) to the
// open folder `toFolder` (the path `to` names the copy); the caller makes it durable.
bool CopyFile(int fromFolder, int toFolder, const std::string& name, const std::string& from,
              const std::string& to, std::string& error) {
  const int fault = ReadFault("open", from);
  if (fault != 0) errno = fault;
  const int in =
      fault != 0 ? -1 : openat(fromFolder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  // The file is copied as far as it reached when opened: a writer appending meanwhile would
  // otherwise keep the copy going for as long as it writes.
  struct stat st {};
  if (in < 0 || fstat(in, &st) != 0) {
    error = Describe("cannot read", from);
    if (in >= 0) close(in);
    return false;
  }
  const int out = openat(toFolder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    error = Describe("cannot write", to);
    close(in);
    return false;
  }
  // One buffer per thread: clearing a new one for each file cost more than copying a small file.
  static thread_local std::vector<char> buffer(64 * 1024);
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
  // The copy keeps the source's times, as `cp -p` does. A source that changed while it was read
  // is another file than the one copied: the copy then keeps the time it was written. A time
  // that cannot be set leaves it so too. A save that replaced the file by a new one under its
  // name is a change too.
  struct stat after {};
  struct stat named {};
  const bool same = fstat(in, &after) == 0 && after.st_size == st.st_size &&
                    after.st_mtim.tv_sec == st.st_mtim.tv_sec &&
                    after.st_mtim.tv_nsec == st.st_mtim.tv_nsec &&
                    fstatat(fromFolder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                    named.st_ino == st.st_ino && named.st_dev == st.st_dev;
  if (ok && same) {
    const timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(out, times);
  }
  if (ok && fchmod(out, KeptMode(st.st_mode, S_IRUSR)) != 0) {
    ok = false;
    error = Describe("cannot set the mode of", to);
  }
  if (close(out) != 0 && ok) {
    ok = false;
    error = Describe("cannot write", to);
  }
  close(in);
  return ok;
}

// The regular files and the folders (`path` among them) of the new tree at `path`, never
// following links; an errno when a folder cannot be listed, 0 otherwise. Trees of the daemon's own
// making and trees it has signed, so no deeper than the limit.
int ListTree(const std::string& path, std::vector<std::string>& files,
             std::vector<std::string>& folders) {
  folders.push_back(path);
  std::vector<std::string> below;
  {
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
    if (dir == nullptr) return errno;
    for (errno = 0; const dirent* e = readdir(dir.get()); errno = 0) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      unsigned char type = e->d_type;
      struct stat st {};
      if (type == DT_UNKNOWN) {
        if (fstatat(dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
      }
      if (type == DT_DIR) below.push_back(path + "/" + name);
      if (type == DT_REG) files.push_back(path + "/" + name);
    }
    if (errno != 0) return errno;
  }
  for (const std::string& folder : below) {
    if (const int failure = ListTree(folder, files, folders)) return failure;
  }
  return 0;
}

// Opens `path` read-only, never through a link, waiting out a descriptor limit reached for a
// moment by the other threads of the daemon (or of this walk); -1, with errno, otherwise.
int OpenToSync(const std::string& path, int flags) {
  for (int tries = 0;; ++tries) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | flags);
    if (fd >= 0 || (errno != EMFILE && errno != ENFILE) || tries == 100) return fd;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// What SyncEntry does to a file or folder.
enum class Sync {
  kFolder,  // fsync
  kFile,    // fdatasync
  // Starts the file's write-back without waiting for it.
  kStartWriteBack,
  // Tells whether the file's write-back failed since it was written, as the kernel keeps it for
  // each file: once to each opening of the file that has not been told, without a write.
  kCheckWriteBack,
};

// Does `sync` to the file or folder at `path`; 0 or the errno of its failure. A test's fault is
// asked as `call`.
int SyncEntry(const std::string& path, Sync sync, const char* call = "sync") {
  if (const int fault = ReadFault(call, path)) return fault;
  const int fd = OpenToSync(path, sync == Sync::kFolder ? O_DIRECTORY : O_NONBLOCK);
  if (fd < 0) return errno;
  int done = 0;
  switch (sync) {
    case Sync::kFolder:
      done = fsync(fd);
      break;
    case Sync::kFile:
      done = fdatasync(fd);
      break;
    case Sync::kStartWriteBack:
      done = sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
      break;
    case Sync::kCheckWriteBack:
      done = sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WAIT_AFTER);
      break;
  }
  const int failure = done == 0 ? 0 : errno;
  close(fd);
  return failure;
}

std::string Parent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Where `path` leads once each link on the way is followed: the real path of the deepest folder
// of it that exists, and the rest of it. Empty, with errno, when that cannot be told.
std::string RealPlace(std::string path) {
  std::string rest;
  for (;;) {
    const std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
    if (real != nullptr) return real.get() + rest;
    const size_t slash = path.rfind('/');
    if ((errno != ENOENT && errno != ENOTDIR) || slash == 0 || slash == std::string::npos) {
      return {};
    }
    rest = path.substr(slash) + rest;
    path.resize(slash);
  }
}

// `relative` is `from` below the tree's top ("" at the top). Any entry of the source that cannot
// be listed, looked at or read refuses the copy, naming it: a copy short of it would pass for the
// whole tree.
bool CopyTreeInner(const std::string& from, const std::string& to, const std::string& relative,
                   std::string& error, std::vector<std::string>* skipped, int depth) {
  // Made private and given the source's mode once it is filled, so that a read-only source
  // folder can be filled.
  if (mkdir(to.c_str(), 0700) != 0) {
    error = Describe("cannot make", to);
    return false;
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(from.c_str()), closedir);
  if (dir == nullptr) {
    error = Describe("cannot list", from);
    return false;
  }
  struct stat self {};
  std::vector<std::string> names;
  if (fstat(dirfd(dir.get()), &self) != 0 || !ReadNames(dir.get(), from, names)) {
    error = Describe("cannot list", from);
    return false;
  }
  const int target = open(to.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (target < 0) {
    error = Describe("cannot open", to);
    return false;
  }
  bool ok = true;
  for (const std::string& name : names) {
    struct stat st {};
    const std::string source = from + "/" + name;
    const std::string below = relative.empty() ? name : relative + "/" + name;
    if (StatEntry(source, st, dirfd(dir.get()), name) != 0) {
      ok = false;
      error = Describe("cannot read", source);
    } else if (S_ISDIR(st.st_mode) && depth >= kMaxAssetFolderDepth) {
      ok = false;
      error.clear();
    } else if (S_ISDIR(st.st_mode)) {
      ok = CopyTreeInner(source, to + "/" + name, below, error, skipped, depth + 1);
    } else if (S_ISREG(st.st_mode)) {
      ok = CopyFile(dirfd(dir.get()), target, name, source, to + "/" + name, error);
    } else if (skipped != nullptr) {
      skipped->push_back(below);
    }
    if (!ok) break;
  }
  if (ok && fchmod(target, KeptMode(self.st_mode, S_IRWXU)) != 0) {
    ok = false;
    error = Describe("cannot set the mode of", to);
  }
  close(target);
  return ok;
}

// The entries of the open folder `fd` but "." and "..", sorted into folders and the rest, never
// following links; false, with `why`, when it cannot be listed.
bool ListEntries(int fd, std::vector<std::string>& folders, std::vector<std::string>& others,
                 std::string& why) {
  const int listFd = dup(fd);
  DIR* dir = listFd < 0 ? nullptr : fdopendir(listFd);
  if (dir == nullptr) {
    if (listFd >= 0) close(listFd);
    why = std::strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  const bool listed = ReadNames(dir, std::string(), names);
  if (!listed) why = std::strerror(errno);
  closedir(dir);
  for (const std::string& name : names) {
    struct stat st {};
    const bool folder =
        fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    (folder ? folders : others).push_back(name);
  }
  return listed;
}

// Empties the open folder `top` (which stays open), never following links, to any depth the
// file system holds: one folder is open at a time, and the walk climbs back by "..", checked to
// be the folder it came down from, so neither paths nor descriptors grow with the depth. `why`
// is set on the first failure; what can be removed goes all the same.
bool EmptyFolder(int top, std::string& why) {
  // The folders still to enter at each level, and the name of the one entered below it.
  struct Level {
    std::vector<std::string> folders;
    size_t next = 0;
  };
  std::vector<Level> levels(1);
  bool ok = true;
  const auto fail = [&](const std::string& name) {
    if (ok) why = name + ": " + std::strerror(errno);
    ok = false;
  };
  int fd = top;
  bool entered = true;
  while (true) {
    if (entered) {
      std::vector<std::string> others;
      if (!ListEntries(fd, levels.back().folders, others, why)) ok = false;
      for (const std::string& name : others) {
        if (unlinkat(fd, name.c_str(), 0) != 0 && errno != ENOENT) fail(name);
      }
    }
    Level& level = levels.back();
    if (level.next < level.folders.size()) {
      const std::string& name = level.folders[level.next++];
      const int child = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      entered = child >= 0;
      if (!entered) {
        // One that cannot be opened still goes when it is empty.
        if (errno != ENOENT && unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0) fail(name);
        continue;
      }
      if (fd != top) close(fd);
      fd = child;
      levels.emplace_back();
      continue;
    }
    if (levels.size() == 1) break;
    // Climbs to the parent, which must still hold this folder under its name.
    levels.pop_back();
    const std::string& name = levels.back().folders[levels.back().next - 1];
    struct stat here {};
    struct stat there {};
    const int parent = levels.size() == 1
                           ? top
                           : openat(fd, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool same = parent >= 0 && fstat(fd, &here) == 0 &&
                      fstatat(parent, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
                      here.st_dev == there.st_dev && here.st_ino == there.st_ino;
    close(fd);
    if (!same) {
      if (parent >= 0 && parent != top) close(parent);
      why = name + " was moved while it was removed";
      return false;
    }
    fd = parent;
    entered = false;
    if (unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) fail(name);
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
  const bool emptied = EmptyFolder(fd, why);
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

int64_t Nanoseconds(const timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

int64_t CoarseNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return Nanoseconds(now);
}

// The last moment at which a write can still give a file this change time: file times come from
// the kernel's coarse clock, one tick behind at most, and a file system that keeps whole seconds
// (or FAT's two) cuts them down. A time without nanoseconds is taken to be such a one.
int64_t TickEnd(const timespec& t) {
  static const int64_t tick = [] {
    timespec resolution{};
    clock_getres(CLOCK_REALTIME_COARSE, &resolution);
    return std::max<int64_t>(Nanoseconds(resolution), 1000000);
  }();
  return Nanoseconds(t) + (t.tv_nsec == 0 ? 2000000000 : tick);
}

// How many files and folders SyncNewTrees syncs at once.
constexpr size_t kSyncThreads = 16;

// How much data not yet written a syncfs may find per file of the change and still take no longer
// than syncing the change's files one by one: each such sync costs a share of a flush of the
// disk's cache and of a journal commit, a quarter to half a millisecond, in which a disk writes
// about this much.
constexpr uint64_t kUnwrittenPerFile = 64 * 1024;

std::atomic<int64_t> g_unwrittenForTests{-1};

// Whether the system holds so little file data not yet written back (the change's own among it)
// that one syncfs of the change's file system waits for no more than syncs of its `files` would.
// The Dirty and Writeback figures of /proc/meminfo count every file system: data of another disk
// makes the syncs per file the choice, which is slower but never waits for it. False when they
// cannot be read.
bool FewUnwritten(size_t files) {
  uint64_t bytes = 0;
  if (g_unwrittenForTests >= 0) {
    bytes = uint64_t(g_unwrittenForTests.load());
  } else {
    const std::unique_ptr<FILE, int (*)(FILE*)> info(fopen("/proc/meminfo", "re"), fclose);
    if (info == nullptr) return false;
    int found = 0;
    char line[256];
    while (fgets(line, sizeof line, info.get()) != nullptr) {
      unsigned long long kilobytes = 0;
      if (sscanf(line, "Dirty: %llu kB", &kilobytes) == 1 ||
          sscanf(line, "Writeback: %llu kB", &kilobytes) == 1) {
        bytes += kilobytes * 1024;
        ++found;
      }
    }
    if (found != 2) return false;
  }
  return bytes <= files * kUnwrittenPerFile;
}

// The first failure of RunOnThreads: its errno (0 for none) and the index it failed at.
struct Failure {
  int error = 0;
  size_t at = 0;
};

// Runs `work` for each index below `count`, on up to kSyncThreads threads at once, until one
// fails.
Failure RunOnThreads(size_t count, const std::function<int(size_t)>& work) {
  std::atomic<size_t> next{0};
  std::atomic<int> firstFailure{0};
  std::atomic<size_t> failedAt{0};
  const auto run = [&] {
    for (size_t i = next++; i < count && firstFailure == 0; i = next++) {
      const int failure = work(i);
      int none = 0;
      if (failure != 0 && firstFailure.compare_exchange_strong(none, failure)) failedAt = i;
    }
  };
  std::vector<std::thread> threads(std::min<size_t>(kSyncThreads, count) - (count > 0 ? 1 : 0));
  try {
    for (std::thread& thread : threads) thread = std::thread(run);
  } catch (const std::system_error&) {
    // Fewer threads than asked, or none but this one: the syncs take longer, never fewer.
  }
  run();
  for (std::thread& thread : threads) {
    if (thread.joinable()) thread.join();
  }
  return {firstFailure, failedAt};
}

// One syncfs of each file system holding one of `paths`; 0 or the errno of the first that failed,
// whose path goes to `failed`.
int SyncFileSystems(const std::vector<std::string>& paths, std::string* failed) {
  std::set<dev_t> synced;
  for (const std::string& path : paths) {
    int failure = ReadFault("syncfs", path);
    const int fd = failure != 0 ? -1 : OpenToSync(path, O_DIRECTORY);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
      failure = failure != 0 ? failure : errno;
    } else if (synced.insert(st.st_dev).second && syncfs(fd) != 0) {
      failure = errno;
    }
    if (fd >= 0) close(fd);
    if (failure != 0) {
      if (failed != nullptr) *failed = path;
      return failure;
    }
  }
  return 0;
}

std::atomic<bool> g_wholeSecondsForTests{false};
std::function<void()> g_clockWaitHook;

struct Signing {
  EVP_MD_CTX* digest;
  std::string why;
  // The entry whose change time a write could still give another content, and the end of that
  // tick; of those entries whose change time holds no fraction of a second, the end of the last
  // one's tick.
  std::string latest;
  int64_t settles = 0;
  std::string latestWhole;
  int64_t wholeSettles = 0;
  // Whether each entry's device number goes in too, as the last build's signatures held it.
  bool device = false;
  // Whether each file's size, and with `bytes` its bytes, go in, in place of what tells the file
  // apart from its copies.
  bool content = false;
  bool bytes = true;
  // SignTogether's: the content signature without bytes, each entry's record of it, and, while
  // the records are those of `like`, the content signature with bytes; `opened` when that read
  // the file just signed.
  EVP_MD_CTX* shape = nullptr;
  std::vector<std::string>* entries = nullptr;
  const std::vector<std::string>* like = nullptr;
  EVP_MD_CTX* read = nullptr;
  bool opened = false;
};

// Signs the link's target text into each of `digests` that is given.
bool SignLink(std::initializer_list<EVP_MD_CTX*> digests, const std::string& path,
              const struct stat& st, std::string* text = nullptr) {
  std::vector<char> target(size_t(st.st_size) + 2);
  const ssize_t n = readlink(path.c_str(), target.data(), target.size());
  // A target longer than its entry said was changed while it was read.
  if (n < 0 || size_t(n) >= target.size()) return false;
  for (EVP_MD_CTX* digest : digests) {
    if (digest == nullptr) continue;
    EVP_DigestUpdate(digest, target.data(), size_t(n));
    Sign(digest, '\0');
  }
  if (text != nullptr) text->assign(target.data(), size_t(n));
  return true;
}

// A file's size and, with `bytes`, its bytes, read as they are now; false, with errno, when it
// cannot be read whole.
bool SignBytes(EVP_MD_CTX* digest, bool bytes, const std::string& path, const struct stat& st) {
  if (!bytes) {
    Sign(digest, int64_t(st.st_size));
    return true;
  }
  const int fault = ReadFault("open", path);
  if (fault != 0) errno = fault;
  const int fd =
      fault != 0 ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  char buffer[65536];
  int64_t total = 0;
  ssize_t n = 0;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    EVP_DigestUpdate(digest, buffer, size_t(n));
    total += n;
  }
  const int failure = errno;
  close(fd);
  errno = failure;
  // A file that grew or shrank while it was read is not the file that was looked at.
  if (n == 0 && total != int64_t(st.st_size)) errno = EAGAIN;
  if (n < 0 || total != int64_t(st.st_size)) return false;
  Sign(digest, total);
  return true;
}

// SignTogether's part of an entry: its name, type and size (a link's target) into `s.shape` and
// its record, and into `s.read`, with the file's bytes, while the records so far are `s.like`'s.
bool SignShape(Signing& s, const std::string& entry, const std::string& below, char type,
               const struct stat& st) {
  std::string record = below + '\0' + type;
  EVP_DigestUpdate(s.shape, below.c_str(), below.size() + 1);
  Sign(s.shape, type);
  if (type == 'f') {
    Sign(s.shape, int64_t(st.st_size));
    record += std::to_string(st.st_size);
  }
  std::string target;
  if (type == 'l' && !SignLink({s.shape}, entry, st, &target)) return false;
  record += target;
  const size_t at = s.entries->size();
  if (s.read != nullptr && (s.like == nullptr || at >= s.like->size() || (*s.like)[at] != record)) {
    s.read = nullptr;
  }
  s.entries->push_back(std::move(record));
  if (s.read == nullptr) return true;
  EVP_DigestUpdate(s.read, below.c_str(), below.size() + 1);
  Sign(s.read, type);
  if (type == 'l') {
    EVP_DigestUpdate(s.read, target.data(), target.size());
    Sign(s.read, '\0');
  }
  // A file that cannot be read whole leaves the bytes unknown; the tree's own look tells whether
  // it can be opened.
  s.opened = type == 'f' && SignBytes(s.read, true, entry, st);
  if (type == 'f' && !s.opened) s.read = nullptr;
  return true;
}

// Each entry is its path below the root, ended by a zero byte that no name holds, its type and,
// for all but a folder, what no copy, archive, `touch` or rename can give another file: its
// inode and change time. A file adds its size and modification time, a link its target
// text. False, with `why`, when an entry cannot be read.
bool SignTree(Signing& s, const std::string& path, const std::string& relative, int depth) {
  const std::string shown = relative.empty() ? std::string("the folder") : relative;
  std::vector<std::string> names;
  if (depth > kMaxAssetFolderDepth) {
    s.why = shown + " cannot be read (" + FoldersTooDeepReason() + ")";
    return false;
  }
  if (!ListFolderNames(path, names)) {
    s.why = shown + " cannot be read (" + std::strerror(errno) + ")";
    return false;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string entry = path + "/" + name;
    const std::string below = relative.empty() ? name : relative + "/" + name;
    struct stat st {};
    const auto unreadable = [&] {
      s.why = below + " cannot be read (" + std::strerror(errno) + ")";
      return false;
    };
    if (StatEntry(entry, st) != 0) return unreadable();
    if (g_wholeSecondsForTests) st.st_ctim.tv_nsec = st.st_mtim.tv_nsec = 0;
    const char type = S_ISDIR(st.st_mode)    ? 'd'
                      : S_ISREG(st.st_mode)  ? 'f'
                      : S_ISLNK(st.st_mode)  ? 'l'
                      : S_ISFIFO(st.st_mode) ? 'p'
                      : S_ISSOCK(st.st_mode) ? 's'
                      : S_ISCHR(st.st_mode)  ? 'c'
                                             : 'b';
    EVP_DigestUpdate(s.digest, below.c_str(), below.size() + 1);
    Sign(s.digest, type);
    if (s.shape != nullptr && !SignShape(s, entry, below, type, st)) return unreadable();
    if (type == 'd') {
      if (!SignTree(s, entry, below, depth + 1)) return false;
      continue;
    }
    if (s.content) {
      if (type == 'f' && !SignBytes(s.digest, s.bytes, entry, st)) return unreadable();
      if (type == 'l' && !SignLink({s.digest}, entry, st)) return unreadable();
      continue;
    }
    if (s.device) Sign(s.digest, uint64_t(st.st_dev));
    Sign(s.digest, uint64_t(st.st_ino));
    Sign(s.digest, Nanoseconds(st.st_ctim));
    // Only the clock sets a change time; a modification time is whatever the writer asked for, so
    // one ahead of the clock (an archive from a zone ahead, `touch -d`) lets no other bytes share
    // the signature, and waits for nothing.
    const int64_t settles = TickEnd(st.st_ctim);
    if (settles > s.settles) {
      s.settles = settles;
      s.latest = below;
    }
    if (st.st_ctim.tv_nsec == 0 && settles > s.wholeSettles) {
      s.wholeSettles = settles;
      s.latestWhole = below;
    }
    if (type == 'f') {
      // A file the host could not read was not judged: opened, never read. Neither a link nor a
      // pipe put in its place since it was looked at is followed or waited for.
      if (!std::exchange(s.opened, false)) {
        const int fault = ReadFault("open", entry);
        if (fault != 0) errno = fault;
        const int fd =
            fault != 0 ? -1 : open(entry.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) return unreadable();
        close(fd);
      }
      Sign(s.digest, int64_t(st.st_size));
      Sign(s.digest, Nanoseconds(st.st_mtim));
    } else if (type == 'l' && !SignLink({s.digest}, entry, st)) {
      return unreadable();
    }
  }
  return true;
}

using Digest = std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)>;

// A new SHA-256 digest; null when there is none.
Digest NewDigest() {
  Digest digest(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (digest && EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1) digest.reset();
  return digest;
}

// The digest in hex; empty when it cannot be finished.
std::string Hex(EVP_MD_CTX* digest) {
  unsigned char sum[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(digest, sum, &length) != 1) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[sum[i] >> 4];
    text += kHex[sum[i] & 15];
  }
  return text;
}

// The signature in hex, or empty with `s.why`; `s.settles` is when it becomes one that no later
// write can share.
std::string Signature(const std::string& path, Signing& s) {
  const Digest digest = NewDigest();
  s.digest = digest.get();
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    s.why = "the folder cannot be read (not a folder)";
    return {};
  }
  const std::string text = digest && SignTree(s, path, std::string(), 0) ? Hex(s.digest) : "";
  if (text.empty() && s.why.empty()) s.why = "the folder cannot be signed (no SHA-256)";
  return text;
}

}  // namespace

std::string FoldersTooDeepReason() {
  return "folders nested deeper than " + std::to_string(kMaxAssetFolderDepth) + " levels";
}

int StatPath(const std::string& path, struct stat& st) { return StatEntry(path, st); }

bool ListFolderNames(const std::string& path, std::vector<std::string>& names) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  const bool listed = ReadNames(dir, path, names);
  const int failure = errno;
  closedir(dir);
  errno = failure;
  return listed;
}

std::string SafeFolder::TreeSignature(const std::string& path, std::string* why, bool device) {
  Signing s;
  s.device = device;
  const std::string signature = Signature(path, s);
  if (signature.empty() && why != nullptr) *why = s.why;
  return signature;
}

SafeFolder::Signatures SafeFolder::SignTogether(const std::string& path,
                                                std::vector<std::string>& entries,
                                                const std::vector<std::string>* like) {
  Signing s;
  const Digest shape = NewDigest();
  const Digest read = like != nullptr ? NewDigest() : Digest(nullptr, EVP_MD_CTX_free);
  s.shape = shape.get();
  s.entries = &entries;
  s.like = like;
  s.read = read.get();
  Signatures out;
  if (!shape) return out;
  out.tree = Signature(path, s);
  if (out.tree.empty()) return out;
  out.shape = Hex(s.shape);
  if (s.read != nullptr && entries.size() == like->size()) out.content = Hex(s.read);
  return out;
}

std::string SafeFolder::ContentSignature(const std::string& path, std::string* why, bool bytes) {
  Signing s;
  s.content = true;
  s.bytes = bytes;
  const std::string signature = Signature(path, s);
  if (signature.empty() && why != nullptr) *why = s.why;
  return signature;
}

std::string SafeFolder::SettledTreeSignature(const std::string& path, std::string* why, bool wait) {
  constexpr int64_t kLimit = 3000000000;
  const int64_t start = CoarseNow();
  for (;;) {
    Signing s;
    // Taken before any entry is looked at: a write from here on gets this time or a later one.
    const int64_t signedAt = CoarseNow();
    const std::string signature = Signature(path, s);
    if (signature.empty() || s.settles <= signedAt || (!wait && s.wholeSettles <= signedAt)) {
      if (signature.empty() && why != nullptr) *why = s.why;
      return signature;
    }
    if (!wait) {
      if (why != nullptr) *why = s.latestWhole + " changed within this second";
      return {};
    }
    if (s.settles - start > kLimit) {
      if (why != nullptr) {
        *why = s.latest + (s.settles - signedAt > kLimit ? " has a change time ahead of the clock"
                                                         : " keeps changing");
      }
      return {};
    }
    if (g_clockWaitHook) g_clockWaitHook();
    std::this_thread::sleep_for(std::chrono::nanoseconds(s.settles - CoarseNow() + 1000000));
  }
}

void SafeFolder::SetWholeSecondsForTests(bool wholeSeconds) {
  g_wholeSecondsForTests = wholeSeconds;
}

void SafeFolder::SetReadFaultForTests(std::function<int(const char*, const std::string&)> fault) {
  g_readFault = std::move(fault);
}

void SafeFolder::SetUnwrittenForTests(int64_t bytes) { g_unwrittenForTests = bytes; }

void SafeFolder::SetClockWaitHookForTests(std::function<void()> waiting) {
  g_clockWaitHook = std::move(waiting);
}

bool SafeFolder::Sync(const std::string& folder, std::string& error) const {
  if (pending_ != nullptr) {
    pending_->insert(folder);
    return true;
  }
  std::string failed;
  errno = SyncFolders({folder}, &failed);
  if (errno == 0) return true;
  error = Describe("cannot sync", failed);
  return false;
}

int SafeFolder::SyncFolders(const std::set<std::string>& folders, std::string* failed) {
  int first = 0;
  for (const std::string& folder : folders) {
    const int failure = SyncEntry(folder, Sync::kFolder, "move");
    if (failure != 0 && first == 0 && failed != nullptr) *failed = folder;
    if (first == 0) first = failure;
  }
  return first;
}

int SafeFolder::SyncNewTrees(const std::vector<std::string>& paths, std::string* failed) {
  std::vector<std::string> files;
  std::vector<std::string> folders;
  std::set<std::string> holders;
  for (const std::string& path : paths) {
    if (const int failure = ListTree(path, files, folders)) {
      if (failed != nullptr) *failed = path;
      return failure;
    }
    holders.insert(Parent(path));
  }
  folders.insert(folders.end(), holders.begin(), holders.end());
  const auto told = [&](const Failure& f, const std::vector<std::string>& at) {
    if (f.error != 0 && failed != nullptr) *failed = at[f.at];
    return f.error;
  };
  if (FewUnwritten(files.size())) {
    if (const int failure = SyncFileSystems(paths, failed)) return failure;
    // A write-back that failed before the syncfs, and was told to another program's syncfs, is
    // still told by the file's own record of it, without a write.
    return told(RunOnThreads(files.size(),
                             [&](size_t i) { return SyncEntry(files[i], Sync::kCheckWriteBack); }),
                files);
  }
  // Every file's write-back started first, the disk takes them together, and the syncs after
  // find their data written and share fewer journal commits.
  const Failure started = RunOnThreads(
      files.size(), [&](size_t i) { return SyncEntry(files[i], Sync::kStartWriteBack); });
  if (started.error != 0) return told(started, files);
  // One sync after another would wait for a flush of the disk's cache each; the syncs of several
  // threads at once share their journal commits and flushes. The files go first, so that the
  // folders' syncs find their journal written.
  std::vector<std::string> entries = files;
  entries.insert(entries.end(), folders.begin(), folders.end());
  return told(RunOnThreads(entries.size(),
                           [&](size_t i) {
                             return SyncEntry(entries[i],
                                              i < files.size() ? Sync::kFile : Sync::kFolder);
                           }),
              entries);
}

bool SafeFolder::MayBeHeldForWriting(const std::string& path, std::string* file, std::string* why) {
  std::vector<std::string> files;
  std::vector<std::string> folders;
  // The entry that tells, and why it cannot tell: nothing when a writer holds it.
  const auto tell = [&](const std::string& at, const std::string& reason) {
    if (file != nullptr) *file = at;
    if (why != nullptr) *why = reason;
    return true;
  };
  // A listing that fails does so in the last folder it took.
  if (const int failure = ListTree(path, files, folders)) {
    return tell(folders.back(), std::strerror(failure));
  }
  // The leases of a few files at a time, so that a tree of thousands holds few descriptors.
  constexpr size_t kBatch = 64;
  std::vector<std::pair<int, size_t>> held;
  bool free = true;
  const auto release = [&] {
    for (const auto& [fd, i] : held) {
      // A writer that came to open the file meanwhile has broken the lease, and waits for it.
      const int lease = free ? fcntl(fd, F_GETLEASE) : F_RDLCK;
      if (lease != F_RDLCK) free = !tell(files[i], lease < 0 ? std::strerror(errno) : "");
      fcntl(fd, F_SETLEASE, F_UNLCK);
      close(fd);
    }
    held.clear();
  };
  for (size_t i = 0; i < files.size() && free; ++i) {
    const int fault = ReadFault("lease", files[i]);
    if (fault != 0) errno = fault;
    const int fd = fault != 0 ? -1 : OpenToSync(files[i], O_NONBLOCK);
    struct stat st {};
    std::string refused;
    bool leased = false;
    if (fd < 0 || fstat(fd, &st) != 0) {
      refused = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
      refused = "not a regular file";
    } else if (fcntl(fd, F_SETSIG, SIGURG) != 0 || fcntl(fd, F_SETLEASE, F_RDLCK) != 0) {
      // A lease held is broken by a writer's open with a signal to its holder, SIGIO unless said
      // otherwise, which would end the daemon: SIGURG is passed over unless a handler asks for
      // it. The kernel refuses a read lease while a writer holds the file (EAGAIN), and on a
      // file of another user to all but a privileged process.
      refused = errno == EAGAIN   ? ""
                : errno == EACCES ? "the file is another user's, whose files only a privileged "
                                    "daemon may lease"
                : errno == EINVAL ? "its file system grants no leases"
                                  : std::strerror(errno);
    } else {
      leased = true;
    }
    if (!leased) free = !tell(files[i], refused);
    if (fd >= 0) held.push_back({fd, i});
    if (held.size() == kBatch) release();
  }
  release();
  return !free;
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

bool SafeFolder::MayChange(const std::string& path) const { return Refusal(path).empty(); }

std::string SafeFolder::Refusal(const std::string& path) const {
  if (path.size() <= root_.size() + 1 || path.compare(0, root_.size(), root_) != 0 ||
      path[root_.size()] != '/') {
    return "it is not below " + root_;
  }
  const std::string below = path.substr(root_.size() + 1);
  if (Resolve(below).empty()) return "it is no plain path below " + root_;
  if (below.find('/') == std::string::npos) return "it is one of the folders of " + root_;
  // Every element from the root down must be a real folder or, for the last, a real entry.
  std::string link = LinkOnTheWay(path);
  if (link.empty() && IsLink(path)) link = path;
  if (link.empty() || link == path || !InReachable(link)) {
    return link.empty() ? link : link + " is a link";
  }
  // A link that leads back among the root's folders could make the place a folder the change
  // moves, or one that holds it.
  const std::string leads = RealPlace(path);
  if (leads.empty()) return "cannot tell where " + link + " leads: " + std::strerror(errno);
  const bool home = leads == root_ || (leads.starts_with(root_ + "/") &&
                                       !leads.starts_with(root_ + "/" + reachable_ + "/"));
  return home ? link + " is a link into " + root_ : std::string();
}

bool SafeFolder::InReachable(const std::string& path) const {
  const std::string top = root_ + "/" + reachable_;
  return !reachable_.empty() && path.starts_with(top) &&
         (path.size() == top.size() || path[top.size()] == '/');
}

std::string SafeFolder::LinkOnTheWay(const std::string& path) const {
  for (size_t end = path.find('/', root_.size() + 1); end != std::string::npos;
       end = path.find('/', end + 1)) {
    if (IsLink(path.substr(0, end))) return path.substr(0, end);
  }
  return {};
}

bool SafeFolder::CopyTree(const std::string& from, const std::string& to, std::string& error,
                          std::vector<std::string>* skipped) const {
  std::string why = Refusal(to);
  if (why.empty() && IsLink(from)) why = from + " is a link";
  if (why.empty() && Exists(to)) why = to + " exists already";
  if (!why.empty()) {
    error = "refused to copy into " + to + ": " + why;
    return false;
  }
  if (!MakeFolders(Parent(to), error)) return false;
  // The copy is made durable whole once every file is written, before the caller can rename it
  // into place or record it as done. A write-back that failed meanwhile is told by the sync of
  // the file: no one else has seen it.
  bool ok = CopyTreeInner(from, to, std::string(), error, skipped, 0);
  // Only the depth check leaves no reason of its own.
  if (!ok && error.empty()) error = from + ": " + FoldersTooDeepReason();
  std::string failed;
  if (ok && !copiesUnsynced_) {
    if (const int failure = SyncNewTrees({to}, &failed)) {
      errno = failure;
      ok = false;
      error = Describe("cannot flush", failed);
    }
  }
  if (ok) return true;
  std::string ignored;
  RemoveInner(to, ignored);
  return false;
}

bool SafeFolder::EmptyOpenFolder(int fd, std::string& why) { return EmptyFolder(fd, why); }

bool SafeFolder::RemoveTree(const std::string& path, std::string& error) const {
  if (const std::string why = Refusal(path); !why.empty()) {
    error = "refused to remove " + path + ": " + why;
    return false;
  }
  std::string why;
  if (RemoveInner(path, why)) return true;
  error = "cannot remove " + path + ": " + why;
  return false;
}

bool SafeFolder::MakeFolders(const std::string& path, std::string& error) const {
  if (path == root_) return true;
  if (const std::string why = Refusal(path + "/x"); !why.empty()) {
    error = "refused to make " + path + ": " + why;
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

bool SafeFolder::MakeNewFolder(const std::string& path, std::string& error) const {
  if (const std::string why = Refusal(path); !why.empty()) {
    error = "refused to make " + path + ": " + why;
    return false;
  }
  if (!MakeFolders(Parent(path), error)) return false;
  if (mkdir(path.c_str(), 0700) == 0) return true;
  error = Describe("cannot make", path);
  return false;
}

bool SafeFolder::Move(const std::string& from, const std::string& to, std::string& error) const {
  std::string why = Refusal(from);
  if (why.empty()) why = Refusal(to);
  if (why.empty() && Exists(to)) why = to + " exists already";
  if (!why.empty()) {
    error = "refused to move " + from + " to " + to + ": " + why;
    return false;
  }
  if (!MakeFolders(Parent(to), error)) return false;
  if (syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0 &&
      (errno != EINVAL || std::rename(from.c_str(), to.c_str()) != 0)) {
    if (errno == EXDEV && InReachable(to)) return CopyAcross(from, to, error);
    error = Describe("cannot move", from);
    return false;
  }
  const bool synced = Sync(Parent(to), error);
  return Sync(Parent(from), error) && synced;
}

bool SafeFolder::CopyAcross(const std::string& from, const std::string& to,
                            std::string& error) const {
  // Written in a folder of its own beside `to` and renamed there once whole and synced: a kill
  // part-way never leaves a half copy under the name of a kept version.
  std::string holder = Parent(to) + "/.moving-XXXXXX";
  if (mkdtemp(holder.data()) == nullptr) {
    error = Describe("cannot make a folder beside", to);
    return false;
  }
  const std::string copy = holder + "/" + to.substr(to.rfind('/') + 1);
  std::vector<std::string> skipped;
  bool ok = CopyTreeInner(from, copy, std::string(), error, &skipped, 0);
  if (!ok && error.empty()) error = from + ": " + FoldersTooDeepReason();
  // A link or a pipe would be lost with the source.
  if (ok && !skipped.empty()) {
    ok = false;
    error = "cannot copy " + from + "/" + skipped.front() +
            " to another file system: it is not a file or folder";
  }
  std::string failed;
  int failure = ok ? SyncNewTrees({copy}, &failed) : 0;
  const bool renamed =
      ok && failure == 0 &&
      syscall(SYS_renameat2, AT_FDCWD, copy.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
  if (ok && failure == 0 && !renamed) {
    failure = errno;
    failed = to;
  }
  rmdir(holder.c_str());
  if (renamed) failure = SyncFolders({Parent(to)}, &failed);
  std::string ignored;
  if (ok && failure != 0) {
    ok = false;
    error = "cannot write " + failed + ": " + std::strerror(failure);
    if (renamed) RemoveInner(to, ignored);
  }
  RemoveInner(holder, ignored);
  if (!ok) {
    error = "cannot move " + from + " to " + to + ": " + error;
    return false;
  }
  std::string why;
  if (!RemoveInner(from, why)) {
    error = "copied " + from + " whole to " + to + ", but cannot remove it: " + why;
    return false;
  }
  return Sync(Parent(from), error);
}

bool SafeFolder::Exchange(const std::string& a, const std::string& b, std::string& error,
                          bool* unsupported) const {
  if (unsupported != nullptr) *unsupported = false;
  std::string why = Refusal(a);
  if (why.empty()) why = Refusal(b);
  if (!why.empty()) {
    error = "refused to exchange " + a + " and " + b + ": " + why;
    return false;
  }
  if (syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) {
    if (unsupported != nullptr) *unsupported = errno == EINVAL || errno == ENOSYS;
    error = Describe("cannot exchange", a);
    return false;
  }
  const bool synced = Sync(Parent(a), error);
  return Sync(Parent(b), error) && synced;
}
