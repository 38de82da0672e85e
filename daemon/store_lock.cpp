#include "daemon/store_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace PymDaemonSrv {

namespace {

// The polls of a busy lock start short, as a killed holder is usually gone within milliseconds,
// and grow to this.
constexpr u32 kFirstPollMs = 20;
constexpr u32 kLongestPollMs = 500;

// The process holding a whole-file lock on the open file, from the system's lock table; 0 when
// the table does not say (another pid namespace shows none).
u32 LockHolder(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return 0;
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::ifstream table("/proc/locks");
  std::string line;
  while (std::getline(table, line)) {
    // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:5678 0 EOF"; waiters carry "->" and hold nothing.
    std::istringstream fields(line);
    std::string number, kind, mode, access, file;
    long pid = 0;
    if (fields >> number >> kind >> mode >> access >> pid >> file && kind == "FLOCK" &&
        file == id && pid > 0) {
      return u32(pid);
    }
  }
  return 0;
}

int TryLock(int fd) {
  int rc;
  while ((rc = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  return rc == 0 ? 0 : errno;
}

}  // namespace

StoreLock::~StoreLock() {
  if (fd_ >= 0) close(fd_);
}

StoreLock::Result StoreLock::Acquire(const std::string& userData, u32 waitMs,
                                     const std::function<u32()>& servingDaemon,
                                     std::string* error) {
  if (fd_ >= 0) return Result::kHeld;
  const std::string path = userData + "/" + kFileName;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (error != nullptr) *error = "cannot open " + path + ": " + std::strerror(errno);
    return Result::kFailed;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  u32 pauseMs = kFirstPollMs;
  int cause;
  while ((cause = TryLock(fd)) == EWOULDBLOCK && std::chrono::steady_clock::now() < end) {
    if (const u32 serving = servingDaemon ? servingDaemon() : 0; serving != 0) {
      holder_ = serving;
      close(fd);
      return Result::kServed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    pauseMs = std::min(pauseMs * 2, kLongestPollMs);
  }
  if (cause == 0) {
    fd_ = fd;
    return Result::kHeld;
  }
  if (cause == EWOULDBLOCK) holder_ = LockHolder(fd);
  close(fd);
  if (cause == EWOULDBLOCK) return Result::kBusy;
  if (error != nullptr) *error = "cannot lock " + path + ": " + std::strerror(cause);
  return Result::kFailed;
}

}  // namespace PymDaemonSrv
