// Process-wide facts that the thread-call services need: which thread is the main one, the
// application name and clock, the random generators and the main thread's message queue.
#pragma once

#include <cstdint>

#include "qel/string.h"
#include "qel/types.h"

// Seeds the random generators (once per process), stores the name and makes the calling thread
// the main thread. `main` calls it with "KestroUtil".
void InitApplicationGlobals(const Qel::String& name);
// Makes the calling thread the main thread and returns its id.
u32 SetMainThread();
bool IsMainThread();
// 0 until a main thread has been recorded.
u32 GetMainThreadId();
Qel::String GetApplicationName();

// Randomises both process generators, once per process; later calls do nothing.
void SeedRandomGenerators();
// Uniform in [0, max] from the second generator.
int RandomInt(int max);

// Seconds since the first main-thread service step; advances only when that step runs.
f64 GetApplicationTime();
f32 GetApplicationTimeF32();
void SetApplicationTime(f64 seconds);

// Armed by the front end while it runs a command under its own guard; guarded calls end the
// process on a fault only while it is armed.
void SetCrashGuardArmed(bool armed);
bool IsCrashGuardArmed();

// The main thread's message queue. Posting fails once kMainThreadMessageLimit messages wait,
// so a main thread that never drains it cannot make it grow without bound.
inline constexpr u32 kMainThreadWakeMessage = 0xDC4;
inline constexpr u32 kMainThreadMessageLimit = 10000;

struct ThreadMessage {
  u32 message = 0;
  uintptr_t wparam = 0;
  uintptr_t lparam = 0;
};

bool PostMainThreadMessage(u32 message, uintptr_t wparam, uintptr_t lparam);
// Takes the oldest message; false when none waits.
bool TakeMainThreadMessage(ThreadMessage* out);
