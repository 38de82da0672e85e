// Start-up and shut-down of the tool: the engine objects, the validation library, networking,
// the folder layout, the asset-database client and the interface text.
#pragma once

#include "qel/os.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"
#include "qelgfx/plugin.h"
#include "qelgfx/uid.h"

namespace Qel {
class RenderKernel;
}  // namespace Qel

inline constexpr const char* kApplicationName = "KestroUtil";
inline constexpr int kProgramVersion = 360;
inline constexpr int kBuildNumber = 48249;

// Everything in order; 0 on success, -1 when a step failed (with its message on standard error)
// or the asset-database client is not open at the end. The program's location comes from the
// resolved executable, not from programPath.
i8 InitApplication(EngineContext& context, const char* programPath, int argc, char** argv);
// Undoes start-up in order; every step skips what does not exist, so it is safe after a partial
// or failed start-up.
void ShutdownApplication(EngineContext& context);

// Script messages go to the process log as "ScriptLog> <text>", cut to 16383 characters.
void ScriptLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
using ScriptLogFunction = void (*)(const char* format, ...);
// Through which scripts print their messages; start-up points it at ScriptLog.
extern ScriptLogFunction g_scriptLogHook;

// The working folder as the process found it, before start-up made the program's folder the
// working folder. Empty before start-up.
const Qel::String& GetStartupFolder();
void SetStartupFolder(const char* folder);

// Null outside start-up and shut-down.
Qel::RenderKernel* GetRenderKernel();

// Holds one engine plug-in type, or none.
class PluginTypeRef {
 public:
  // Looks the type up; a failed lookup leaves the holder empty and is not reported.
  PluginTypeRef(const Qel::UId& typeId, const Qel::PString& name);
  ~PluginTypeRef() { Release(); }
  PluginTypeRef(const PluginTypeRef&) = delete;
  PluginTypeRef& operator=(const PluginTypeRef&) = delete;

  // Gives the held type back and clears the holder.
  void Release();
  Qel::PluginType* Get() const { return type_; }

 private:
  Qel::PluginType* type_ = nullptr;
};
