// Process handlers for the long-running command host: a dump file on a fault, a dump when the
// process exits while it is not allowed to, and console control signals (SIGINT, SIGHUP,
// SIGTERM) that cannot end the host while it serves.
#pragma once

#include "qel/types.h"

inline constexpr u32 kDumpBuildNumber = 48249;
// What CreateMiniDump returns: the fault has been dealt with and the process ends.
inline constexpr int kExceptionExecuteHandler = 1;

// Console control event codes that the signals stand for.
inline constexpr u32 kCtrlCEvent = 0;         // SIGINT
inline constexpr u32 kCtrlCloseEvent = 2;     // SIGHUP: the terminal went away
inline constexpr u32 kCtrlShutdownEvent = 6;  // SIGTERM

// A fault as the dump writer sees it; signal 0 is a dump asked for without a fault.
struct FaultInfo {
  int signal;
  int code;
  const void* address;
};

// Installs the fault handlers (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS), the
// at-exit dump and the console control handler, and arms the dump at exit.
void InstallProcessHandlers(bool exitAllowed);
// Disarms the dump at exit and lets console control signals end the process again.
void AllowProcessExit();
// Set once a console control signal has arrived while exit was not allowed.
bool IsConsoleCloseRequested();
// A terminal has no close button to take away; kept so the host's start-up reads the same.
void DisableConsoleCloseButton();

// Writes "Kestro-48249.dmp" (or the first free numbered name) in the current folder, at most
// once per process, and returns kExceptionExecuteHandler. Async-signal-safe.
int CreateMiniDump(const FaultInfo* fault);
// A dump of the calling thread as it is now; execution continues.
void ForceCrashDump();
