#include "qel/os.h"

#include <string>

#include "platform/process.h"
#include "qel/file_volume.h"

namespace Qel {

OS::OS(const char* applicationName, const char* optionText, void* /*instance*/, void* /*window*/)
    : name_(applicationName) {
  options_.ProcessRaw(optionText);
}

OS::~OS() = default;

bool OS::IsRenderSupported(const Options& options) {
  if (options.Has("-NullRender") || !options.Has("-render")) return true;
  return options.GetValue("-render").EqualsIgnoreCase("OpenGL");
}

bool OS::Init() {
  initialised_ = false;
  if (!IsRenderSupported(options_)) return false;
  const std::string program = Platform::ProgramPath();
  if (program.empty()) return false;
  programFolder_ = File::Path(String(program));
  programFolder_.Normalize().DelName();
  File::Path data = programFolder_;
  data.AddPath("data/");
  SetVolume("data", data.CStr());
  initialised_ = true;
  return true;
}

}  // namespace Qel
