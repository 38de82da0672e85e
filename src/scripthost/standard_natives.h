// The native tables of the standard script classes, in the order the script system registers
// them. Natives whose bodies are still to come are bound as GSUnbuiltNativeFunction, so that
// every standard library links and a call says clearly what is missing.
#pragma once

#include <span>

#include "scripthost/native_binding.h"

class GSMachine;

namespace ScriptHost {

struct NativeTable {
  const char* name;                                 // the native class, for messages
  std::span<const GSRuntime::NativeEntry> natives;  // in registration order; each names its class
};

// The fifteen tables, in registration order.
std::span<const NativeTable> StandardNativeTables();
// Registers every table's classes with the machine, each class's natives made when a library
// first looks one up, and the conversions of message payloads; the machine's init hook.
void RegisterStandardNatives(GSMachine& machine);

}  // namespace ScriptHost
