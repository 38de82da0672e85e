// The daemon's hold on its store: an exclusive lock on a lock file beside the index, kept for the
// daemon's whole life, so that a second daemon on the same store is refused even when the
// discovery objects have been deleted or re-initialised.
#pragma once

#include <string>

namespace PymDaemonSrv {

class StoreLock {
 public:
  enum class Result { kHeld, kBusy, kFailed };

  static constexpr const char* kFileName = "assets.tdx.lock";

  StoreLock() = default;
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // Takes the lock of the store in `userData` without waiting. kBusy: another process holds it.
  Result Acquire(const std::string& userData, std::string* error);

 private:
  int fd_ = -1;
};

}  // namespace PymDaemonSrv
