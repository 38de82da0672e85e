#include "install_root.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/named_mutex.h"
#include "platform/process.h"
#include "pymclient/pym_protocol.h"
#include "qel/shared_memory.h"

namespace fs = std::filesystem;

namespace kestro_test {

namespace {

// Watchdogs, not expectations: a start-up that cannot reach a daemon takes about ten seconds.
constexpr auto kRunLimit = std::chrono::seconds(120);
constexpr auto kStopLimit = std::chrono::seconds(20);

void Copy(const fs::path& from, const fs::path& to, std::string& error) {
  std::error_code ec;
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  if (ec && error.empty()) error = "cannot copy " + from.string() + ": " + ec.message();
}

// Drains both pipes until the child closes them or the deadline passes.
void ReadPipes(int outFd, int errFd, ToolRun& run, std::chrono::steady_clock::time_point deadline) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  char buffer[4096];
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    if (poll(fds, 2, 200) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, size_t(n));
      } else {
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

}  // namespace

InstallRoot::InstallRoot(const std::string& buildDir, const std::string& dataDir, Layout layout) {
  // Without its folder every path below would lie under the file system's root.
  if (root_.empty()) {
    error_ = "cannot make a temporary folder";
    return;
  }
  std::error_code ec;
  fs::create_directories(Bin() + "/data", ec);
  fs::create_directories(root_ + "/UserData", ec);
  if (layout.withTetData) fs::create_directories(Bin() + "/TETData", ec);
  if (ec) error_ = "cannot create " + root_ + ": " + ec.message();
  Copy(buildDir + "/KestroUtil", Bin() + "/KestroUtil", error_);
  // The native-interface library the tool links and the DXT compressor module it loads: an
  // installed program finds both beside itself only.
  Copy(buildDir + "/libkestronativeinterface.so", Bin() + "/libkestronativeinterface.so", error_);
  Copy(buildDir + "/libkestrodxtcodec.so", Bin() + "/libkestrodxtcodec.so", error_);
  if (layout.withDaemon) Copy(buildDir + "/PymDaemon", Bin() + "/PymDaemon", error_);
  Copy(dataDir, Bin() + "/data", error_);
  // The project's validation data lies beside the interface text, as make-install.sh finds it.
  const fs::path tetData = fs::path(dataDir) / ".." / "TETData";
  if (layout.withTetData && fs::is_directory(tetData)) Copy(tetData, Bin() + "/TETData", error_);
  // The standard script libraries, as the build compiled them from gslib/.
  const fs::path libraries = fs::path(buildDir) / "libraries";
  if (fs::is_directory(libraries)) Copy(libraries, Bin() + "/libraries", error_);
}

InstallRoot::~InstallRoot() {
  StopDaemons();
  const std::string folder = PymProtocol::DatabaseFolder(root_ + "/UserData/assets.tdx");
  Qel::SharedMemory::Remove(PymProtocol::ShmNameText(folder));
  Platform::NamedMutex::Remove(PymProtocol::MutexNameText(folder));
}

ToolRun InstallRoot::Run(const std::vector<std::string>& args, const std::string& cwd) const {
  return RunProgram(Bin() + "/KestroUtil", args, cwd);
}

ToolRun InstallRoot::RunProgram(const std::string& program, const std::vector<std::string>& args,
                                const std::string& cwd) const {
  ToolRun run;
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return run;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return run;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string folder = cwd.empty() ? root_ : cwd;

  const pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    if (chdir(folder.c_str()) != 0) _exit(127);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return run;
  }
  const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
  ReadPipes(outPipe[0], errPipe[0], run, deadline);
  close(outPipe[0]);
  close(errPipe[0]);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return run;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

void InstallRoot::WriteFile(const std::string& relative, const std::string& content) const {
  const fs::path path = fs::path(root_) / relative;
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream(path, std::ios::binary) << content;
}

std::vector<pid_t> InstallRoot::DaemonPids() const {
  std::vector<pid_t> pids;
  const std::string daemon = Bin() + "/PymDaemon";
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    char target[PATH_MAX];
    const ssize_t n = readlink((entry.path() / "exe").c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    const pid_t pid = pid_t(std::atoi(name.c_str()));
    if (daemon == target && Platform::IsProcessAlive(u32(pid))) pids.push_back(pid);
  }
  return pids;
}

void InstallRoot::StopDaemons() const {
  for (pid_t pid : DaemonPids()) {
    kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
    while (Platform::IsProcessAlive(u32(pid)) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (Platform::IsProcessAlive(u32(pid))) kill(pid, SIGKILL);
  }
}

}  // namespace kestro_test
