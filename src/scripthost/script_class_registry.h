// The script classes that native code makes instances of: each bound by library file and class
// name when first asked for, its library loaded then, and found by its id after. The set-up
// (scripthost/script_system.h) checks their libraries are there; the native objects use them to
// make and cast their script instances.
#pragma once

#include "gsruntime/script_arena.h"

class GSMachine;

namespace GSRuntime {
class GSContext;
class GSObject;
struct GSClass;
}  // namespace GSRuntime

namespace ScriptHost {

// The classes native code makes instances of.
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
// The class, bound on the first call that finds its library registered; null when its library
// or class is missing. A registered library that does not load, or lacks the class, is not
// tried again until the classes are forgotten.
GSRuntime::GSClass* ScriptClass(ScriptClassId id);

// Whether the library files of the classes from `first` up to but not including `end` are all
// registered with the machine; nothing is loaded.
bool HasScriptClassLibraries(ScriptClassId first, ScriptClassId end);
// Binds the classes from `first` up to but not including `end`, in order; false at the first
// whose library or class is missing or does not load, the rest left unbound.
bool BindScriptClasses(ScriptClassId first, ScriptClassId end);
// Unbinds every class, to be looked for again: a machine set up again has forgotten its
// libraries, and with them the classes. Has the form of the machine's init hook.
void ForgetScriptClasses(GSMachine& machine);

// Binds a new native object to a new instance of the class `id` in `context` and returns the
// instance's reference, the binding's count now the caller's. When the class is not bound, the
// context is null or the instance cannot be made, the object is deleted and the result is 0.
GSRuntime::GSHandle BindNewObject(GSRuntime::GSObject* object, ScriptClassId id,
                                  GSRuntime::GSContext* context);

// The reference viewed as the class `id` (the element class of an array, the declared result of
// a native); the reference itself when it is no object of that class. The count is unchanged.
GSRuntime::GSHandle AsScriptClass(GSRuntime::GSHandle reference, ScriptClassId id);

// Sets the handle to the class of that name in the library of that file name (matched without
// regard to case); false, the handle null, when either is missing.
bool BindScriptClass(const char* libraryFile, const char* className, GSRuntime::GSClass** handle);

}  // namespace ScriptHost
