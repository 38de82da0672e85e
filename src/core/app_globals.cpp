#include "core/app_globals.h"

#include <atomic>
#include <deque>
#include <mutex>

#include "core/core_statics.h"
#include "qel/critical_section.h"
#include "qel/rand.h"
#include "qel/thread.h"

namespace {

std::atomic<u32> g_mainThreadId{0};
std::atomic<f64> g_appTime{0.0};
std::atomic<f32> g_appTimeF32{0.0f};
std::atomic<bool> g_crashGuardArmed{false};

// Function-local so that static initialisers elsewhere may already use them.
struct NameAndMessages {
  std::mutex mutex;
  Qel::String name;
  std::deque<ThreadMessage> messages;
};

NameAndMessages& Shared() {
  static NameAndMessages* shared = new NameAndMessages;
  return *shared;
}

std::once_flag& SeedOnce() {
  static std::once_flag* once = new std::once_flag;
  return *once;
}

}  // namespace

void InitApplicationGlobals(const Qel::String& name) {
  SeedRandomGenerators();
  {
    NameAndMessages& shared = Shared();
    std::lock_guard<std::mutex> guard(shared.mutex);
    shared.name = name;
  }
  SetMainThread();
}

u32 SetMainThread() {
  const u32 id = Qel::Thread::CurrentId();
  g_mainThreadId.store(id);
  return id;
}

bool IsMainThread() { return g_mainThreadId.load() == Qel::Thread::CurrentId(); }

u32 GetMainThreadId() { return g_mainThreadId.load(); }

Qel::String GetApplicationName() {
  NameAndMessages& shared = Shared();
  std::lock_guard<std::mutex> guard(shared.mutex);
  return shared.name;
}

void SeedRandomGenerators() {
  std::call_once(SeedOnce(), [] {
    FirstRandom().Randomize();
    Qel::SingleLock guard(SecondRandomLock());
    SecondRandom().Randomize();
  });
}

int RandomInt(int max) {
  Qel::SingleLock guard(SecondRandomLock());
  return SecondRandom().NextInt(0, max);
}

f64 GetApplicationTime() { return g_appTime.load(); }

f32 GetApplicationTimeF32() { return g_appTimeF32.load(); }

void SetApplicationTime(f64 seconds) {
  g_appTime.store(seconds);
  g_appTimeF32.store(f32(seconds));
}

void SetCrashGuardArmed(bool armed) { g_crashGuardArmed.store(armed); }

bool IsCrashGuardArmed() { return g_crashGuardArmed.load(); }

bool PostMainThreadMessage(u32 message, uintptr_t wparam, uintptr_t lparam) {
  NameAndMessages& shared = Shared();
  {
    std::lock_guard<std::mutex> guard(shared.mutex);
    if (shared.messages.size() >= kMainThreadMessageLimit) return false;
    shared.messages.push_back(ThreadMessage{message, wparam, lparam});
  }
  MainThreadEvent().Set();
  return true;
}

bool TakeMainThreadMessage(ThreadMessage* out) {
  NameAndMessages& shared = Shared();
  std::lock_guard<std::mutex> guard(shared.mutex);
  if (shared.messages.empty()) return false;
  if (out != nullptr) *out = shared.messages.front();
  shared.messages.pop_front();
  return true;
}
