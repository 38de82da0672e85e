// The engine's render kernel. This tool draws nothing, so the only kernel is the null one: it
// renders no frames and holds the scene graph it was given.
#pragma once

#include "qel/types.h"

namespace Qel {

class OS;
class SceneGraph;

class RenderKernel {
 public:
  RenderKernel(SceneGraph* sceneGraph, f32 detail);
  virtual ~RenderKernel();
  RenderKernel(const RenderKernel&) = delete;
  RenderKernel& operator=(const RenderKernel&) = delete;

  // Needs an initialised OS object whose options name a supported kernel (OS::IsRenderSupported).
  // The display selector is not used. May be called again after the options changed.
  bool Init(OS* os, void* display);
  bool IsInitialised() const { return os_ != nullptr; }

  SceneGraph* GetSceneGraph() const { return sceneGraph_; }
  f32 GetDetail() const { return detail_; }
  OS* GetOS() const { return os_; }

 private:
  SceneGraph* sceneGraph_;
  f32 detail_;
  OS* os_ = nullptr;
};

}  // namespace Qel
