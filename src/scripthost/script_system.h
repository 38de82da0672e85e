// Making the script machine ready for asset scripts, once per process: the standard libraries'
// folder registered, the script classes that native code makes instances of bound
// (scripthost/script_class_registry.h), and the native tables of every standard class registered
// (through the machine's init hook, so that a machine set up again registers them again).
#pragma once

#include <string>

namespace ScriptHost {

// The set-up, done by the first call; every call returns the first call's result. The shipped
// "libraries" folder is taken under `location` (empty: the working folder, which is the
// program's folder in the tool); the user's libraries follow when the name "libraries" stands
// for a folder (Qel::File::Subst, as an installation's start-up sets it).
bool InitScriptSystem(const std::string& location = std::string());

// Forgets the set-up, so that a test can run it again; the natives stay registered.
void ResetScriptSystemForTests();

}  // namespace ScriptHost
