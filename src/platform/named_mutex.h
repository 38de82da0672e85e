// A mutex shared between processes by name, in place of the system's named mutexes: a lock file
// held with flock, so that the lock is released when its holder dies.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace Platform {

// A stable 64-bit hash (FNV-1a) of an object name, so that names of any length and with any
// characters map to short file-system names.
std::uint64_t ObjectNameHash(std::string_view name);
// "kestro-" and the hash as 16 lower-case hex digits.
std::string ObjectBaseName(std::string_view name);

// Like the system's named mutex, the lock is re-entrant for the thread that holds it and
// excludes both other threads of this process and other processes.
class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Opens the mutex called `name`, creating it when it does not exist yet. `*created` (when
  // given) tells whether this call created it. With `initialOwner`, a call that created the
  // mutex returns holding it; an existing mutex is not taken. False when the lock file cannot be
  // opened, belongs to another user, or this object is open already. The file is owner-only.
  bool Create(std::string_view name, bool initialOwner, bool* created = nullptr);
  bool IsOpen() const { return fd_ >= 0; }

  // Waits without limit. Does nothing when the mutex is not open.
  void Lock();
  // False when another thread or process holds the lock, or the mutex is not open.
  bool TryLock();
  // False (and no change) when the calling thread does not hold the lock.
  bool Unlock();
  // Releases a lock still held by this object and closes the file.
  void Close();

  // Where the lock file of `name` lives: in the user's runtime folder (runtime_folder.h); empty
  // when there is none.
  static std::string LockFilePath(std::string_view name);
  // Deletes the lock file of `name`; for clean-up of tests and tools.
  static bool Remove(std::string_view name);

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  std::thread::id owner_;
  std::uint32_t depth_ = 0;
  int fd_ = -1;
};

}  // namespace Platform
