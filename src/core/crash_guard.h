// Running a dispatched call so that a fault inside it ends the process with a known exit code.
#pragma once

#include <cstdint>

#include "core/thread_call.h"

// The exit code of a process whose guarded call faulted (the system reports it as 156).
inline constexpr int kCrashGuardExitCode = -100;

// Invokes the call with the argument. While the crash guard is armed (SetCrashGuardArmed) and no
// debugger is attached, an exception leaving the call or a fault signal (SIGSEGV, SIGBUS, SIGFPE,
// SIGILL) raised inside it ends the process at once with kCrashGuardExitCode. Otherwise the call
// runs as it is and an exception travels on.
int CrashGuardedInvoke(const TCXCallback& call, intptr_t argument);

// True while the calling thread is inside a guarded call. A fault handler installed later by
// another part of the program should call HandleGuardedFault first.
bool IsInsideCrashGuard();
// Ends the process as a guarded call's fault does, when the calling thread is inside one and no
// debugger is attached; otherwise returns. Safe to call from a signal handler.
void HandleGuardedFault();
// Whether a debugger traces this process. Safe to call from a signal handler.
bool IsDebuggerAttached();
