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
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/app_globals.h"
#include "core/crash_guard.h"
#include "core/crash_handlers.h"
#include "core/thread_call.h"
#include "platform/byte_order.h"
#include "qel/thread.h"
#include "support/scratch_folder.h"

extern char** environ;

namespace {

using Names = std::set<std::string>;

constexpr int kWatchdogMs = 20000;
constexpr char kScenarioVariable[] = "KESTRO_DIAG_TEST_SCENARIO";
constexpr char kArgumentVariable[] = "KESTRO_DIAG_TEST_ARGUMENT";
constexpr char kDump[] = "Kestro-48249.dmp";
constexpr char kPipeText[] =
    "Gr\xC3\xBC\xC3\x9F"
    "e aus der R\xC3\xB6hre";

void Say(const std::string& text) {
  if (write(STDOUT_FILENO, text.data(), text.size()) < 0) _exit(95);
}

// Writes to a page that cannot be written, after printing its address.
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
  if (scenario == "fault" || scenario == "throw" || scenario == "force_then_fault") {
    InstallProcessHandlers(false);
    if (scenario == "throw") throw std::runtime_error("unhandled");
    if (scenario == "force_then_fault") ForceCrashDump();
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
  std::string err;

  bool Exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
  bool Killed(int signal) const { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }
  // Shown only when a check fails, so the child's standard error stays out of a passing run.
  std::string How() const {
    return (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                : "exit " + std::to_string(WEXITSTATUS(status))) +
           (err.empty() ? "" : ", standard error:\n" + err);
  }
};

// Runs this program again as the scenario, in `folder`, with its standard output and error
// captured.
// `prepare` runs in this process once the child's id is known, before the child starts.
ChildResult RunScenario(const std::string& scenario, int argument, const std::string& folder,
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
  int out[2], err[2], go[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(go, O_CLOEXEC) != 0) {
    return result;
  }
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    char byte;
    if (read(go[0], &byte, 1) != 1) _exit(126);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    if (chdir(folder.c_str()) != 0) _exit(125);
    execve(self, argv, envp.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  close(go[0]);
  if (pid > 0 && prepare) prepare(pid);
  if (pid > 0 && write(go[1], "g", 1) != 1) ADD_FAILURE() << "child not started";
  close(go[1]);
  char buf[4096];
  pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* text[2] = {&result.out, &result.err};
  while (pid > 0 && (p[0].fd >= 0 || p[1].fd >= 0)) {
    if (poll(p, 2, kWatchdogMs) < 1) {
      ADD_FAILURE() << "child " << scenario << " hangs";
      kill(pid, SIGKILL);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (p[i].revents == 0) continue;
      const ssize_t n = read(p[i].fd, buf, sizeof(buf));
      if (n > 0) {
        text[i]->append(buf, static_cast<size_t>(n));
      } else {
        p[i].fd = -1;  // poll passes over it from now on
      }
    }
  }
  close(out[0]);
  close(err[0]);
  if (pid > 0) waitpid(pid, &result.status, 0);
  return result;
}

TEST(DiagnosticsTest, LinesGoToStandardOutput) {
  const std::string long_text(70000, 'x');
  const std::string medium_text(5000, 'm');
  const std::wstring long_wide(70000, L'w');
  struct Case {
    const char* name;
    std::function<void()> write;
    std::string expected;
  } cases[] = {
      {"null", [] { WriteLogLine(nullptr); }, "\n"},
      {"past the first buffer", [&] { LogPrintfA("%s", medium_text.c_str()); }, medium_text + "\n"},
      {"cut", [&] { LogPrintfA("%s!", long_text.c_str()); }, long_text.substr(0, 65535) + "\n"},
      {"wide", [] { LogPrintfW(L"%ls %d", L"Gr\u00FC\u00DFe \U0001F682", 7); },
       "Gr\xC3\xBC\xC3\x9F"
       "e \xF0\x9F\x9A\x82 7\n"},
      {"wide cut", [&] { LogPrintfW(L"%ls", long_wide.c_str()); }, std::string(65535, 'w') + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string got = scratch::CaptureStdout(c.write);
    EXPECT_EQ(got.size(), c.expected.size());
    EXPECT_TRUE(got == c.expected) << got.substr(0, 80);
  }
}

TEST(DiagnosticsTest, StandardOutputPipe) {
  const std::string narrow = std::string(kPipeText) + "\nline 2\n";
  std::string wide;  // the same lines as UTF-16LE
  for (char16_t c : std::u16string(u"Gr\u00FC\u00DFe aus der R\u00F6hre\nline 2\n")) {
    ByteOrder::AppendLE16(wide, c);
  }
  enum Kind { kFifo, kFifoWithoutReader, kPlainFile };
  struct Case {
    const char* name;
    Kind kind;
    int exit_code;
    std::string in_pipe, on_stdout;
  } cases[] = {
      {"pipe offered", kFifo, 0, wide, ""},
      {"nobody reads it", kFifoWithoutReader, 1, "", narrow},
      {"a plain file by that name", kPlainFile, 1, "", narrow},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scratch::Folder folder;
    std::string name;
    int reader = -1;
    const ChildResult r = RunScenario("pipe", 0, folder.path(), [&](pid_t pid) {
      name = "/tmp/" + std::to_string(pid) + "cout";
      unlink(name.c_str());
      if (c.kind == kPlainFile) std::ofstream(name).flush();
      if (c.kind != kPlainFile) {
        ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
      }
      if (c.kind == kFifo) reader = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    });
    std::string in_pipe;
    char buf[4096];
    for (ssize_t n; reader >= 0 && (n = read(reader, buf, sizeof(buf))) > 0;) {
      in_pipe.append(buf, static_cast<size_t>(n));
    }
    if (reader >= 0) close(reader);
    if (c.kind == kPlainFile) in_pipe = scratch::ReadAll(name);
    unlink(name.c_str());
    EXPECT_TRUE(r.Exited(c.exit_code)) << r.How();
    EXPECT_EQ(in_pipe, c.in_pipe);
    EXPECT_EQ(r.out, c.on_stdout);
  }
}

// Names in use are never overwritten: each process takes the first free one.
TEST(CrashHandlersTest, FaultsWriteOneDumpUnderTheFirstFreeName) {
  scratch::Folder folder;
  ASSERT_FALSE(folder.path().empty());
  folder.Put("Kestro-48249_2.dmp", "old");
  const ChildResult segv = RunScenario("fault", 0, folder.path());
  EXPECT_TRUE(segv.Killed(SIGSEGV)) << segv.How();
  EXPECT_EQ(folder.Names(), (Names{kDump, "Kestro-48249_2.dmp"}));
  const std::string dump = folder.Read(kDump);
  EXPECT_NE(dump.find("Build: 48249\n"), std::string::npos) << dump;
  EXPECT_NE(dump.find("Signal: 11 (SIGSEGV)\n"), std::string::npos) << dump;
  ASSERT_EQ(segv.out.rfind("continued\n", 0), 0u);
  const unsigned long long page = std::strtoull(segv.out.c_str() + 10, nullptr, 16);
  char address[40];
  std::snprintf(address, sizeof(address), "Address: 0x%016llx\n", page);
  EXPECT_NE(dump.find(address), std::string::npos) << dump;
  const size_t trace = dump.find("Backtrace:\n");
  ASSERT_NE(trace, std::string::npos);
  EXPECT_GT(dump.size(), trace + 12) << "no frames written";

  // An escaping exception is a fault too; the next free name skips the one in use.
  const ChildResult abrt = RunScenario("throw", 0, folder.path());
  EXPECT_TRUE(abrt.Killed(SIGABRT)) << abrt.How();
  EXPECT_NE(abrt.err.find("terminate called after throwing an instance of 'std::runtime_error'"),
            std::string::npos)
      << abrt.err;
  EXPECT_NE(folder.Read("Kestro-48249_3.dmp").find("Signal: 6 (SIGABRT)\n"), std::string::npos);
  EXPECT_EQ(folder.Names().size(), 3u);
  EXPECT_EQ(folder.Read("Kestro-48249_2.dmp"), "old");
}

// Which endings leave a dump: at most one per process, and none where it cannot be written.
TEST(CrashHandlersTest, DumpsOnlyForFaultsOutsideGuardsAndForbiddenExits) {
  struct Case {
    const char* name;
    const char* scenario;
    int argument;
    int exit_code;            // -1: ended by SIGSEGV
    const char* dump_signal;  // the dump's signal line, null for no dump
  } cases[] = {
      {"handlers first, fault outside", "guard", 0, -1, "Signal: 11 (SIGSEGV)"},
      {"guard first, fault outside", "guard", 1, -1, "Signal: 11 (SIGSEGV)"},
      {"handlers first, fault inside", "guard", 2, kCrashGuardExitCode & 0xFF, nullptr},
      {"guard first, fault inside", "guard", 3, kCrashGuardExitCode & 0xFF, nullptr},
      {"exit, no handlers", "exit", 0, 3, nullptr},
      {"exit not allowed", "exit", 1, 3, "Signal: 0 (none)"},
      {"installed with exit allowed", "exit", 2, 3, "Signal: 0 (none)"},
      {"exit allowed afterwards", "exit", 3, 3, nullptr},
      {"forced dump, then a fault", "force_then_fault", 0, -1, "Signal: 0 (none)"},
      {"folder removed", "fault_in_removed_folder", 0, -1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scratch::Folder folder;
    const ChildResult r = RunScenario(c.scenario, c.argument, folder.path());
    EXPECT_TRUE(c.exit_code < 0 ? r.Killed(SIGSEGV) : r.Exited(c.exit_code)) << r.How();
    EXPECT_EQ(folder.Names(), c.dump_signal ? Names{kDump} : Names{});
    if (c.dump_signal) {
      EXPECT_NE(folder.Read(kDump).find(c.dump_signal), std::string::npos);
    }
  }
}

TEST(CrashHandlersTest, ConsoleSignalsWhileTheHostServes) {
  struct Case {
    int signal;
    u32 ctrl_type;
  } cases[] = {{SIGINT, kCtrlCEvent}, {SIGHUP, kCtrlCloseEvent}, {SIGTERM, kCtrlShutdownEvent}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signal);
    scratch::Folder folder;
    const std::string line =
        "Console Window event handler called for CtrlType=" + std::to_string(c.ctrl_type) + "\n";
    // Held off: the host sees the request, allows exit and ends in order, without a dump.
    const ChildResult held = RunScenario("console_held", c.signal, folder.path());
    EXPECT_TRUE(held.Exited(0)) << held.How();
    EXPECT_EQ(held.out, line);
    // Exit allowed: the signal's own action ends the process.
    const ChildResult allowed = RunScenario("console_allowed", c.signal, folder.path());
    EXPECT_TRUE(allowed.Killed(c.signal)) << allowed.How();
    EXPECT_EQ(allowed.out, line);
    EXPECT_TRUE(folder.Names().empty());
  }
}

}  // namespace
