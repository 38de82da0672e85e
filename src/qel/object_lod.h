// Level-of-detail choice: with d the distance from the eye to the bounding sphere's centre, the
// measure is (d + offset) x multiplier, and the level is the number of switch distances not above
// the measure, clamped to the last level.
#pragma once

#include <vector>

#include "qel/types.h"
#include "qel/vector3.h"

namespace Qel {

class ObjectLOD {
 public:
  // Switch distances in rising order, one fewer than the levels.
  ObjectLOD(u32 levelCount, std::vector<f32> switchDistances)
      : levels_(levelCount ? levelCount : 1), switches_(std::move(switchDistances)) {}

  void SetOffset(f32 offset) { offset_ = offset; }
  void SetMultiplier(f32 multiplier) { multiplier_ = multiplier; }
  u32 GetLevelCount() const { return levels_; }

  u32 GetLevel(const Vector3& eye, const Vector3& centre) const;

 private:
  u32 levels_;
  std::vector<f32> switches_;
  f32 offset_ = 0.0f;
  f32 multiplier_ = 1.0f;
};

}  // namespace Qel
