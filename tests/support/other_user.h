// Runs a piece of a test as another local user: a forked child that drops to the spare uid
// 65534. Only a process running as root can do that; elsewhere the caller skips the test.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

namespace kestro_test {

inline constexpr uid_t kOtherUser = 65534;

inline bool CanRunAsOtherUser() { return ::geteuid() == 0; }

// The other user's temporary folder: a private one of this test program's in /tmp, which the test's
// own may not let the other user reach. What the other user's runs leave there (its runtime folder
// of named objects) lasts from one run to the next and goes when the program ends, where the
// system's /tmp/kestro-<uid> would stay behind. Empty when it cannot be made.
inline const std::string& OtherUsersTemp() {
  static const struct Temp {
    std::string path;
    Temp() {
      std::string name = "/tmp/kestro_other_XXXXXX";
      if (::mkdtemp(name.data()) == nullptr) return;
      if (::chown(name.c_str(), kOtherUser, kOtherUser) == 0) {
        path = name;
      } else {
        ::rmdir(name.c_str());
      }
    }
    ~Temp() {
      std::error_code ignored;
      if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
  } temp;
  return temp.path;
}

// The body's return value as the child's exit code; -1 when the child could not change user or
// did not end within the watchdog's minute.
template <class Body>
int RunAsOtherUser(Body body) {
  const std::string& temp = OtherUsersTemp();
  if (temp.empty()) return -1;
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (::setgid(kOtherUser) != 0 || ::setuid(kOtherUser) != 0) ::_exit(255);
    ::setenv("TMPDIR", temp.c_str(), 1);
    ::_exit(body());
  }
  for (int i = 0; i < 6000; ++i) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) && WEXITSTATUS(status) != 255 ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

// Whether the other user may pass through every folder down to `path`: a private temporary
// folder (TMPDIR of mode 0700) keeps it from the test's scratch folders.
inline bool OtherUserCanReach(const std::string& path) {
  return RunAsOtherUser([&] { return ::access(path.c_str(), X_OK) == 0 ? 0 : 1; }) == 0;
}

}  // namespace kestro_test
