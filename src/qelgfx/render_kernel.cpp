#include "qelgfx/render_kernel.h"

#include <atomic>

#include "qel/os.h"

namespace Qel {

namespace {

std::atomic<u64> g_nextSerial{1};

}  // namespace

RenderKernel::RenderKernel(SceneGraph* sceneGraph, f32 detail)
    : sceneGraph_(sceneGraph),
      detail_(detail),
      serial_(g_nextSerial.fetch_add(1)),
      materialManager_(std::make_unique<MaterialManager>(this)) {}

RenderKernel::~RenderKernel() { materialManager_.reset(); }

bool RenderKernel::Init(OS* os, void* /*display*/) {
  os_ = nullptr;
  if (os == nullptr || !os->IsInitialised() || !OS::IsRenderSupported(os->GetOptions())) {
    return false;
  }
  if (!display_) display_ = Display::CreateModest();
  os_ = os;
  return true;
}

}  // namespace Qel
