#include "daemon/store_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace PymDaemonSrv {

StoreLock::~StoreLock() {
  if (fd_ >= 0) close(fd_);
}

StoreLock::Result StoreLock::Acquire(const std::string& userData, std::string* error) {
  if (fd_ >= 0) return Result::kHeld;
  const std::string path = userData + "/" + kFileName;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (error != nullptr) *error = "cannot open " + path + ": " + std::strerror(errno);
    return Result::kFailed;
  }
  int rc;
  while ((rc = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    const int cause = errno;
    close(fd);
    if (cause == EWOULDBLOCK) return Result::kBusy;
    if (error != nullptr) *error = "cannot lock " + path + ": " + std::strerror(cause);
    return Result::kFailed;
  }
  fd_ = fd;
  return Result::kHeld;
}

}  // namespace PymDaemonSrv
