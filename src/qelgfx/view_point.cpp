#include "qelgfx/view_point.h"

#include <cmath>

namespace Qel {

void ViewPoint::NextFrame() {
  ++frame_;
  if (frame_ == 0) frame_ = 1;  // 0 is the frame of what was never culled
  renderList_.clear();
}

void ViewPoint::SetFrame(u32 frame) {
  frame_ = frame == 0 ? 1 : frame;
  renderList_.clear();
}

RenderView ViewPoint::GetRenderView() const {
  Transformation place;
  GetGlobalFrame(place.position, place.orientation);
  RenderView view;
  view.view = Matrix4::FromTransformation(place.Inverse());
  view.camera = place.position;
  return view;
}

u32 ViewPoint::CalcWantedMipLevelsForCull(const ViewPoint& view, const Particle& particle,
                                          f32 mipFactor) {
  Vector3 eye;
  Quaternion ignored;
  view.GetGlobalFrame(eye, ignored);
  // Where the cull being run placed the particle.
  const Matrix4& world = particle.GetWorldMatrix();
  const Vector3 at(world.m[3][0], world.m[3][1], world.m[3][2]);
  const f32 distance = (at - eye).Length();
  const f32 spread = 2.0f * std::tan(view.fieldOfView_ * 0.5f);
  if (!(distance > 0.0f) || !(mipFactor > 0.0f) || !(spread > 0.0f) || view.viewportHeight_ == 0) {
    return 0;
  }
  // Texels a world unit over pixels a world unit at that distance.
  const f32 ratio =
      kReferenceTextureSize * distance * spread / (mipFactor * f32(view.viewportHeight_));
  if (!(ratio > 1.0f)) return 0;
  const f32 level = std::floor(std::log2(ratio));
  return level >= f32(kMaxMipLevel) ? kMaxMipLevel : u32(level);
}

void ViewPoint::Add(Particle* particle, const Matrix4& matrix) {
  if (particle) renderList_.push_back({particle, matrix});
}

void ViewPoint::CopyFrom(const Particle& other) {
  Particle::CopyFrom(other);
  if (const auto* view = dynamic_cast<const ViewPoint*>(&other)) {
    fieldOfView_ = view->fieldOfView_;
    viewport_ = view->viewport_;
    viewportHeight_ = view->viewportHeight_;
  }
}

}  // namespace Qel
