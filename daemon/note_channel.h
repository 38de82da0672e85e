// The way back to a client for work that outlives the request that began it: notes sent while
// the connection lives, dropped once it has ended.
#pragma once

#include <functional>
#include <mutex>
#include <utility>

#include "qel/types.h"

namespace PymDaemonSrv {

class NoteChannel {
 public:
  // Sends one whole notification (kind and body); false when it was not sent.
  using Sender = std::function<bool(u32 kind, const u8* body, size_t size)>;

  explicit NoteChannel(Sender sender) : sender_(std::move(sender)) {}

  bool Send(u32 kind, const u8* body, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_ && sender_(kind, body, size);
  }
  // Waits for a note being sent; none goes out afterwards.
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
  }

 private:
  std::mutex mutex_;
  Sender sender_;
  bool open_ = true;
};

}  // namespace PymDaemonSrv
