// The daemon's hold on its store: an exclusive lock on a lock file beside the index, kept for the
// daemon's whole life, so that a second daemon on the same store is refused even when the
// discovery objects have been deleted or re-initialised.
#pragma once

#include <functional>
#include <string>

#include "qel/types.h"

namespace PymDaemonSrv {

class StoreLock {
 public:
  enum class Result { kHeld, kBusy, kServed, kFailed };

  static constexpr const char* kFileName = "assets.tdx.lock";

  StoreLock() = default;
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // Takes the lock of the store in `userData`, waiting up to `waitMs` while another process holds
  // it: a daemon that was just killed keeps it until the system has ended it. A holder that
  // serves is not going away: `servingDaemon` is asked after every failed try, and a process id
  // from it ends the wait with kServed. kBusy: still held at the end of the wait. Holder() then
  // names the process when known.
  Result Acquire(const std::string& userData, u32 waitMs, const std::function<u32()>& servingDaemon,
                 std::string* error);
  // The process that held the lock at the last kBusy or kServed, 0 when unknown.
  u32 Holder() const { return holder_; }

 private:
  int fd_ = -1;
  u32 holder_ = 0;
};

}  // namespace PymDaemonSrv
