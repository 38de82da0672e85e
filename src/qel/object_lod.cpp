#include "qel/object_lod.h"

namespace Qel {

u32 ObjectLOD::GetLevel(const Vector3& eye, const Vector3& centre) const {
  const f32 measure = ((eye - centre).Length() + offset_) * multiplier_;
  u32 level = 0;
  for (f32 distance : switches_) level += distance <= measure ? 1 : 0;
  return level < levels_ ? level : levels_ - 1;
}

}  // namespace Qel
