// Level-of-detail choice: with d the distance from the eye to the bounding sphere's centre (less
// the radius when measured from the near side, plus it from the far side), the measure is
// (d + offset) x multiplier, and the level is the number of switch distances not above the
// measure, clamped to the last level.
#pragma once

#include <vector>

#include "qel/types.h"
#include "qelgfx/vector3.h"

namespace Qel {

class ObjectLOD {
 public:
  enum CalcPoint : u32 { kCentre = 0, kNear = 1, kFar = 2 };

  ObjectLOD() = default;
  // Switch distances in rising order, one fewer than the levels.
  ObjectLOD(u32 levelCount, std::vector<f32> switchDistances)
      : levels_(levelCount ? levelCount : 1), switches_(std::move(switchDistances)) {}

  void SetOffset(f32 offset) { offset_ = offset; }
  void SetMultiplier(f32 multiplier) { multiplier_ = multiplier; }
  void SetCalcPoint(u32 calcPoint) { calcPoint_ = calcPoint; }
  u32 GetLevelCount() const { return levels_; }

  u32 GetLevel(const Vector3& eye, const Vector3& centre) const;
  // The measure of a sphere from the eye, kept as the stored distance.
  f32 FindLOD(const Vector3& eye, const Vector3& centre, f32 radius);
  // The level of a measure.
  u32 FindLODIndex(f32 measure) const;
  f32 GetStoredDistance() const { return stored_; }

 private:
  u32 levels_ = 1;
  std::vector<f32> switches_;
  f32 offset_ = 0.0f;
  f32 multiplier_ = 1.0f;
  u32 calcPoint_ = kCentre;
  f32 stored_ = 0.0f;
};

}  // namespace Qel
