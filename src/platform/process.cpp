#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

extern char** environ;

namespace Platform {

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

bool IsProcessAlive(std::uint32_t pid) {
  if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX)) return false;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  // An ended process that its parent has not reaped still answers kill(); its state says 'Z'.
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/%u/stat", pid);
  FILE* f = std::fopen(path, "r");
  if (!f) return true;
  char buf[512];
  const size_t n = std::fread(buf, 1, sizeof(buf) - 1, f);
  std::fclose(f);
  buf[n] = '\0';
  // The state follows the command name, which is in parentheses and may itself hold ')'.
  const char* close = std::strrchr(buf, ')');
  if (!close || close[1] != ' ') return true;
  const char state = close[2];
  return state != 'Z' && state != 'X';
}

std::string ProgramPath() {
  char buf[PATH_MAX + 1];
  const ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

namespace {

bool WriteAll(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Reads up to n bytes; returns how many arrived before end of file.
size_t ReadAll(int fd, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, p + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

void CloseBoth(int fds[2]) {
  if (fds[0] >= 0) ::close(fds[0]);
  if (fds[1] >= 0) ::close(fds[1]);
}

}  // namespace

std::uint32_t SpawnDetached(const std::string& file, const std::vector<std::string>& args,
                            const std::string& workingFolder, bool hidden) {
  if (file.empty()) return 0;
  // Everything the children need is prepared here: after fork only async-signal-safe calls.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(file.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const char* dir = workingFolder.empty() ? nullptr : workingFolder.c_str();

  // pidPipe carries the grandchild's id from the middle process; errPipe carries an errno
  // when the grandchild cannot start, and closes silently (close-on-exec) when it can.
  int pidPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  if (::pipe2(pidPipe, O_CLOEXEC) != 0) return 0;
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    CloseBoth(pidPipe);
    return 0;
  }
  const pid_t middle = ::fork();
  if (middle < 0) {
    CloseBoth(pidPipe);
    CloseBoth(errPipe);
    return 0;
  }
  if (middle == 0) {
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild == 0) {
      int e = 0;
      if (dir && ::chdir(dir) != 0) e = errno;
      if (e == 0) {
        const int nullFd = ::open("/dev/null", O_RDWR);
        if (nullFd >= 0) {
          ::dup2(nullFd, 0);
          if (hidden) {
            ::dup2(nullFd, 1);
            ::dup2(nullFd, 2);
          }
          if (nullFd > 2) ::close(nullFd);
        }
        // No descriptor of the starting process (sockets, locks) survives into the program.
        ::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC);
        ::execve(file.c_str(), argv.data(), environ);
        e = errno;
      }
      WriteAll(errPipe[1], &e, sizeof(e));
      ::_exit(127);
    }
    const std::int32_t id = grandchild > 0 ? static_cast<std::int32_t>(grandchild) : 0;
    WriteAll(pidPipe[1], &id, sizeof(id));
    ::_exit(0);
  }
  ::close(pidPipe[1]);
  ::close(errPipe[1]);
  std::int32_t id = 0;
  if (ReadAll(pidPipe[0], &id, sizeof(id)) != sizeof(id)) id = 0;
  ::close(pidPipe[0]);
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  const bool failed = id <= 0 || ReadAll(errPipe[0], &err, sizeof(err)) == sizeof(err);
  ::close(errPipe[0]);
  return failed ? 0 : static_cast<std::uint32_t>(id);
}

std::uint32_t OwnNamespaceProcessId(std::uint32_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%u/status", pid);
  FILE* f = std::fopen(path, "r");
  if (!f) return pid;
  std::uint32_t own = pid;
  char line[256];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "NSpid:", 6) != 0) continue;
    // The ids from this namespace inwards: the last is the process's own.
    char* end = line + 6;
    for (unsigned long id; (id = std::strtoul(end, &end, 10)) != 0;) own = std::uint32_t(id);
    break;
  }
  std::fclose(f);
  return own;
}

std::vector<std::uint32_t> ListProcessIds() {
  std::vector<std::uint32_t> ids;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return ids;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const unsigned long id = std::strtoul(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && id != 0 && id <= UINT32_MAX) {
      ids.push_back(static_cast<std::uint32_t>(id));
    }
  }
  ::closedir(proc);
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::string ProcessProgramPath(std::uint32_t pid) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/%u/exe", pid);
  char target[PATH_MAX];
  const ssize_t n = ::readlink(link, target, sizeof target - 1);
  if (n <= 0) return {};
  return std::string(target, static_cast<size_t>(n));
}

bool KillProcess(std::uint32_t pid) {
  return pid != 0 && pid <= INT_MAX && ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

}  // namespace Platform
