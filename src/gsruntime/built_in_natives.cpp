#include "gsruntime/built_in_natives.h"

#include "gsruntime/game_object_natives.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_native_function.h"
#include "gsruntime/str_natives.h"

namespace GSRuntime {

namespace {

// The runtime's own natives still without a body, bound by signature so that scripts link; a call
// fails and ends the calling thread. The others register with the game-object natives.
constexpr const char* kBuiltIns[][2] = {
    {"GameObject", "$void@GameObject::SendMessage(GameObject,string,string,GSObject)"},
    {"GameObject", "$void@GameObject::PostMessage(GameObject,string,string,GSObject,float)"},
};

}  // namespace

void OpenBuiltInLibraries(GSMachine& machine) {
  for (const auto& builtIn : kBuiltIns) {
    machine.RegisterNative(new GSCNativeFunction(builtIn[0], builtIn[1], nullptr));
  }
  RegisterStrAndMathNatives(machine);
  RegisterGameObjectNatives(machine);
}

}  // namespace GSRuntime
