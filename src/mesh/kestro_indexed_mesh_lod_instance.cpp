#include "mesh/kestro_indexed_mesh_lod_instance.h"

#include "qel/display.h"
#include "qel/material.h"

using Qel::Vector3;

KestroIndexedMeshLODInstance::KestroIndexedMeshLODInstance(
    KestroIndexedMeshLODDefinition* definition)
    : KestroIndexedMeshInstance(definition), lodDefinition_(definition) {}

void KestroIndexedMeshLODInstance::Setup(Qel::Resource* resource) {
  SetResource(resource);
  InitLODFromDefinition();
  AttachSkeleton(definition_->GetRootBone());
  definition_->AddAttachmentPoints(*this);
  FindAttachmentChildren(lodDefinition_->GetCullList());
}

void KestroIndexedMeshLODInstance::InitLODFromDefinition() {
  // The object switches between the distance levels: the first level's distance is no switch.
  const std::vector<f32>& distances = lodDefinition_->GetSwitchDistances();
  lod_ = Qel::ObjectLOD(
      u32(distances.size()),
      std::vector<f32>(distances.begin() + (distances.empty() ? 0 : 1), distances.end()));
  lod_.SetOffset(lodDefinition_->GetOffset());
  lod_.SetMultiplier(lodDefinition_->GetMultiplier());
  lod_.SetCalcPoint(lodDefinition_->GetCalcPoint());
  renderCutOff_ = lodDefinition_->GetRenderCutOff();
  attachmentCutOff_ = lodDefinition_->GetAttachmentCutOff();
  InitFromDefinition();
  levels_.clear();
  for (const KestroLODLevel& level : lodDefinition_->GetLevels()) {
    levels_.push_back({level.chunkCount, level.chunks, level.materials, true});
  }
  flaggedLevels_ = u32(levels_.size());
  CopyPerInstanceChunks();
  SetLODLevel(CollisionLevel());
  drawn_ = 0;
}

void KestroIndexedMeshLODInstance::CopyPerInstanceChunks() {
  for (u32 l = 0; l < levels_.size(); ++l) {
    SetLODLevel(l);
    MakePerInstanceCopies(true);
  }
}

u32 KestroIndexedMeshLODInstance::CollisionLevel() const {
  const i32 collision = lodDefinition_->FindNamedLevel("collision");
  if (collision >= 0) return u32(collision);
  const u32 distanceLevels = u32(lodDefinition_->GetSwitchDistances().size());
  return distanceLevels > 0 ? distanceLevels - 1 : 0;
}

void KestroIndexedMeshLODInstance::FindAttachmentChildren(const std::vector<Qel::PString>& names) {
  attachmentChildren_.clear();
  for (const Qel::PString& name : names) {
    if (Qel::Particle* found = FindByName(name)) attachmentChildren_.push_back(found);
  }
}

void KestroIndexedMeshLODInstance::SetLODLevel(u32 n) {
  if (n >= levels_.size()) return;
  Level& level = levels_[n];
  chunkCount_ = level.chunkCount;
  if (!chunks_.SharesBlockWith(level.chunks)) chunks_ = level.chunks;
  if (!materials_.SharesBlockWith(level.materials)) materials_ = level.materials;
  held_ = n;
}

void KestroIndexedMeshLODInstance::MakeChunksUnique() {
  KestroIndexedMeshInstance::MakeChunksUnique();
  if (held_ < levels_.size()) levels_[held_].chunks = chunks_;
}

void KestroIndexedMeshLODInstance::MakeMaterialsUnique() {
  KestroIndexedMeshInstance::MakeMaterialsUnique();
  if (held_ < levels_.size()) levels_[held_].materials = materials_;
}

void KestroIndexedMeshLODInstance::SetOpacity(f32 opacity) {
  opacity_ = opacity;
  Qel::Display* display = definition_->GetDisplay();
  const size_t distanceLevels = lodDefinition_->GetSwitchDistances().size();
  for (u32 l = 0; display && l < distanceLevels && l < levels_.size(); ++l) {
    for (u32 i = 0; i < levels_[l].chunkCount; ++i) {
      if (Qel::GeometryChunk* chunk = levels_[l].chunks.Get(i))
        chunk->SetOpacity(*display, opacity);
    }
  }
}

bool KestroIndexedMeshLODInstance::Cull(const Vector3& eye) {
  Vector3 position;
  Qel::Quaternion orientation;
  GetGlobalFrame(position, orientation);
  const Vector3 centre = position + orientation.Rotate(boundingVolume_.centre);
  const f32 radius = boundingVolume_.halfExtents.Length() + kSphereMargin;
  const f32 distance = lod_.FindLOD(eye, centre, radius);
  for (Qel::Particle* child : attachmentChildren_) {
    const u32 flags = child->GetFlags() & ~kParticleHidden;
    child->SetFlags(distance > attachmentCutOff_ ? flags | kParticleHidden : flags);
  }
  if (opacity_ <= 0.0f) return false;
  if (!forced_) drawn_ = lod_.FindLODIndex(distance);
  return !(renderCutOff_ > distance);
}

void KestroIndexedMeshLODInstance::Render(Qel::Display& display, const Qel::ViewPoint& /*view*/,
                                          Qel::Matrix4& /*matrix*/) {
  if (drawn_ >= levels_.size()) return;
  Level& level = levels_[drawn_];
  if (level.lightingFlag) {
    // Lighting is recorded, not computed: the level counts as lit once drawn.
    level.lightingFlag = false;
    if (flaggedLevels_ > 0) --flaggedLevels_;
  }
  for (u32 i = 0; i < level.chunkCount; ++i) {
    Qel::GeometryChunk* chunk = level.chunks.Get(i);
    Qel::Material* material = level.materials.Get(i);
    if (chunk && material && chunk->GetFaceCount() > 0) material->Draw(display, *chunk);
  }
}

void KestroIndexedMeshLODInstance::CopyLODInto(KestroIndexedMeshLODInstance& copy) const {
  copy.lod_ = lod_;
  copy.forced_ = forced_;
  copy.flaggedLevels_ = flaggedLevels_;
  copy.levels_ = levels_;
  copy.renderCutOff_ = renderCutOff_;
  copy.attachmentCutOff_ = attachmentCutOff_;
  copy.CopyPerInstanceChunks();
  copy.SetLODLevel(held_);
  copy.drawn_ = 0;
  std::vector<Qel::PString> names;
  for (const Qel::Particle* child : attachmentChildren_) names.push_back(child->GetName());
  copy.FindAttachmentChildren(names);
}

KestroIndexedMeshInstance* KestroIndexedMeshLODInstance::CreateInstance() const {
  auto* copy = new KestroIndexedMeshLODInstance(lodDefinition_);
  CopyInto(*copy);
  CopyLODInto(*copy);
  return copy;
}

void KestroDynamicIndexedMeshLODInstance::Setup(Qel::Resource* resource) {
  KestroIndexedMeshLODInstance::Setup(resource);
  animationCutOff_ = lodDefinition_->GetAnimationCutOff();
  CloneSkinnedChunks();
  SetLODLevel(CollisionLevel());
  LoadSkins();
  for (const KestroNamedMesh& named : lodDefinition_->GetNamedMeshes()) {
    if (named.animated && named.level < levels_.size() &&
        std::find(extraLevels_.begin(), extraLevels_.end(), named.level) == extraLevels_.end()) {
      extraLevels_.push_back(named.level);
    }
  }
}

KestroIndexedMeshInstance* KestroDynamicIndexedMeshLODInstance::CreateInstance() const {
  auto* copy = new KestroDynamicIndexedMeshLODInstance(lodDefinition_);
  CopyInto(*copy);
  CopyLODInto(*copy);
  copy->animationCutOff_ = animationCutOff_;
  copy->extraLevels_ = extraLevels_;
  copy->skinDirty_ = skinDirty_;
  copy->animationStopped_ = animationStopped_;
  copy->CloneSkinnedChunks();
  copy->LoadSkins();
  return copy;
}

void KestroDynamicIndexedMeshLODInstance::CloneSkinnedChunks() {
  const u32 held = held_;
  for (u32 l = 0; l < levels_.size(); ++l) {
    SetLODLevel(l);
    bool unique = false;
    for (u32 i = 0; i < chunkCount_; ++i) {
      const Qel::GeometryChunk* chunk = chunks_.Get(i);
      if (!chunk || (chunk->GetFlags() & Qel::GeometryChunk::kSkinnedWithoutInfluence)) continue;
      if (!unique) MakeChunksUnique();
      unique = true;
      CloneChunk(i);
    }
  }
  // A copy holds what its source holds, as the plain copy does.
  SetLODLevel(held);
}

void KestroDynamicIndexedMeshLODInstance::LoadSkins() {
  const std::vector<KestroLODLevel>& levels = lodDefinition_->GetLevels();
  skins_.assign(levels_.size(), KestroInfluenceMesh());
  for (u32 l = 0; l < levels_.size() && l < levels.size(); ++l) {
    std::vector<Qel::InfluenceDefinition> table = lodDefinition_->GetInfluences();
    for (size_t b = 0; b < table.size() && b < levels[l].boneEntries.size(); ++b) {
      table[b].entries = levels[l].boneEntries[b];
    }
    skins_[l].LoadBones(table, levels[l].hardwareSkinning, levels_[l].chunks);
    skins_[l].Bind(skeleton_);
  }
}

void KestroDynamicIndexedMeshLODInstance::SkinLevel(u32 level, u32 frameStamp) {
  if (level >= skins_.size()) return;
  for (u32 i = 0; i < levels_[level].chunkCount; ++i) {
    skins_[level].Update(levels_[level].chunks, frameStamp, i);
  }
}

bool KestroDynamicIndexedMeshLODInstance::UpdateAnimationCutOff(u32 frameStamp) {
  const f32 distance = lod_.GetStoredDistance();
  const f32 band = lodDefinition_->GetOffset();
  const bool wasStopped = animationStopped_;
  bool decided = true;
  if (distance - band > animationCutOff_) {
    animationStopped_ = true;
  } else if (distance + band < animationCutOff_) {
    animationStopped_ = false;
  } else {
    decided = false;
  }
  if (decided && skeleton_) SetBonesHidden(*skeleton_, animationStopped_);
  // Running bones move the skin every frame; stopping takes one last update, and stopped bones
  // leave the skin where it is.
  if (animationStopped_ && !wasStopped) skinDirty_ = true;
  if (skinDirty_ || !animationStopped_) {
    skinDirty_ = false;
    SkinLevel(drawn_, frameStamp);
    for (u32 level : extraLevels_) {
      if (level != drawn_) SkinLevel(level, frameStamp);
    }
  }
  return animationStopped_;
}

void KestroDynamicIndexedMeshLODInstance::SetBonesHidden(Qel::Particle& particle, bool hidden) {
  const std::string_view name = particle.GetName().View();
  const bool bone = name.size() > 2 && name.substr(0, 2) == "b.";
  if (bone && ((particle.GetFlags() & kParticleHidden) != 0) != hidden) {
    // The bone and everything below it follow.
    std::vector<Qel::Particle*> pending = {&particle};
    while (!pending.empty()) {
      Qel::Particle* next = pending.back();
      pending.pop_back();
      const u32 flags = next->GetFlags() & ~kParticleHidden;
      next->SetFlags(hidden ? flags | kParticleHidden : flags);
      for (u32 c = 0; c < next->GetChildCount(); ++c) pending.push_back(next->GetChild(c));
    }
  }
  for (u32 c = 0; c < particle.GetChildCount(); ++c) SetBonesHidden(*particle.GetChild(c), hidden);
}

void KestroDynamicIndexedMeshLODInstance::Render(Qel::Display& display, const Qel::ViewPoint& view,
                                                 Qel::Matrix4& matrix) {
  UpdateAnimationCutOff(view.GetFrame());
  KestroIndexedMeshLODInstance::Render(display, view, matrix);
}
