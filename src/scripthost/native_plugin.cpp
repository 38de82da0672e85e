#include "scripthost/native_plugin.h"

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <string>

#include "core/log_printf.h"
#include "platform/shared_module.h"
#include "pymclient/install_paths.h"

namespace ScriptHost {

namespace {

// Serialises every load and release of plug-in handles, and guards the module table.
std::mutex& PluginLock() {
  static std::mutex lock;
  return lock;
}

// The modules loaded so far, by name; never unloaded once an entry point accepted.
std::map<std::string, void*, std::less<>>& LoadedModules() {
  static std::map<std::string, void*, std::less<>> modules;
  return modules;
}

// A counted object of the interface library, released when it goes out of scope.
struct Held {
  QMIObject* object;
  explicit Held(QMIObject* o) : object(o) {}
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() { QMIRelease(object); }
};

}  // namespace

bool IsPluginNameSafe(std::string_view name) {
  return !name.empty() && name.find('/') == std::string_view::npos &&
         name.find('\\') == std::string_view::npos && name.find("..") == std::string_view::npos;
}

QMIObject* LoadNativePlugin(QMIObject* block, std::string_view name) {
  std::lock_guard<std::mutex> guard(PluginLock());
  if (!IsPluginNameSafe(name)) {
    LogPrintf("LoadNativePlugin> Refused the plug-in name \"%.*s\": it may not be empty or hold "
              "\"/\", \"\\\" or \"..\"",
              static_cast<int>(name.size()), name.data());
    return nullptr;
  }
  auto found = LoadedModules().find(name);
  void* module = found != LoadedModules().end() ? found->second : nullptr;
  const bool fresh = module == nullptr;
  if (fresh) {
    // Without an installation there is no plug-in folder, and never a search elsewhere.
    const Qel::File::Path folder = GetPluginsPath();
    if (folder.IsEmpty()) return nullptr;
    const std::string path = std::string(folder.CStr()) + "/" + std::string(name) + ".so";
    std::string reason;
    module = Platform::OpenSharedModule(path, &reason);
    if (module == nullptr) {
      LogPrintf("LoadNativePlugin> The plug-in \"%s\" cannot be loaded: %s", path.c_str(),
                reason.c_str());
      return nullptr;
    }
  }
  auto entry = reinterpret_cast<QMIEntryPointFunction>(dlsym(module, "QMIEntryPoint"));
  QMIObject* handle = entry != nullptr ? entry(block) : nullptr;
  if (handle == nullptr) {
    if (fresh) dlclose(module);
    return nullptr;
  }
  if (fresh) LoadedModules().emplace(std::string(name), module);
  Held init(QMIAllocString("Init"));
  QMIRelease(QMICallLibraryFunction(handle, init.object, nullptr));
  return handle;
}

void ReleaseNativePlugin(QMIObject* plugin) {
  std::lock_guard<std::mutex> guard(PluginLock());
  QMIRelease(plugin);
}

void ReleaseNativeHandles(QMIObject* block) {
  std::lock_guard<std::mutex> guard(PluginLock());
  QMIRelease(QMITakeBlockHandle(block, 1));
  QMIRelease(QMITakeBlockHandle(block, 0));
}

std::string CallNativeFunction(QMIObject* plugin, std::string_view name,
                               const std::vector<std::string>& args) {
  if (plugin == nullptr) return {};
  Held function(QMIAllocString(std::string(name).c_str()));
  Held array(QMIAllocArray(args.size()));
  for (size_t i = 0; i < args.size(); ++i) {
    Held text(QMIAllocString(args[i].c_str()));
    QMISetArrayElement(array.object, i, text.object);
  }
  Held result(QMICallLibraryFunction(plugin, function.object, array.object));
  const char* text = QMIGetStringText(result.object);
  return text != nullptr ? std::string(text) : std::string();
}

}  // namespace ScriptHost
