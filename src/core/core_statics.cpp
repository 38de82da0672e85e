#include "core/core_statics.h"

#include "core/tcx_dispatcher.h"

namespace {

// Members are built in declaration order, which is the order the core services rely on.
struct CoreStatics {
  const Qel::PString empty_pstring{};
  const Qel::String empty_string{};
  SmallObjectHeap block_array_heap{"#BlockArray"};
  Qel::Rand first_random;
  Qel::CriticalSection second_random_lock;
  Qel::Rand second_random;
  TCXDispatcher dispatcher{"singleton"};
  Qel::WEvent main_thread_event{true, false};
  Qel::Log& log = Qel::Log::Get("Kestro");
  Qel::CriticalSection thread_call_lock;
  std::map<uintptr_t, u32> thread_call_map;
  const Qel::String second_empty_string{};
};

// Never freed: worker threads and other static destructors may still reach these at exit.
CoreStatics& Statics() {
  static CoreStatics* statics = new CoreStatics;
  return *statics;
}

// Builds the objects during static initialisation and, at exit, drops the queued calls and
// stops the workers before the rest of the process goes away.
struct CoreStaticsLifetime {
  CoreStaticsLifetime() { Statics(); }
  ~CoreStaticsLifetime() { Statics().dispatcher.Close(); }
};

CoreStaticsLifetime g_core_statics_lifetime;

}  // namespace

const Qel::PString& SharedEmptyPString() { return Statics().empty_pstring; }
const Qel::String& SharedEmptyString() { return Statics().empty_string; }
SmallObjectHeap& BlockArrayHeap() { return Statics().block_array_heap; }
Qel::Rand& FirstRandom() { return Statics().first_random; }
Qel::CriticalSection& SecondRandomLock() { return Statics().second_random_lock; }
Qel::Rand& SecondRandom() { return Statics().second_random; }
TCXDispatcher& GetDispatcher() { return Statics().dispatcher; }
Qel::WEvent& MainThreadEvent() { return Statics().main_thread_event; }
Qel::Log& KestroLog() { return Statics().log; }
Qel::CriticalSection& ThreadCallMapLock() { return Statics().thread_call_lock; }
std::map<uintptr_t, u32>& ThreadCallMap() { return Statics().thread_call_map; }
const Qel::String& SecondSharedEmptyString() { return Statics().second_empty_string; }
