// The static natives of the script classes "Str" and "Math", registered by the machine after its
// own. Only Find has a body so far; the others bind, and a call of one fails.
#pragma once

class GSMachine;

namespace GSRuntime {

void RegisterStrAndMathNatives(GSMachine& machine);

}  // namespace GSRuntime
