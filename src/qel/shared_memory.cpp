#include "qel/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/named_mutex.h"
#include "platform/runtime_folder.h"

namespace Qel {

std::string SharedMemory::ObjectName(std::string_view name) {
  const std::string folder = Platform::UserRuntimeFolder();
  return folder.empty() ? std::string() : folder + "/" + Platform::ObjectBaseName(name) + ".shm";
}

bool SharedMemory::Remove(std::string_view name) {
  const std::string path = ObjectName(name);
  return !path.empty() && ::unlink(path.c_str()) == 0;
}

SharedMemory::~SharedMemory() { Close(); }

bool SharedMemory::Create(std::string_view name, u32 size, bool* created) {
  if (created) *created = false;
  if (data_ || size == 0) return false;
  const std::string object = ObjectName(name);
  if (object.empty()) return false;
  bool made = false;
  int fd = -1;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    // Owner-only: another user must not rewrite what our processes read from the block.
    fd = ::open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      made = true;
      break;
    }
    if (errno != EEXIST) return false;
    fd = ::open(object.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT) return false;
  }
  if (fd < 0) return false;
  // A creator may not have sized the object yet; growing to the same size is harmless, and a
  // larger object is never cut down under another process's view.
  struct stat st {};
  // A block that another user made is ignored: its contents are theirs. One of ours that an older
  // build left open to others is closed to them.
  if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() ||
      ((st.st_mode & 0077) != 0 && ::fchmod(fd, 0600) != 0) ||
      (st.st_size < static_cast<off_t>(size) && ::ftruncate(fd, static_cast<off_t>(size)) != 0)) {
    ::close(fd);
    return false;
  }
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (p == MAP_FAILED) return false;
  data_ = p;
  size_ = size;
  if (created) *created = made;
  return true;
}

void SharedMemory::Close() {
  if (!data_) return;
  ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace Qel
