// The bodies of the natives of the script classes "GameObject", "GSObject" and "Router".
#pragma once

class GSMachine;

namespace GSRuntime {

void RegisterGameObjectNatives(GSMachine& machine);

}  // namespace GSRuntime
