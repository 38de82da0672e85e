// Making the script machine ready for asset scripts, once per process: the standard libraries'
// folder registered, the script classes that native code makes instances of bound, and the native
// tables of every standard class registered (through the machine's init hook, so that a machine
// set up again registers them again).
#pragma once

#include <string>

#include "gsruntime/script_arena.h"

namespace GSRuntime {
class GSContext;
class GSObject;
struct GSClass;
}  // namespace GSRuntime

namespace ScriptHost {

// The classes native code makes instances of; null until bound.
enum class ScriptClassId {
  kGameObject,
  kWorldCoordinate,
  kOrientation,
  kKUID,
  kSoup,
  kHTMLBuffer,
  kKUIDList,
  kStringTable,
  kAsset,
  kKestroGameObject,
  kOnlineAccess,
  kOnlineGroup,
  kImage,
  kLibrary,
  kSecurityToken,
  kConstructorsBase,
  kCount,
};
GSRuntime::GSClass* ScriptClass(ScriptClassId id);

// Binds a new native object to a new instance of the class `id` in `context` and returns the
// instance's reference, the binding's count now the caller's. When the class is not bound, the
// context is null or the instance cannot be made, the object is deleted and the result is 0.
GSRuntime::GSHandle BindNewObject(GSRuntime::GSObject* object, ScriptClassId id,
                                  GSRuntime::GSContext* context);

// Sets the handle to the class of that name in the library of that file name (matched without
// regard to case); false, the handle null, when either is missing.
bool BindScriptClass(const char* libraryFile, const char* className, GSRuntime::GSClass** handle);

// The set-up, done by the first call; every call returns the first call's result. The shipped
// "libraries" folder is taken under `location` (empty: the working folder, which is the
// program's folder in the tool); the user's libraries follow when the name "libraries" stands
// for a folder (Qel::File::Subst, as an installation's start-up sets it).
bool InitScriptSystem(const std::string& location = std::string());

// Forgets the set-up, so that a test can run it again; the natives stay registered.
void ResetScriptSystemForTests();

}  // namespace ScriptHost
