// The engine's render kernel. This tool draws nothing, so the only kernel is the null one: its
// display records instead of drawing (display.h), and it owns the material manager and the
// rendering caches that materials share.
#pragma once

#include <memory>

#include "qel/types.h"
#include "qelgfx/display.h"
#include "qelgfx/material_manager.h"
#include "qelgfx/rendering_cache.h"

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
  // Brings up the modest null display (display.h) unless one was given. The display selector is
  // not used. May be called again after the options changed.
  bool Init(OS* os, void* display);
  bool IsInitialised() const { return os_ != nullptr; }

  SceneGraph* GetSceneGraph() const { return sceneGraph_; }
  f32 GetDetail() const { return detail_; }
  OS* GetOS() const { return os_; }

  // Null before Init unless set; tests set displays with the capabilities they need.
  Display* GetDisplay() const { return display_.get(); }
  void SetDisplay(std::unique_ptr<Display> display) { display_ = std::move(display); }
  // Unique for the process, so that what was prepared for one kernel is not taken for another's.
  u64 GetSerial() const { return serial_; }
  MaterialManager& GetMaterialManager() { return *materialManager_; }
  RenderingCacheManager& GetRenderingCacheManager() { return cacheManager_; }

 private:
  SceneGraph* sceneGraph_;
  f32 detail_;
  OS* os_ = nullptr;
  u64 serial_;
  std::unique_ptr<Display> display_;
  RenderingCacheManager cacheManager_;
  // Declared last, so destroyed first: its materials may still reach the caches.
  std::unique_ptr<MaterialManager> materialManager_;
};

}  // namespace Qel
