#include "platform/shared_module.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace Platform {

namespace {

bool ReadAt(int fd, void* into, size_t size, std::uint64_t offset) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, static_cast<char*>(into) + got, size - got, off_t(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += size_t(n);
  }
  return true;
}

bool Covers(std::uint64_t fileSize, std::uint64_t offset, std::uint64_t length) {
  return offset <= fileSize && length <= fileSize - offset;
}

// Empty when every loadable segment the header names lies inside the file. What is no 64-bit
// module of this machine is left to the loader, which reads no more than the header to refuse it.
std::string CheckSegments(int fd, std::uint64_t fileSize) {
  Elf64_Ehdr header;
  if (fileSize < sizeof header || !ReadAt(fd, &header, sizeof header, 0) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) {
    return {};
  }
  if (header.e_phentsize != sizeof(Elf64_Phdr) ||
      !Covers(fileSize, header.e_phoff, std::uint64_t(header.e_phnum) * sizeof(Elf64_Phdr))) {
    return "its program headers lie beyond its end";
  }
  std::vector<Elf64_Phdr> segments(header.e_phnum);
  if (!segments.empty() &&
      !ReadAt(fd, segments.data(), segments.size() * sizeof(Elf64_Phdr), header.e_phoff)) {
    return "its program headers cannot be read";
  }
  for (const Elf64_Phdr& segment : segments) {
    if (segment.p_type == PT_LOAD && !Covers(fileSize, segment.p_offset, segment.p_filesz)) {
      return "it is cut short: a loadable segment lies beyond its end";
    }
  }
  return {};
}

}  // namespace

void* OpenSharedModule(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  std::string reason;
  if (::fstat(fd, &st) != 0) {
    reason = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    reason = "it is no regular file";
  } else {
    reason = CheckSegments(fd, std::uint64_t(st.st_size));
  }
  ::close(fd);
  if (!reason.empty()) {
    *error = reason;
    return nullptr;
  }
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* loader = dlerror();
    *error = loader != nullptr ? loader : "the loader refused it";
  }
  return module;
}

}  // namespace Platform
