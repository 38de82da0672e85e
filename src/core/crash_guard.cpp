#include "core/crash_guard.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <mutex>

#include "core/app_globals.h"

namespace {

constexpr int kGuardedSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int kGuardedSignalCount = sizeof kGuardedSignals / sizeof kGuardedSignals[0];
constexpr size_t kAltStackSize = 64 * 1024;

struct sigaction g_previous[kGuardedSignalCount];
thread_local volatile sig_atomic_t t_guardDepth = 0;

// Lets the handler run after a stack overflow; threads that already have one keep theirs.
class AltStack {
 public:
  AltStack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) return;
    memory_ = std::make_unique<char[]>(kAltStackSize);
    stack_t stack{};
    stack.ss_sp = memory_.get();
    stack.ss_size = kAltStackSize;
    if (sigaltstack(&stack, nullptr) != 0) memory_.reset();
  }
  ~AltStack() {
    if (!memory_) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
  }
  AltStack(const AltStack&) = delete;
  AltStack& operator=(const AltStack&) = delete;

 private:
  std::unique_ptr<char[]> memory_;
};

void PassOn(int sig, siginfo_t* info, void* context) {
  for (int i = 0; i < kGuardedSignalCount; ++i) {
    if (kGuardedSignals[i] != sig) continue;
    const struct sigaction& previous = g_previous[i];
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
      previous.sa_sigaction(sig, info, context);
      return;
    }
    if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler != SIG_DFL &&
        previous.sa_handler != SIG_IGN) {
      previous.sa_handler(sig);
      return;
    }
  }
  // The default action; a re-raised signal is delivered once this handler returns.
  signal(sig, SIG_DFL);
  raise(sig);
}

void OnGuardedFaultSignal(int sig, siginfo_t* info, void* context) {
  HandleGuardedFault();
  PassOn(sig, info, context);
}

bool IsOurs(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == OnGuardedFaultSignal;
}

// Handlers installed later by other parts of the program may replace ours without passing
// faults on; each armed call puts ours back in front of whatever is there, which then becomes
// the handler that faults outside a guard are passed to.
void EnsureFaultHandlers() {
  struct sigaction current {};
  if (sigaction(kGuardedSignals[0], nullptr, &current) == 0 && IsOurs(current)) return;
  static std::mutex mutex;
  std::lock_guard<std::mutex> guard(mutex);
  for (int i = 0; i < kGuardedSignalCount; ++i) {
    if (sigaction(kGuardedSignals[i], nullptr, &current) == 0 && IsOurs(current)) continue;
    struct sigaction action {};
    action.sa_sigaction = OnGuardedFaultSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(kGuardedSignals[i], &action, &g_previous[i]);
  }
}

struct DepthScope {
  DepthScope() { t_guardDepth = t_guardDepth + 1; }
  ~DepthScope() { t_guardDepth = t_guardDepth - 1; }
};

}  // namespace

bool IsDebuggerAttached() {
  // Plain system calls only: this runs inside signal handlers.
  const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  size_t used = 0;
  for (;;) {
    const ssize_t got = read(fd, buffer + used, sizeof buffer - 1 - used);
    if (got <= 0) break;
    used += size_t(got);
    if (used == sizeof buffer - 1) break;
  }
  close(fd);
  buffer[used] = '\0';
  static constexpr char kKey[] = "TracerPid:";
  for (size_t i = 0; i + sizeof kKey - 1 <= used; ++i) {
    bool match = i == 0 || buffer[i - 1] == '\n';
    for (size_t k = 0; match && k < sizeof kKey - 1; ++k) match = buffer[i + k] == kKey[k];
    if (!match) continue;
    for (const char* p = buffer + i + sizeof kKey - 1; *p != '\0' && *p != '\n'; ++p) {
      if (*p >= '1' && *p <= '9') return true;
    }
    return false;
  }
  return false;
}

bool IsInsideCrashGuard() { return t_guardDepth > 0; }

void HandleGuardedFault() {
  if (t_guardDepth > 0 && !IsDebuggerAttached()) _exit(kCrashGuardExitCode);
}

int CrashGuardedInvoke(const TCXCallback& call, intptr_t argument) {
  if (!IsCrashGuardArmed()) return call.Invoke(argument);
  EnsureFaultHandlers();
  thread_local AltStack altStack;
  DepthScope scope;
  try {
    return call.Invoke(argument);
  } catch (...) {
    // With a debugger present the exception goes on to it, as it would without the guard.
    if (IsDebuggerAttached()) throw;
    _exit(kCrashGuardExitCode);
  }
}
