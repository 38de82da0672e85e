// The static natives of the script class "Math": a small random generator, seeded from the
// clock when the natives are registered, and a square root.
#pragma once

class GSMachine;

namespace GSRuntime {

void RegisterMathNatives(GSMachine& machine);

}  // namespace GSRuntime
