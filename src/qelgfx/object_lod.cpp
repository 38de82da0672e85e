#include "qelgfx/object_lod.h"

namespace Qel {

u32 ObjectLOD::GetLevel(const Vector3& eye, const Vector3& centre) const {
  return FindLODIndex(((eye - centre).Length() + offset_) * multiplier_);
}

f32 ObjectLOD::FindLOD(const Vector3& eye, const Vector3& centre, f32 radius) {
  f32 d = (eye - centre).Length();
  if (calcPoint_ == kNear) d = d > radius ? d - radius : 0.0f;
  if (calcPoint_ == kFar) d += radius;
  return stored_ = (d + offset_) * multiplier_;
}

u32 ObjectLOD::FindLODIndex(f32 measure) const {
  u32 level = 0;
  for (f32 distance : switches_) level += distance <= measure ? 1 : 0;
  return level < levels_ ? level : levels_ - 1;
}

}  // namespace Qel
