#include "daemon/store_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/process.h"
#include "platform/socket_io.h"

namespace PymDaemonSrv {

namespace {

// The polls of a busy lock start short, as a killed holder is usually gone within milliseconds,
// and grow to this.
constexpr u32 kFirstPollMs = 20;
constexpr u32 kLongestPollMs = 500;
// A holder that names a port where nobody listens this long is out of reach rather than going
// away: a killed daemon closes its port and lets go of the lock in the same moment, and one that
// stops in order takes its note back first.
constexpr auto kDeafHolderLimit = std::chrono::seconds(3);
constexpr u32 kListenProbeMs = 1000;

int TryLock(int fd) {
  int rc;
  while ((rc = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  return rc == 0 ? 0 : errno;
}

}  // namespace

StoreLock::~StoreLock() {
  Withdraw();
  if (fd_ >= 0) close(fd_);
}

StoreLock::Result StoreLock::Acquire(
    const std::string& userData, u32 waitMs,
    const std::function<u32(const Platform::ServingNote&)>& servingDaemon, std::string* error) {
  if (fd_ >= 0) return Result::kHeld;
  const std::string path = userData + "/" + kFileName;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (error != nullptr) *error = "cannot open " + path + ": " + std::strerror(errno);
    return Result::kFailed;
  }
  const auto fail = [&](const std::string& text) {
    if (error != nullptr) *error = text;
    close(fd);
    return Result::kFailed;
  };
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  // When the holder's port was first found closed; max() while it was not.
  auto deafSince = std::chrono::steady_clock::time_point::max();
  u32 pauseMs = kFirstPollMs;
  int cause;
  while ((cause = TryLock(fd)) == EWOULDBLOCK && std::chrono::steady_clock::now() < end) {
    Platform::ServingNote note;
    std::string unreadable;
    if (Platform::ReadServingNote(path, note, &unreadable) == Platform::NoteRead::kUnreadable) {
      return fail("the store " + userData + " is held by another process, and " + unreadable);
    }
    if (const u32 serving = servingDaemon ? servingDaemon(note) : 0; serving != 0) {
      holder_ = serving;
      close(fd);
      return Result::kServed;
    }
    const bool deaf = note.port != 0 &&
                      Platform::AskLoopback(note.port, nullptr, 0, nullptr, 0, kListenProbeMs) ==
                          Platform::AskResult::kRefused;
    const auto now = std::chrono::steady_clock::now();
    if (!deaf || deafSince == std::chrono::steady_clock::time_point::max()) {
      deafSince = deaf ? now : std::chrono::steady_clock::time_point::max();
    } else if (now - deafSince >= kDeafHolderLimit) {
      holder_ = note.process;
      return fail("the store " + userData + " is held by process " + std::to_string(note.process) +
                  ", which does not answer on port " + std::to_string(note.port));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    pauseMs = std::min(pauseMs * 2, kLongestPollMs);
  }
  if (cause == 0) {
    fd_ = fd;
    path_ = path;
    Withdraw();
    return Result::kHeld;
  }
  if (cause == EWOULDBLOCK) holder_ = Platform::FileLockHolder(fd);
  close(fd);
  if (cause == EWOULDBLOCK) return Result::kBusy;
  if (error != nullptr) *error = "cannot lock " + path + ": " + std::strerror(cause);
  return Result::kFailed;
}

bool StoreLock::Announce(u16 port, std::string* error) {
  if (fd_ < 0) return false;
  if (Platform::WriteServingNote(fd_, {Platform::CurrentProcessId(), port})) return true;
  if (error != nullptr) *error = "cannot write " + path_ + ": " + std::strerror(errno);
  return false;
}

void StoreLock::Withdraw() { Platform::ClearServingNote(fd_); }

}  // namespace PymDaemonSrv
