// Animations on a placed mesh. A skeleton modifier knows the bones of the mesh it was made on; an
// animator adds animation files (".kin", see animation_definition.h) to that skeleton and says
// whether each one can play there; an animation modifier holds one loaded animation for playing.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"
#include "qelgfx/animation_definition.h"

namespace Qel {

class Particle;
class ResourceDatabase;

class SkeletonModifier {
 public:
  // The bones below `mesh` (itself included when it is one).
  explicit SkeletonModifier(const Particle& mesh);

  // Case is ignored, as in the particle tree's own look-up.
  bool HasBone(std::string_view name) const;
  u32 GetBoneCount() const { return u32(bones_.size()); }

 private:
  std::vector<std::string> bones_;  // lower-cased
};

class AnimationModifier;

class Animator {
 public:
  // The answers of Add.
  static constexpr u32 kAdded = 0;
  static constexpr u32 kBoneMissing = 2;    // it moves a bone the skeleton lacks
  static constexpr u32 kNotLoaded = 3;      // missing, unreadable or damaged
  static constexpr u32 kNothingToPlay = 4;  // no frames or no bones

  // Files are looked up in `database`; both must outlive the animator.
  Animator(const ResourceDatabase* database, const SkeletonModifier* skeleton);

  // Adds the animation file `name` on `layer` with the engine's six blend values; `output`, when
  // given, receives it for playing. One of the answers above.
  u32 Add(AnimationModifier* output, const PString& name, u32 layer,
          const std::array<f32, 6>& blend);
  u32 GetAnimationCount() const { return u32(added_.size()); }

 private:
  struct Added {
    String name;
    u32 layer = 0;
    std::array<f32, 6> blend{};
    AnimationDefinition definition;
  };

  const ResourceDatabase* database_;
  const SkeletonModifier* skeleton_;
  std::vector<Added> added_;
};

class AnimationModifier {
 public:
  // The animation file `name` loaded to play on `layer`; null when it does not load or has
  // nothing to play.
  static AnimationModifier* CreateInstance(const ResourceDatabase* database, const PString& name,
                                           u32 layer);

  u32 GetLayer() const { return layer_; }
  u32 GetFrameCount() const { return definition_.GetFrameCount(); }
  const AnimationDefinition& GetDefinition() const { return definition_; }

 private:
  friend class Animator;

  u32 layer_ = 0;
  AnimationDefinition definition_;
};

// Reads the animation file `name` through the database: 0, or the animator's answer 3 or 4.
u32 LoadAnimationFile(const ResourceDatabase* database, const String& name,
                      AnimationDefinition& definition);

}  // namespace Qel
