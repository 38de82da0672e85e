#include "core/diagnostics.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/app_globals.h"
#include "core/crash_guard.h"
#include "core/crash_handlers.h"
#include "core/thread_call.h"
#include "qel/thread.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kWatchdogMs = 20000;
constexpr char kScenarioVariable[] = "KESTRO_DIAG_TEST_SCENARIO";
constexpr char kArgumentVariable[] = "KESTRO_DIAG_TEST_ARGUMENT";
constexpr char kPipeText[] =
    "Gr\xC3\xBC\xC3\x9F"
    "e aus der R\xC3\xB6hre";

void Say(const std::string& text) {
  if (write(STDOUT_FILENO, text.data(), text.size()) < 0) _exit(95);
}

[[noreturn]] void Fault() {
  char* page =
      static_cast<char*>(mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  char address[32];
  std::snprintf(address, sizeof(address), "%p\n", static_cast<void*>(page));
  Say(address);
  *reinterpret_cast<volatile char*>(page) = 1;
  _exit(90);
}

// The scenarios run before main in a fresh copy of this program (RunScenario): no test
// framework, no threads of other tests, nothing installed yet.
int RunScenarioInChild(const std::string& scenario, int argument) {
  const rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  if (scenario == "pipe") {
    WriteLogLine(kPipeText);
    LogPrintfA("line %d", 2);
    return IsStdOutPipeActive() ? 0 : 1;
  }
  if (scenario == "fault") {
    InstallProcessHandlers(false);
    Fault();
  }
  if (scenario == "throw") {
    InstallProcessHandlers(false);
    throw std::runtime_error("unhandled");
  }
  if (scenario == "force") {
    InstallProcessHandlers(false);
    ForceCrashDump();
    return 0;
  }
  if (scenario == "force_then_fault") {
    InstallProcessHandlers(false);
    ForceCrashDump();
    Say("continued\n");
    Fault();
  }
  if (scenario == "fault_in_removed_folder") {
    if (mkdir("gone", 0700) != 0 || chdir("gone") != 0 || rmdir("../gone") != 0) return 93;
    InstallProcessHandlers(false);
    Fault();
  }
  if (scenario == "guard") {
    // argument: bit 0 the guard's handlers come first, bit 1 the fault is inside a guarded call
    const TCXCallback fault([](intptr_t) -> int { Fault(); });
    const TCXCallback nothing([](intptr_t) { return 0; });
    SetCrashGuardArmed(true);
    if (argument & 1) CrashGuardedInvoke(nothing, 0);
    InstallProcessHandlers(false);
    CrashGuardedInvoke(argument & 2 ? fault : nothing, 0);
    Fault();
  }
  if (scenario == "exit") {
    // argument: 0 nothing installed, 1 exit not allowed, 2 exit allowed, 3 allowed afterwards
    if (argument > 0) InstallProcessHandlers(argument == 2);
    if (argument == 3) AllowProcessExit();
    std::exit(3);
  }
  if (scenario == "console_held") {
    InstallProcessHandlers(false);
    kill(getpid(), argument);
    for (int i = 0; i < kWatchdogMs && !IsConsoleCloseRequested(); ++i) Qel::Sleep(1);
    if (!IsConsoleCloseRequested()) return 91;
    AllowProcessExit();
    std::exit(0);
  }
  if (scenario == "console_allowed") {
    InstallProcessHandlers(true);
    kill(getpid(), argument);
    for (int i = 0; i < kWatchdogMs; ++i) Qel::Sleep(1);
    return 92;
  }
  return 94;
}

[[maybe_unused]] const bool g_scenario_ran = [] {
  const char* scenario = std::getenv(kScenarioVariable);
  if (!scenario) return false;
  const char* argument = std::getenv(kArgumentVariable);
  _exit(RunScenarioInChild(scenario, argument ? std::atoi(argument) : 0));
}();

struct ChildResult {
  int status = -1;
  std::string out;
};

// Runs this program again as the scenario, in `folder` when given, with its standard output
// captured. `prepare` runs in this process once the child's id is known, before it starts.
ChildResult RunScenario(const std::string& scenario, int argument = 0,
                        const std::string& folder = "",
                        const std::function<void(pid_t)>& prepare = {}) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e) env_text.emplace_back(*e);
  env_text.push_back(std::string(kScenarioVariable) + "=" + scenario);
  env_text.push_back(std::string(kArgumentVariable) + "=" + std::to_string(argument));
  std::vector<char*> envp;
  for (auto& s : env_text) envp.push_back(s.data());
  envp.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, nullptr};

  ChildResult result;
  int out[2], go[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(go, O_CLOEXEC) != 0) return result;
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    char byte;
    if (read(go[0], &byte, 1) != 1) _exit(126);
    dup2(out[1], STDOUT_FILENO);
    if (!folder.empty() && chdir(folder.c_str()) != 0) _exit(125);
    execve(self, argv, envp.data());
    _exit(127);
  }
  close(out[1]);
  close(go[0]);
  if (pid < 0) {
    close(out[0]);
    close(go[1]);
    return result;
  }
  if (prepare) prepare(pid);
  if (write(go[1], "g", 1) != 1) ADD_FAILURE() << "child not started";
  close(go[1]);
  char buf[4096];
  for (;;) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, kWatchdogMs) != 1) {
      ADD_FAILURE() << "child " << scenario << " hangs";
      kill(pid, SIGKILL);
      break;
    }
    const ssize_t n = read(out[0], buf, sizeof(buf));
    if (n <= 0) break;
    result.out.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  waitpid(pid, &result.status, 0);
  return result;
}

std::string Signalled(int status) {
  return WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                             : "exit " + std::to_string(WEXITSTATUS(status));
}

class TempFolder {
 public:
  TempFolder() {
    char name[] = "/tmp/kestro_diag_XXXXXX";
    path_ = mkdtemp(name) ? name : "";
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(path_)) names.insert(e.path().filename());
    return names;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  void Touch(const std::string& name) const { std::ofstream(path_ + "/" + name) << "old"; }

 private:
  std::string path_;
};

TEST(DiagnosticsTest, LinesGoToStandardOutput) {
  const std::string long_text(70000, 'x');
  const std::string medium_text(5000, 'm');
  const std::wstring long_wide(70000, L'w');
  struct Case {
    const char* name;
    std::function<void()> write;
    std::string expected;
  } cases[] = {
      {"plain", [] { WriteLogLine("plain line"); }, "plain line\n"},
      {"null", [] { WriteLogLine(nullptr); }, "\n"},
      {"printf", [] { LogPrintfA("%s=%d", "x", 5); }, "x=5\n"},
      {"past the first buffer", [&] { LogPrintfA("%s", medium_text.c_str()); }, medium_text + "\n"},
      {"cut", [&] { LogPrintfA("%s!", long_text.c_str()); }, long_text.substr(0, 65535) + "\n"},
      {"wide", [] { LogPrintfW(L"%ls %d", L"Gr\u00FC\u00DFe \U0001F682", 7); },
       "Gr\xC3\xBC\xC3\x9F"
       "e \xF0\x9F\x9A\x82 7\n"},
      {"wide cut", [&] { LogPrintfW(L"%ls", long_wide.c_str()); }, std::string(65535, 'w') + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStdout();
    c.write();
    const std::string got = testing::internal::GetCapturedStdout();
    EXPECT_EQ(got.size(), c.expected.size());
    EXPECT_TRUE(got == c.expected) << got.substr(0, 80);
  }
}

std::string Utf16Le(const std::u16string& text) {
  std::string bytes;
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

TEST(DiagnosticsTest, StandardOutputPipe) {
  const std::string narrow = std::string(kPipeText) + "\nline 2\n";
  const std::string wide = Utf16Le(u"Gr\u00FC\u00DFe aus der R\u00F6hre\nline 2\n");
  enum Kind { kFifo, kFifoWithoutReader, kPlainFile, kNothing };
  struct Case {
    const char* name;
    Kind kind;
    int exit_code;
    std::string in_pipe, on_stdout;
  } cases[] = {
      {"pipe offered", kFifo, 0, wide, ""},
      {"nobody reads it", kFifoWithoutReader, 1, "", narrow},
      {"a plain file by that name", kPlainFile, 1, "", narrow},
      {"no pipe", kNothing, 1, "", narrow},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string name;
    int reader = -1;
    const ChildResult r = RunScenario("pipe", 0, "", [&](pid_t pid) {
      name = "/tmp/" + std::to_string(pid) + "cout";
      unlink(name.c_str());
      if (c.kind == kPlainFile) std::ofstream(name).flush();
      if (c.kind == kFifo || c.kind == kFifoWithoutReader) {
        ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
      }
      if (c.kind == kFifo) reader = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    });
    std::string in_pipe;
    if (reader >= 0) {
      char buf[4096];
      ssize_t n;
      while ((n = read(reader, buf, sizeof(buf))) > 0) in_pipe.append(buf, static_cast<size_t>(n));
      close(reader);
    } else if (c.kind == kPlainFile) {
      std::ifstream in(name, std::ios::binary);
      in_pipe.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    unlink(name.c_str());
    ASSERT_TRUE(WIFEXITED(r.status)) << Signalled(r.status);
    EXPECT_EQ(WEXITSTATUS(r.status), c.exit_code);
    EXPECT_EQ(in_pipe, c.in_pipe);
    EXPECT_EQ(r.out, c.on_stdout);
  }
}

TEST(CrashHandlersTest, FaultsWriteOneDumpUnderTheFirstFreeName) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());

  const ChildResult segv = RunScenario("fault", 0, folder.path());
  EXPECT_TRUE(WIFSIGNALED(segv.status) && WTERMSIG(segv.status) == SIGSEGV)
      << Signalled(segv.status);
  EXPECT_EQ(folder.Names(), (std::set<std::string>{"Kestro-48249.dmp"}));
  const std::string dump = folder.Read("Kestro-48249.dmp");
  EXPECT_NE(dump.find("Build: 48249\n"), std::string::npos) << dump;
  EXPECT_NE(dump.find("Signal: 11 (SIGSEGV)\n"), std::string::npos) << dump;
  ASSERT_FALSE(segv.out.empty());
  const unsigned long long page = std::strtoull(segv.out.c_str(), nullptr, 16);
  char address[40];
  std::snprintf(address, sizeof(address), "Address: 0x%016llx\n", page);
  EXPECT_NE(dump.find(address), std::string::npos) << dump;
  const size_t trace = dump.find("Backtrace:\n");
  ASSERT_NE(trace, std::string::npos);
  EXPECT_GT(dump.size(), trace + 12) << "no frames written";

  // A second process in the same folder; an escaping exception is a fault too.
  const ChildResult abrt = RunScenario("throw", 0, folder.path());
  EXPECT_TRUE(WIFSIGNALED(abrt.status) && WTERMSIG(abrt.status) == SIGABRT)
      << Signalled(abrt.status);
  EXPECT_EQ(folder.Names(), (std::set<std::string>{"Kestro-48249.dmp", "Kestro-48249_2.dmp"}));
  EXPECT_NE(folder.Read("Kestro-48249_2.dmp").find("Signal: 6 (SIGABRT)\n"), std::string::npos);
}

TEST(CrashHandlersTest, DumpNameNumbering) {
  struct Case {
    std::vector<std::string> present;
    std::string written;
  } cases[] = {
      {{}, "Kestro-48249.dmp"},
      {{"Kestro-48249.dmp"}, "Kestro-48249_2.dmp"},
      {{"Kestro-48249.dmp", "Kestro-48249_2.dmp"}, "Kestro-48249_3.dmp"},
      {{"Kestro-48249_2.dmp"}, "Kestro-48249.dmp"},
      {{"Kestro-48249.dmp", "Kestro-48249_3.dmp"}, "Kestro-48249_2.dmp"},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    std::set<std::string> expected(c.present.begin(), c.present.end());
    SCOPED_TRACE(c.written + " with " + std::to_string(expected.size()) + " present");
    for (const auto& name : c.present) folder.Touch(name);
    const ChildResult r = RunScenario("force", 0, folder.path());
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << Signalled(r.status);
    expected.insert(c.written);
    EXPECT_EQ(folder.Names(), expected);
    for (const auto& name : c.present) EXPECT_EQ(folder.Read(name), "old");
    EXPECT_NE(folder.Read(c.written).find("Signal: 0 (none)\n"), std::string::npos);
  }
}

TEST(CrashHandlersTest, AtMostOneDumpPerProcess) {
  TempFolder folder;
  const ChildResult r = RunScenario("force_then_fault", 0, folder.path());
  EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGSEGV) << Signalled(r.status);
  EXPECT_EQ(r.out.rfind("continued\n", 0), 0u) << "a forced dump lets the process go on";
  EXPECT_EQ(folder.Names(), (std::set<std::string>{"Kestro-48249.dmp"}));
  EXPECT_NE(folder.Read("Kestro-48249.dmp").find("Signal: 0 (none)\n"), std::string::npos);
}

TEST(CrashHandlersTest, FolderThatCannotTakeTheDump) {
  TempFolder folder;
  const ChildResult r = RunScenario("fault_in_removed_folder", 0, folder.path());
  EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGSEGV) << Signalled(r.status);
  EXPECT_TRUE(folder.Names().empty());
}

TEST(CrashHandlersTest, FaultsInsideAndOutsideGuardedCalls) {
  struct Case {
    const char* name;
    int how;
    bool dump;
  } cases[] = {
      {"handlers first, fault outside", 0, true},
      {"guard first, fault outside", 1, true},
      {"handlers first, fault inside", 2, false},
      {"guard first, fault inside", 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    const ChildResult r = RunScenario("guard", c.how, folder.path());
    if (c.dump) {
      EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGSEGV) << Signalled(r.status);
      EXPECT_EQ(folder.Names(), (std::set<std::string>{"Kestro-48249.dmp"}));
    } else {
      EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == (kCrashGuardExitCode & 0xFF))
          << Signalled(r.status);
      EXPECT_TRUE(folder.Names().empty());
    }
  }
}

TEST(CrashHandlersTest, ExitWhileNotAllowedLeavesADump) {
  struct Case {
    const char* name;
    int how;
    bool dump;
  } cases[] = {
      {"no handlers", 0, false},
      {"exit not allowed", 1, true},
      {"installed with exit allowed", 2, true},
      {"exit allowed afterwards", 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    const ChildResult r = RunScenario("exit", c.how, folder.path());
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 3) << Signalled(r.status);
    EXPECT_EQ(folder.Names().count("Kestro-48249.dmp"), c.dump ? 1u : 0u);
    EXPECT_EQ(folder.Names().size(), c.dump ? 1u : 0u);
  }
}

TEST(CrashHandlersTest, ConsoleSignalsWhileTheHostServes) {
  struct Case {
    int signal;
    u32 ctrl_type;
  } cases[] = {{SIGINT, kCtrlCEvent}, {SIGHUP, kCtrlCloseEvent}, {SIGTERM, kCtrlShutdownEvent}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signal);
    TempFolder folder;
    const std::string line =
        "Console Window event handler called for CtrlType=" + std::to_string(c.ctrl_type) + "\n";

    // Held off: the host sees the request, allows exit and ends in order, without a dump.
    const ChildResult held = RunScenario("console_held", c.signal, folder.path());
    EXPECT_TRUE(WIFEXITED(held.status) && WEXITSTATUS(held.status) == 0) << Signalled(held.status);
    EXPECT_EQ(held.out, line);

    // Exit allowed: the signal's own action ends the process.
    const ChildResult allowed = RunScenario("console_allowed", c.signal, folder.path());
    EXPECT_TRUE(WIFSIGNALED(allowed.status) && WTERMSIG(allowed.status) == c.signal)
        << Signalled(allowed.status);
    EXPECT_EQ(allowed.out, line);
    EXPECT_TRUE(folder.Names().empty());
  }
}

}  // namespace
