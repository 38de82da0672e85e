// The process-wide objects of the core services. They are created together, in a fixed order,
// during static initialisation, and stay valid until the process ends, so that any static
// destructor may still use them.
#pragma once

#include <cstdint>
#include <map>

#include "qel/critical_section.h"
#include "qel/log.h"
#include "qel/pstring.h"
#include "qel/rand.h"
#include "qel/string.h"
#include "qel/types.h"
#include "qel/wevent.h"

class TCXDispatcher;

// The engine small-object heap that block-array pages come from; only its name is kept here.
struct SmallObjectHeap {
  const char* name;
};

// What accessors return when there is no text.
const Qel::PString& SharedEmptyPString();
const Qel::String& SharedEmptyString();
SmallObjectHeap& BlockArrayHeap();
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
Qel::CriticalSection& ThreadCallMapLock();
std::map<uintptr_t, u32>& ThreadCallMap();
const Qel::String& SecondSharedEmptyString();
