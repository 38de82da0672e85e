#include "scripthost/script_system.h"

#include <optional>

#include "gsruntime/gs_machine.h"
#include "qel/file.h"
#include "scripthost/script_class_registry.h"
#include "scripthost/standard_natives.h"

namespace ScriptHost {

namespace {

// The first set-up's result: a failed set-up stays failed, rather than every later call reading
// as success.
std::optional<bool> g_result;

bool SetUp(const std::string& location, ScriptBinding binding) {
  GSMachine& machine = GSMachine::Instance();
  GSMachine::AddInitHook(ForgetScriptClasses);
  // The shipped libraries first, then the user's: the folder the name "libraries" stands for
  // in an installation (UserData/libraries). Binding on first use, a folder is registered when
  // a library is first looked for.
  const auto addFolder = binding == ScriptBinding::kDuringSetUp
                             ? &GSMachine::AddLibraryFolder
                             : &GSMachine::AddLibraryFolderOnDemand;
  (machine.*addFolder)(location, "libraries");
  Qel::String userLibraries;
  if (Qel::File::LookupSubst(Qel::PString("libraries"), &userLibraries, nullptr)) {
    (machine.*addFolder)("", userLibraries.CStr());
  }
  // The classes with no natives, then the natives, then the classes that have them; the first
  // failure ends the set-up. Each class's natives are made when first looked up.
  const auto ready =
      binding == ScriptBinding::kDuringSetUp ? &BindScriptClasses : &HasScriptClassLibraries;
  if (!ready(ScriptClassId::kGameObject, ScriptClassId::kKUID)) return false;
  GSMachine::AddInitHook(RegisterStandardNatives);
  return ready(ScriptClassId::kKUID, ScriptClassId::kCount);
}

}  // namespace

bool InitScriptSystem(const std::string& location, ScriptBinding binding) {
  if (!g_result.has_value()) {
    // Set first: a set-up reached again from within itself returns at once.
    g_result = false;
    g_result = SetUp(location, binding);
  }
  return *g_result;
}

void ResetScriptSystemForTests() {
  g_result.reset();
  ForgetScriptClasses(GSMachine::Instance());
}

}  // namespace ScriptHost
