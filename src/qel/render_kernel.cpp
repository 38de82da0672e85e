#include "qel/render_kernel.h"

#include "qel/os.h"

namespace Qel {

RenderKernel::RenderKernel(SceneGraph* sceneGraph, f32 detail)
    : sceneGraph_(sceneGraph), detail_(detail) {}

RenderKernel::~RenderKernel() = default;

bool RenderKernel::Init(OS* os, void* /*display*/) {
  os_ = nullptr;
  if (os == nullptr || !os->IsInitialised() || !OS::IsRenderSupported(os->GetOptions())) {
    return false;
  }
  os_ = os;
  return true;
}

}  // namespace Qel
