// Native script plug-ins: shared modules in the installation's plug-in folder whose functions a
// script library calls by name. Loads and releases run under one process-wide lock; a module,
// once loaded, stays loaded for the rest of the process (its handles may outlive any one
// library), and every value crossing the boundary is an object of the native-interface library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "nativeinterface/kestro_native_interface.h"

namespace ScriptHost {

// Whether a plug-in name may name a module: not empty and without "/", "\" or "..", so that a
// name never reaches outside the plug-in folder.
bool IsPluginNameSafe(std::string_view name);

// Loads ROOT/bin/plugins/<name>.so (once per process), calls its "QMIEntryPoint" with the block
// and then its "Init". Gives the plug-in handle (the caller's reference, released with
// QMIRelease), or null: for a refused name (with a log line), a missing module, a module without
// the entry point, or an entry point that refuses (then the module is unloaded and "Init" is not
// called).
QMIObject* LoadNativePlugin(QMIObject* block, std::string_view name);

// Under the plug-in lock, releases a plug-in handle (null is ignored): a library object's end.
void ReleaseNativePlugin(QMIObject* plugin);

// Under the plug-in lock, releases the block's second and then its first interface handle.
void ReleaseNativeHandles(QMIObject* block);

// Calls the plug-in function `name` with the texts as an array of strings. Gives the result's
// text; "" for a null handle, no result or a result that is not a string.
std::string CallNativeFunction(QMIObject* plugin, std::string_view name,
                               const std::vector<std::string>& args);

}  // namespace ScriptHost
