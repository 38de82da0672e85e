#include "scripthost/script_class_registry.h"

#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_object.h"
#include "gsruntime/object_bridge.h"

namespace ScriptHost {

namespace {

using GSRuntime::GSClass;

constexpr int kClassCount = static_cast<int>(ScriptClassId::kCount);

GSClass* g_classes[kClassCount] = {};
// Whether the class was looked for in its registered library since the classes were last
// forgotten: a library that does not load is not tried (and its failure logged) on every use.
bool g_lookedFor[kClassCount] = {};

struct Binding {
  const char* file;
  const char* className;
};

// By id.
constexpr Binding kBindings[kClassCount] = {
    {"gs.gsl", "GameObject"},
    {"worldcoordinate.gsl", "WorldCoordinate"},
    {"orientation.gsl", "Orientation"},
    {"kuid.gsl", "KUID"},
    {"Soup.gsl", "Soup"},
    {"HTMLBuffer.gsl", "HTMLBuffer"},
    {"KUIDList.gsl", "KUIDList"},
    {"StringTable.gsl", "StringTable"},
    {"asset.gsl", "Asset"},
    {"KestroGameObject.gsl", "KestroGameObject"},
    {"OnlineAccess.gsl", "OnlineAccess"},
    {"OnlineGroup.gsl", "OnlineGroup"},
    {"Image.gsl", "Image"},
    {"Library.gsl", "Library"},
    {"SecurityToken.gsl", "SecurityToken"},
    {"Constructors.gsl", "ConstructorsBase"},
};

}  // namespace

GSClass* ScriptClass(ScriptClassId id) {
  const int index = static_cast<int>(id);
  // A library not registered yet (asked for before the set-up) may be later.
  if (!g_lookedFor[index] && GSMachine::Instance().HasLibrary(kBindings[index].file)) {
    g_lookedFor[index] = true;
    BindScriptClass(kBindings[index].file, kBindings[index].className, &g_classes[index]);
  }
  return g_classes[index];
}

bool HasScriptClassLibraries(ScriptClassId first, ScriptClassId end) {
  const GSMachine& machine = GSMachine::Instance();
  for (int id = static_cast<int>(first); id < static_cast<int>(end); ++id) {
    if (!machine.HasLibrary(kBindings[id].file)) return false;
  }
  return true;
}

bool BindScriptClasses(ScriptClassId first, ScriptClassId end) {
  for (int id = static_cast<int>(first); id < static_cast<int>(end); ++id) {
    if (ScriptClass(static_cast<ScriptClassId>(id)) == nullptr) return false;
  }
  return true;
}

void ForgetScriptClasses(GSMachine&) {
  for (GSClass*& cls : g_classes) cls = nullptr;
  for (bool& looked : g_lookedFor) looked = false;
}

GSRuntime::GSHandle BindNewObject(GSRuntime::GSObject* object, ScriptClassId id,
                                  GSRuntime::GSContext* context) {
  GSClass* cls = ScriptClass(id);
  if (cls == nullptr || context == nullptr || !object->BindScriptInstance(cls, context)) {
    delete object;
    return 0;
  }
  return object->scriptInstance;
}

GSRuntime::GSHandle AsScriptClass(GSRuntime::GSHandle reference, ScriptClassId id) {
  const GSRuntime::GSHandle cast = GSRuntime::ObjectBridge::CastTo(reference, ScriptClass(id));
  return cast != 0 ? cast : reference;
}

bool BindScriptClass(const char* libraryFile, const char* className, GSClass** handle) {
  *handle = nullptr;
  GSRuntime::GSLibrary* library = GSMachine::Instance().FindLibrary(libraryFile);
  if (library != nullptr) *handle = library->FindClass(className);
  return *handle != nullptr;
}

}  // namespace ScriptHost
