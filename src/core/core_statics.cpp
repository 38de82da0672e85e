#include "core/core_statics.h"

#include "core/tcx_dispatcher.h"

namespace {

// Members are built in declaration order, which is the order the core services rely on.
struct CoreStatics {
  Qel::Rand firstRandom;
  Qel::CriticalSection secondRandomLock;
  Qel::Rand secondRandom;
  TCXDispatcher dispatcher{"singleton"};
  Qel::WEvent mainThreadEvent{true, false};
  Qel::Log& log = Qel::Log::Get("Kestro");
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

CoreStaticsLifetime g_coreStaticsLifetime;

}  // namespace

Qel::Rand& FirstRandom() { return Statics().firstRandom; }
Qel::CriticalSection& SecondRandomLock() { return Statics().secondRandomLock; }
Qel::Rand& SecondRandom() { return Statics().secondRandom; }
TCXDispatcher& GetDispatcher() { return Statics().dispatcher; }
Qel::WEvent& MainThreadEvent() { return Statics().mainThreadEvent; }
Qel::Log& KestroLog() { return Statics().log; }
