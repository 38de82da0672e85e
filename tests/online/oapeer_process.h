// An oapeer process for tests: started with a port file and a log in a test's folder, stopped
// (SIGTERM, then SIGKILL after 20 s) when the object goes.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qel/types.h"

class OapeerProcess {
 public:
  OapeerProcess(const std::string& folder, std::vector<std::string> settings) {
    portFile_ = folder + "/port";
    logFile_ = folder + "/oapeer.log";
    std::vector<std::string> args = {KESTRO_BINARY_DIR "/oapeer", "--port-file", portFile_,
                                     "--log", logFile_, "--seconds", "120"};
    args.insert(args.end(), settings.begin(), settings.end());
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~OapeerProcess() { Stop(); }

  // The port from the port file, 0 when the peer did not write it in time.
  u16 WaitForPort() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < limit) {
      std::ifstream in(portFile_);
      unsigned port = 0;
      if (in >> port && port != 0) return u16(port);
      poll(nullptr, 0, 10);
    }
    return 0;
  }

  int Stop() { return Wait(true); }

  // Waits for the peer to end by itself; the watchdog ends it after 20 s.
  int Wait(bool terminate = false) {
    if (pid_ <= 0) return status_;
    if (terminate) kill(pid_, SIGTERM);
    int status = 0;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > limit) kill(pid_, SIGKILL);
      poll(nullptr, 0, 5);
    }
    waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

  std::string Log() const {
    std::ifstream in(logFile_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string portFile_, logFile_;
};
