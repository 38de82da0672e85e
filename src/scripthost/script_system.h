// Making the script machine ready for asset scripts, once per process: the standard libraries'
// folder registered, the libraries of the script classes that native code makes instances of
// found there (scripthost/script_class_registry.h binds each class on first use), and the
// native tables of every standard class registered (through the machine's init hook, so that a
// machine set up again registers them again; each class's natives are made on first lookup).
#pragma once

#include <string>

namespace ScriptHost {

// When the standard script classes are bound: all of them during the set-up, which then fails
// when any library or class is missing or does not load; or each where it is first used, for a
// program that starts often and uses few of them (the set-up then only checks their files are
// there, their folders are registered when a library is first looked for, and a library that
// does not load fails where its class is first used).
enum class ScriptBinding { kDuringSetUp, kOnFirstUse };

// The set-up, done by the first call; every call returns the first call's result. The shipped
// "libraries" folder is taken under `location` (empty: the working folder, which is the
// program's folder in the tool); the user's libraries follow when the name "libraries" stands
// for a folder (Qel::File::Subst, as an installation's start-up sets it).
bool InitScriptSystem(const std::string& location = std::string(),
                      ScriptBinding binding = ScriptBinding::kDuringSetUp);

// Forgets the set-up, so that a test can run it again; the natives stay registered.
void ResetScriptSystemForTests();

}  // namespace ScriptHost
