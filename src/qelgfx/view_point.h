// The eye a frame is drawn from: its frame number, the viewport it draws into, and the render
// list that culling fills with what the frame will draw.
#pragma once

#include <vector>

#include "qel/types.h"
#include "qelgfx/matrix4.h"
#include "qelgfx/particle.h"
#include "qelgfx/render_inputs.h"

namespace Qel {

class ViewPoint : public Particle {
 public:
  // What culling hands the frame: a particle to draw and where.
  struct RenderEntry {
    Particle* particle = nullptr;
    Matrix4 matrix;
  };
  // The texel edge the mip request is measured against: the largest texture a material keeps.
  static constexpr f32 kReferenceTextureSize = 1024.0f;
  static constexpr u32 kMaxMipLevel = 15;

  f32 GetFieldOfView() const { return fieldOfView_; }
  void SetFieldOfView(f32 radians) { fieldOfView_ = radians; }
  // Frames count from 1, so a particle never culled (frame 0) is stale in every frame.
  u32 GetFrame() const { return frame_; }
  // Starts the next frame with an empty render list.
  void NextFrame();
  // Starts frame n (not 0) with an empty render list: a host that counts its frames itself.
  void SetFrame(u32 frame);
  u32 GetViewport() const { return viewport_; }
  void SetViewport(u32 viewport) { viewport_ = viewport; }
  u32 GetViewportHeight() const { return viewportHeight_; }
  void SetViewportHeight(u32 pixels) { viewportHeight_ = pixels; }

  // The mip level a particle's textures are wanted at: how many times the texels of a reference
  // texture outnumber the pixels they cover at the particle's distance, measured to where its
  // last cull placed it. `mipFactor` is world
  // length per texture length; 0 (the finest) when it or the distance is not positive.
  static u32 CalcWantedMipLevelsForCull(const ViewPoint& view, const Particle& particle,
                                        f32 mipFactor);
  void Add(Particle* particle, const Matrix4& matrix);
  // The world-to-eye transform and the eye's position, from the view point's place in its tree.
  RenderView GetRenderView() const;
  const std::vector<RenderEntry>& GetRenderList() const { return renderList_; }

 protected:
  Particle* MakeEmpty() const override { return new ViewPoint; }
  void CopyFrom(const Particle& other) override;

 private:
  f32 fieldOfView_ = 1.0f;
  u32 frame_ = 1;
  u32 viewport_ = 0;
  u32 viewportHeight_ = 768;
  std::vector<RenderEntry> renderList_;
};

}  // namespace Qel
