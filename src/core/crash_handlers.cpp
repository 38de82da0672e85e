#include "core/crash_handlers.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "core/crash_guard.h"
#include "core/diagnostics.h"
#include "platform/crash_dump.h"
#include "qel/thread.h"

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS};
constexpr int kConsoleSignals[] = {SIGINT, SIGHUP, SIGTERM};
constexpr char kDumpName[] = "Kestro-48249.dmp";
static_assert(kDumpBuildNumber == 48249, "the dump name carries the build number");

enum DumpState : int { kNoDump, kDumpWriting, kDumpWritten };

std::atomic<bool> g_exitAllowed{true};
std::atomic<bool> g_dumpAtExit{false};
std::atomic<bool> g_closeRequested{false};
std::atomic<int> g_dumpState{kNoDump};
int g_consolePipeWrite = -1;

// A fault on an overflowed stack still needs a stack to run the handler on; a thread that has
// one already keeps it.
alignas(16) char g_altStack[64 * 1024];

void OnFaultSignal(int sig, siginfo_t* info, void*) {
  // A fault inside a guarded call ends the process the guard's way, without a dump.
  HandleGuardedFault();
  const FaultInfo fault{sig, info ? info->si_code : 0, info ? info->si_addr : nullptr};
  CreateMiniDump(&fault);
  // The process ends by this same signal once the handler returns. Reset the action here rather
  // than rely on SA_RESETHAND: another handler may be calling this one on its own action.
  signal(sig, SIG_DFL);
  raise(sig);
}

void OnConsoleSignal(int sig) {
  const int savedErrno = errno;
  const char byte = static_cast<char>(sig);
  if (write(g_consolePipeWrite, &byte, 1) < 0) {
    // Full pipe: enough signals are queued to act on already.
  }
  errno = savedErrno;
}

u32 CtrlTypeOf(int sig) {
  switch (sig) {
    case SIGINT:
      return kCtrlCEvent;
    case SIGHUP:
      return kCtrlCloseEvent;
    default:
      return kCtrlShutdownEvent;
  }
}

// Runs on a thread of its own, as a console control handler would.
void HandleConsoleSignal(int sig) {
  LogPrintfA("Console Window event handler called for CtrlType=%d",
             static_cast<int>(CtrlTypeOf(sig)));
  if (g_exitAllowed.load()) {
    g_dumpAtExit.store(false);
    // The default handling ends the process.
    signal(sig, SIG_DFL);
    kill(getpid(), sig);
    return;
  }
  // Held off until the host has ended; interrupt and terminal close alike only ask it to stop.
  g_closeRequested.store(true);
}

i32 ConsoleSignalThread(int readFd) {
  for (;;) {
    char byte;
    const ssize_t n = read(readFd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    HandleConsoleSignal(static_cast<unsigned char>(byte));
  }
}

void DumpAtExit() {
  if (g_dumpAtExit.load()) ForceCrashDump();
}

void InstallOnce() {
  Platform::PrepareBacktrace();

  stack_t alt{};
  if (sigaltstack(nullptr, &alt) == 0 && (alt.ss_flags & SS_DISABLE) != 0) {
    alt = stack_t{};
    alt.ss_sp = g_altStack;
    alt.ss_size = sizeof(g_altStack);
    sigaltstack(&alt, nullptr);
  }

  struct sigaction fault {};
  fault.sa_sigaction = OnFaultSignal;
  fault.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_ONSTACK;
  sigemptyset(&fault.sa_mask);
  for (int sig : kFaultSignals) sigaction(sig, &fault, nullptr);

  std::atexit(DumpAtExit);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  // Lives until the process ends; never destroyed, since it never stops reading.
  auto* thread =
      new Qel::Thread([readFd = fds[0]](Qel::Thread&) { return ConsoleSignalThread(readFd); });
  if (!thread->Start()) {
    delete thread;
    close(fds[0]);
    close(fds[1]);
    return;
  }
  g_consolePipeWrite = fds[1];
  struct sigaction console {};
  console.sa_handler = OnConsoleSignal;
  console.sa_flags = SA_RESTART;
  sigemptyset(&console.sa_mask);
  for (int sig : kConsoleSignals) sigaction(sig, &console, nullptr);
}

}  // namespace

void InstallProcessHandlers(bool exitAllowed) {
  g_exitAllowed.store(exitAllowed);
  g_dumpAtExit.store(true);
  static std::once_flag once;
  std::call_once(once, InstallOnce);
}

void AllowProcessExit() {
  g_dumpAtExit.store(false);
  g_exitAllowed.store(true);
}

bool IsConsoleCloseRequested() { return g_closeRequested.load(); }

void DisableConsoleCloseButton() {}

int CreateMiniDump(const FaultInfo* fault) {
  int expected = kNoDump;
  if (!g_dumpState.compare_exchange_strong(expected, kDumpWriting)) {
    // Another thread is writing the one dump: give it time to finish before this one ends
    // the process.
    const timespec step{0, 10 * 1000 * 1000};
    for (int i = 0; i < 500 && g_dumpState.load() == kDumpWriting; ++i) nanosleep(&step, nullptr);
    return kExceptionExecuteHandler;
  }
  const int fd = Platform::CreateFirstFreeFile(kDumpName);
  if (fd >= 0) {
    const FaultInfo none{0, 0, nullptr};
    const FaultInfo& f = fault ? *fault : none;
    Platform::WriteCrashReport(fd, {f.signal, f.code, f.address, kDumpBuildNumber});
    close(fd);
  }
  g_dumpState.store(kDumpWritten);
  return kExceptionExecuteHandler;
}

__attribute__((noinline)) void ForceCrashDump() {
  const FaultInfo here{0, 0, __builtin_return_address(0)};
  CreateMiniDump(&here);
}
