// Opening the built-in libraries: the natives of the runtime's own script classes (the message
// natives of "GameObject", "GSObject", "Router", "Str" and "Math"), registered by every set-up
// of the machine before any host's native tables.
#pragma once

class GSMachine;

namespace GSRuntime {

void OpenBuiltInLibraries(GSMachine& machine);

}  // namespace GSRuntime
