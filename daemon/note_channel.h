// The way back to a client for work that outlives the request that began it: notes sent while
// the connection lives, dropped once it has ended.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <utility>

#include "daemon/deadline_mutex.h"
#include "qel/types.h"

namespace PymDaemonSrv {

class NoteChannel {
 public:
  using Clock = std::chrono::steady_clock;
  // Sends one whole notification (kind and body) unless `deadline` passes first; false when it
  // was not sent.
  using TimedSender =
      std::function<bool(u32 kind, const u8* body, size_t size, Clock::time_point deadline)>;
  using Sender = std::function<bool(u32 kind, const u8* body, size_t size)>;

  explicit NoteChannel(TimedSender sender) : sender_(std::move(sender)) {}
  explicit NoteChannel(Sender sender)
      : sender_([plain = std::move(sender)](u32 kind, const u8* body, size_t size,
                                            Clock::time_point) { return plain(kind, body, size); }) {}

  bool Send(u32 kind, const u8* body, size_t size) {
    return SendBy(kind, body, size, Clock::time_point::max());
  }
  // A peer that does not take the note by `deadline` (not even the turn to write) gets none.
  bool SendBy(u32 kind, const u8* body, size_t size, Clock::time_point deadline) {
    std::unique_lock<DeadlineMutex> lock(mutex_, std::defer_lock);
    if (deadline == Clock::time_point::max()) {
      lock.lock();
    } else if (!lock.try_lock_until(deadline)) {
      return false;
    }
    return open_ && sender_(kind, body, size, deadline);
  }
  // Waits for a note being sent; none goes out afterwards.
  void Close() {
    std::lock_guard<DeadlineMutex> lock(mutex_);
    open_ = false;
  }

 private:
  DeadlineMutex mutex_;
  TimedSender sender_;
  bool open_ = true;
};

}  // namespace PymDaemonSrv
