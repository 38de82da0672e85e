// The process-wide objects of the core services. They are created together, in a fixed order,
// during static initialisation, and stay valid until the process ends, so that any static
// destructor may still use them.
#pragma once

#include "qel/critical_section.h"
#include "qel/log.h"
#include "qel/rand.h"
#include "qel/types.h"
#include "qel/wevent.h"

class TCXDispatcher;

Qel::Rand& FirstRandom();
// Guards SecondRandom(), which serves temporary names and RandomInt.
Qel::CriticalSection& SecondRandomLock();
Qel::Rand& SecondRandom();
// The process dispatcher, named "singleton".
TCXDispatcher& GetDispatcher();
// Manual reset; set whenever the main thread has calls or messages to service.
Qel::WEvent& MainThreadEvent();
// The engine log client "Kestro".
Qel::Log& KestroLog();
