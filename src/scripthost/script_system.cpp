#include "scripthost/script_system.h"

#include <optional>

#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_object.h"
#include "qel/file.h"
#include "scripthost/standard_natives.h"

namespace ScriptHost {

namespace {

using GSRuntime::GSClass;

GSClass* g_classes[static_cast<int>(ScriptClassId::kCount)] = {};
// The first set-up's result: a failed set-up stays failed, rather than every later call reading
// as success.
std::optional<bool> g_result;

GSClass*& Handle(ScriptClassId id) { return g_classes[static_cast<int>(id)]; }

// A machine set up again has forgotten its libraries, and with them the classes bound here.
void ForgetClasses(GSMachine&) {
  for (GSClass*& cls : g_classes) cls = nullptr;
}

struct Binding {
  ScriptClassId id;
  const char* file;
  const char* className;
};

// Bound after the native tables, in this order; the first failure ends the set-up.
constexpr Binding kBindings[] = {
    {ScriptClassId::kKUID, "kuid.gsl", "KUID"},
    {ScriptClassId::kSoup, "Soup.gsl", "Soup"},
    {ScriptClassId::kHTMLBuffer, "HTMLBuffer.gsl", "HTMLBuffer"},
    {ScriptClassId::kKUIDList, "KUIDList.gsl", "KUIDList"},
    {ScriptClassId::kStringTable, "StringTable.gsl", "StringTable"},
    {ScriptClassId::kAsset, "asset.gsl", "Asset"},
    {ScriptClassId::kKestroGameObject, "KestroGameObject.gsl", "KestroGameObject"},
    {ScriptClassId::kOnlineAccess, "OnlineAccess.gsl", "OnlineAccess"},
    {ScriptClassId::kOnlineGroup, "OnlineGroup.gsl", "OnlineGroup"},
    {ScriptClassId::kImage, "Image.gsl", "Image"},
    {ScriptClassId::kLibrary, "Library.gsl", "Library"},
    {ScriptClassId::kSecurityToken, "SecurityToken.gsl", "SecurityToken"},
    {ScriptClassId::kConstructorsBase, "Constructors.gsl", "ConstructorsBase"},
};

bool Bind(ScriptClassId id, const char* file, const char* className) {
  return BindScriptClass(file, className, &Handle(id));
}

bool SetUp(const std::string& location) {
  GSMachine& machine = GSMachine::Instance();
  GSMachine::AddInitHook(ForgetClasses);
  // The shipped libraries first, then the user's: the folder the name "libraries" stands for
  // in an installation (UserData/libraries).
  machine.AddLibraryFolder(location, "libraries");
  Qel::String userLibraries;
  if (Qel::File::LookupSubst(Qel::PString("libraries"), &userLibraries, nullptr)) {
    machine.AddLibraryFolder("", userLibraries.CStr());
  }
  if (!Bind(ScriptClassId::kGameObject, "gs.gsl", "GameObject")) return false;
  if (!Bind(ScriptClassId::kWorldCoordinate, "worldcoordinate.gsl", "WorldCoordinate") ||
      !Bind(ScriptClassId::kOrientation, "orientation.gsl", "Orientation")) {
    return false;
  }
  GSMachine::AddInitHook(RegisterStandardNatives);
  for (const Binding& binding : kBindings) {
    if (!Bind(binding.id, binding.file, binding.className)) return false;
  }
  return true;
}

}  // namespace

GSClass* ScriptClass(ScriptClassId id) { return Handle(id); }

GSRuntime::GSHandle BindNewObject(GSRuntime::GSObject* object, ScriptClassId id,
                                  GSRuntime::GSContext* context) {
  GSClass* cls = Handle(id);
  if (cls == nullptr || context == nullptr || !object->BindScriptInstance(cls, context)) {
    delete object;
    return 0;
  }
  return object->scriptInstance;
}

bool BindScriptClass(const char* libraryFile, const char* className, GSClass** handle) {
  *handle = nullptr;
  GSRuntime::GSLibrary* library = GSMachine::Instance().FindLibrary(libraryFile);
  if (library != nullptr) *handle = library->FindClass(className);
  return *handle != nullptr;
}

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
  ForgetClasses(GSMachine::Instance());
}

}  // namespace ScriptHost
