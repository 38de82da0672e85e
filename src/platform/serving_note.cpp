#include "platform/serving_note.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace Platform {

namespace {

// Longer than any note; what follows the first line is never read.
constexpr std::size_t kNoteBytes = 64;

// "<process> <port>\n" with both numbers in range; anything else is no note.
bool ParseNote(const char* text, ServingNote& note) {
  unsigned long process = 0;
  unsigned long port = 0;
  char end = 0;
  if (std::sscanf(text, "%10lu %5lu%c", &process, &port, &end) != 3 || end != '\n' ||
      process == 0 || process > 0x7FFFFFFFul || port == 0 || port > 0xFFFFul || text[0] == ' ') {
    return false;
  }
  note.process = std::uint32_t(process);
  note.port = std::uint16_t(port);
  return true;
}

}  // namespace

bool WriteServingNote(int fd, const ServingNote& note) {
  char line[kNoteBytes];
  const int n = std::snprintf(line, sizeof line, "%u %u\n", note.process, unsigned(note.port));
  // Emptied first: a reader meanwhile sees no note, never the end of an older, longer one.
  if (ftruncate(fd, 0) != 0) return false;
  const ssize_t written = pwrite(fd, line, std::size_t(n), 0);
  if (written == n) return true;
  if (written >= 0) errno = EIO;
  return false;
}

void ClearServingNote(int fd) {
  if (fd >= 0 && ftruncate(fd, 0) != 0) {
    // Nothing to do about it: a reader that finds the port closed treats the note as stale.
  }
}

NoteRead ReadServingNote(const std::string& path, ServingNote& note, std::string* error) {
  note = ServingNote();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return NoteRead::kNone;
    if (error != nullptr) *error = "cannot open " + path + ": " + std::strerror(errno);
    return NoteRead::kUnreadable;
  }
  char text[kNoteBytes + 1];
  ssize_t n;
  while ((n = pread(fd, text, kNoteBytes, 0)) < 0 && errno == EINTR) {
  }
  const int cause = errno;
  close(fd);
  if (n < 0) {
    if (error != nullptr) *error = "cannot read " + path + ": " + std::strerror(cause);
    return NoteRead::kUnreadable;
  }
  text[n] = '\0';
  return ParseNote(text, note) ? NoteRead::kFound : NoteRead::kNone;
}

bool IsFileLockHeld(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  int rc;
  while ((rc = flock(fd, LOCK_SH | LOCK_NB)) != 0 && errno == EINTR) {
  }
  const bool held = rc != 0 && errno == EWOULDBLOCK;
  // A shared lock taken for the question goes with the descriptor.
  close(fd);
  return held;
}

std::uint32_t FileLockHolder(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return 0;
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::ifstream table("/proc/locks");
  std::string line;
  while (std::getline(table, line)) {
    // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:5678 0 EOF"; waiters carry "->" and hold nothing.
    std::istringstream fields(line);
    std::string number, kind, mode, access, file;
    long pid = 0;
    if (fields >> number >> kind >> mode >> access >> pid >> file && kind == "FLOCK" &&
        file == id && pid > 0) {
      return std::uint32_t(pid);
    }
  }
  return 0;
}

std::uint32_t FileLockHolder(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return 0;
  const std::uint32_t holder = FileLockHolder(fd);
  close(fd);
  return holder;
}

}  // namespace Platform
