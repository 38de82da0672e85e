// The daemon's hold on its store: an exclusive lock on a lock file beside the index, kept for the
// daemon's whole life, so that a second daemon on the same store is refused even when the
// discovery objects have been deleted or re-initialised. The holder also writes into the file
// where it serves, so that every tool of the installation finds it through the store itself.
#pragma once

#include <functional>
#include <string>

#include "platform/serving_note.h"
#include "pymclient/pym_protocol.h"
#include "qel/types.h"

namespace PymDaemonSrv {

class StoreLock {
 public:
  enum class Result { kHeld, kBusy, kServed, kFailed };

  static constexpr const char* kFileName = PymProtocol::kStoreLockFileName;

  StoreLock() = default;
  // Clears the note and lets go.
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // Takes the lock of the store in `userData`, waiting up to `waitMs` while another process holds
  // it: a daemon that was just killed keeps it until the system has ended it. A holder that
  // serves is not going away: `servingDaemon` is asked after every failed try, with the note the
  // holder left in the file (empty when none), and a process id from it ends the wait with
  // kServed. A holder whose note names a port where nobody listens, for a few seconds on end,
  // cannot be reached from here and is not waited for: kFailed, naming it. kBusy: still held at
  // the end of the wait. Holder() then names the process when known. A note left by a daemon
  // that was killed is cleared once the lock is held.
  Result Acquire(const std::string& userData, u32 waitMs,
                 const std::function<u32(const Platform::ServingNote&)>& servingDaemon,
                 std::string* error);
  // The process that held the lock at the last kBusy or kServed, 0 when unknown.
  u32 Holder() const { return holder_; }

  // Writes this process and its port into the lock file it holds. False, with the reason.
  bool Announce(u16 port, std::string* error);
  // Empties the lock file again: this daemon is going away. Safe to call more than once.
  void Withdraw();

 private:
  int fd_ = -1;
  u32 holder_ = 0;
  std::string path_;
};

}  // namespace PymDaemonSrv
