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

bool SetUp(const std::string& location) {
  GSMachine& machine = GSMachine::Instance();
  GSMachine::AddInitHook(ForgetScriptClasses);
  // The shipped libraries first, then the user's: the folder the name "libraries" stands for
  // in an installation (UserData/libraries).
  machine.AddLibraryFolder(location, "libraries");
  Qel::String userLibraries;
  if (Qel::File::LookupSubst(Qel::PString("libraries"), &userLibraries, nullptr)) {
    machine.AddLibraryFolder("", userLibraries.CStr());
  }
  // The libraries of the classes with no natives, then the natives, then the libraries of the
  // classes that have them; the first missing one ends the set-up. Each class is bound, and its
  // library loaded, on first use: most runs use few of them.
  if (!HasScriptClassLibraries(ScriptClassId::kGameObject, ScriptClassId::kKUID)) return false;
  GSMachine::AddInitHook(RegisterStandardNatives);
  return HasScriptClassLibraries(ScriptClassId::kKUID, ScriptClassId::kCount);
}

}  // namespace

bool InitScriptSystem(const std::string& location) {
  if (!g_result.has_value()) {
    // Set first: a set-up reached again from within itself returns at once.
    g_result = false;
    g_result = SetUp(location);
  }
  return *g_result;
}

void ResetScriptSystemForTests() {
  g_result.reset();
  ForgetScriptClasses(GSMachine::Instance());
}

}  // namespace ScriptHost
