#include "gsruntime/built_in_natives.h"

#include "gsruntime/game_object_natives.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/str_natives.h"

namespace GSRuntime {

void OpenBuiltInLibraries(GSMachine& machine) {
  RegisterStrAndMathNatives(machine);
  RegisterGameObjectNatives(machine);
}

}  // namespace GSRuntime
