#include "qelgfx/animation.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "qel/memory_file.h"
#include "qel/resource_database.h"
#include "qelgfx/particle.h"

namespace Qel {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c;
  });
  return out;
}

}  // namespace

SkeletonModifier::SkeletonModifier(const Particle& mesh) {
  std::vector<const Particle*> pending{&mesh};
  while (!pending.empty()) {
    const Particle* particle = pending.back();
    pending.pop_back();
    if (dynamic_cast<const ParticleBone*>(particle) != nullptr) {
      bones_.push_back(Lower(particle->GetName().View()));
    }
    for (u32 i = 0; i < particle->GetChildCount(); ++i) pending.push_back(particle->GetChild(i));
  }
  std::sort(bones_.begin(), bones_.end());
}

bool SkeletonModifier::HasBone(std::string_view name) const {
  return std::binary_search(bones_.begin(), bones_.end(), Lower(name));
}

u32 LoadAnimationFile(const ResourceDatabase* database, const String& name,
                      AnimationDefinition& definition) {
  String path;
  MemoryFile memory;
  if (database == nullptr || !database->FindFile(name, path) || !memory.LoadFile(path.CStr()) ||
      definition.Read(memory) != 0) {
    return Animator::kNotLoaded;
  }
  return definition.IsEmpty() ? Animator::kNothingToPlay : Animator::kAdded;
}

Animator::Animator(const ResourceDatabase* database, const SkeletonModifier* skeleton)
    : database_(database), skeleton_(skeleton) {}

u32 Animator::Add(AnimationModifier* output, const PString& name, u32 layer,
                  const std::array<f32, 6>& blend) {
  Added added{String(name.View()), layer, blend, {}};
  const u32 loaded = LoadAnimationFile(database_, added.name, added.definition);
  if (loaded != kAdded) return loaded;
  for (const AnimationTrack& track : added.definition.GetTracks()) {
    if (skeleton_ == nullptr || !skeleton_->HasBone(track.bone.View())) return kBoneMissing;
  }
  if (output != nullptr) {
    output->layer_ = layer;
    output->definition_ = added.definition;
  }
  added_.push_back(std::move(added));
  return kAdded;
}

AnimationModifier* AnimationModifier::CreateInstance(const ResourceDatabase* database,
                                                     const PString& name, u32 layer) {
  auto made = std::make_unique<AnimationModifier>();
  if (LoadAnimationFile(database, String(name.View()), made->definition_) != Animator::kAdded) {
    return nullptr;
  }
  made->layer_ = layer;
  return made.release();
}

}  // namespace Qel
