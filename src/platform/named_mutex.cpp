#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/runtime_folder.h"

namespace Platform {

std::uint64_t ObjectNameHash(std::string_view name) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : name) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

std::string ObjectBaseName(std::string_view name) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "kestro-%016llx",
                static_cast<unsigned long long>(ObjectNameHash(name)));
  return buf;
}

std::string NamedMutex::LockFilePath(std::string_view name) {
  const std::string folder = UserRuntimeFolder();
  return folder.empty() ? std::string() : folder + "/" + ObjectBaseName(name) + ".lock";
}

bool NamedMutex::Remove(std::string_view name) {
  const std::string path = LockFilePath(name);
  return !path.empty() && ::unlink(path.c_str()) == 0;
}

NamedMutex::~NamedMutex() { Close(); }

bool NamedMutex::Create(std::string_view name, bool initialOwner, bool* created) {
  if (created) *created = false;
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (fd_ >= 0) return false;
    const std::string path = LockFilePath(name);
    if (path.empty()) return false;
    bool made = false;
    int fd = -1;
    // Exclusive create tells who made it; a racing creator makes the second open succeed.
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
      // Owner-only: another user's process must not hold up or take part in ours.
      fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (fd >= 0) {
        made = true;
        break;
      }
      if (errno != EEXIST) return false;
      fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
      if (fd < 0 && errno != ENOENT) return false;
    }
    if (fd < 0) return false;
    // A lock file of another user is not ours to share, even where its mode would let us.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() ||
        ((st.st_mode & 0077) != 0 && ::fchmod(fd, 0600) != 0)) {
      ::close(fd);
      return false;
    }
    fd_ = fd;
    if (created) *created = made;
    initialOwner = initialOwner && made;
  }
  if (initialOwner) Lock();
  return true;
}

void NamedMutex::Lock() {
  std::unique_lock<std::mutex> g(mutex_);
  if (fd_ < 0) return;
  const auto self = std::this_thread::get_id();
  if (depth_ > 0 && owner_ == self) {
    ++depth_;
    return;
  }
  released_.wait(g, [&] { return depth_ == 0; });
  owner_ = self;
  depth_ = 1;
  const int fd = fd_;
  // The process lock is taken outside the object lock so that TryLock and Unlock of other
  // threads are not held up; depth_ already keeps other threads of this process out.
  g.unlock();
  while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

bool NamedMutex::TryLock() {
  std::lock_guard<std::mutex> g(mutex_);
  if (fd_ < 0) return false;
  const auto self = std::this_thread::get_id();
  if (depth_ > 0) {
    if (owner_ != self) return false;
    ++depth_;
    return true;
  }
  int r;
  while ((r = ::flock(fd_, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (r != 0) return false;
  owner_ = self;
  depth_ = 1;
  return true;
}

bool NamedMutex::Unlock() {
  std::lock_guard<std::mutex> g(mutex_);
  if (fd_ < 0 || depth_ == 0 || owner_ != std::this_thread::get_id()) return false;
  if (--depth_ == 0) {
    ::flock(fd_, LOCK_UN);
    owner_ = std::thread::id();
    released_.notify_one();
  }
  return true;
}

void NamedMutex::Close() {
  std::lock_guard<std::mutex> g(mutex_);
  if (fd_ < 0) return;
  // Closing the descriptor also drops the file lock.
  ::close(fd_);
  fd_ = -1;
  depth_ = 0;
  owner_ = std::thread::id();
  released_.notify_all();
}

}  // namespace Platform
