// The engine's OS object: the application's name, its option text and the program folder. The
// engine objects that start-up creates are gathered in an EngineContext.
#pragma once

#include "qel/file_path.h"
#include "qel/options.h"
#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class RenderKernel;
class ResourceSystem;

class OS {
 public:
  // The two handles stand for a native instance and window; this engine needs neither.
  OS(const char* applicationName, const char* optionText, void* instance, void* window);
  ~OS();
  OS(const OS&) = delete;
  OS& operator=(const OS&) = delete;

  // Finds the program folder and registers the volume "data" as its "data/" folder. The only
  // render kernel is the null one, which "-render=OpenGL" and "-NullRender" both bring up; any
  // other "-render" without "-NullRender" fails. May be called again after the options changed.
  bool Init();
  bool IsInitialised() const { return initialised_; }

  Options& GetOptions() { return options_; }
  const Options& GetOptions() const { return options_; }
  const String& GetApplicationName() const { return name_; }
  // With its trailing '/'; empty before Init.
  const File::Path& GetProgramFolder() const { return programFolder_; }

  // The options name a render kernel that this engine can bring up.
  static bool IsRenderSupported(const Options& options);

 private:
  String name_;
  Options options_;
  File::Path programFolder_;
  bool initialised_ = false;
};

}  // namespace Qel

// The engine objects the front end owns for the whole run; null until start-up fills them.
struct EngineContext {
  Qel::ResourceSystem* resourceSystem = nullptr;
  Qel::RenderKernel* renderKernel = nullptr;
  void* reserved0 = nullptr;
  void* reserved1 = nullptr;
  Qel::OS* os = nullptr;
  // Read by the validation library when set; this tool leaves it null.
  void* validationExtra = nullptr;
};
