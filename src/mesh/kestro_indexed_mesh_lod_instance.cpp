#include "mesh/kestro_indexed_mesh_lod_instance.h"

#include "qelgfx/display.h"
#include "qelgfx/material.h"
#include "qelgfx/texture.h"

using Qel::Vector3;

KestroIndexedMeshLODInstance::KestroIndexedMeshLODInstance(
    KestroIndexedMeshLODDefinition* definition)
    : KestroIndexedMeshInstance(definition), lodDefinition_(definition) {}

void KestroIndexedMeshLODInstance::Setup(Qel::Resource* resource) {
  SetResource(resource);
  InitLODFromDefinition();
  AttachSkeleton(definition_->GetRootBone());
  if (BindsChunkBones()) BindLevelBones();
  definition_->AddAttachmentPoints(*this);
  FindAttachmentChildren(lodDefinition_->GetCullList());
}

void KestroIndexedMeshLODInstance::BindLevelBones() {
  const std::vector<KestroLODLevel>& levels = lodDefinition_->GetLevels();
  for (u32 l = 0; l < levels_.size(); ++l) {
    std::vector<Qel::Particle*>& bones = levels_[l].chunkBones;
    bones.clear();
    if (!skeleton_ || l >= levels.size()) continue;
    for (u32 i = 0; i < levels_[l].chunkCount; ++i) {
      const Qel::PString name =
          i < levels[l].chunkInfo.size() ? levels[l].chunkInfo[i].name : Qel::PString();
      bones.push_back(name.IsEmpty() ? nullptr : FindSkeletonBone(name));
    }
  }
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
    Level record;
    record.chunkCount = level.chunkCount;
    record.chunks = level.chunks;
    record.materials = level.materials;
    levels_.push_back(std::move(record));
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

f32 KestroIndexedMeshLODInstance::MeasureDistance(const Qel::ViewPoint& view,
                                                  const Qel::Matrix4& matrix, f32 margin) {
  Vector3 eye;
  Qel::Quaternion ignored;
  view.GetGlobalFrame(eye, ignored);
  const Vector3 centre = matrix.TransformPoint(boundingVolume_.centre);
  return lod_.FindLOD(eye, centre, boundingVolume_.halfExtents.Length() + margin);
}

void KestroIndexedMeshLODInstance::Cull(Qel::ViewPoint& view, const Qel::Matrix4& matrix) {
  const f32 distance = MeasureDistance(view, matrix, kSphereMargin);
  // Flagged before the particles are culled, so that the cull leaves them out.
  for (Qel::Particle* child : attachmentChildren_) {
    const u32 flags = child->GetFlags() & ~kParticleHidden;
    child->SetFlags(distance > attachmentCutOff_ ? flags | kParticleHidden : flags);
  }
  Qel::Particle::Cull(view, matrix);
  if (!(opacity_ > 0.0f)) SetLastCulledFrame(0);
  if (GetLastCulledFrame() != view.GetFrame()) return;
  if (!forced_) drawn_ = lod_.FindLODIndex(distance);
  if (renderCutOff_ > lod_.GetStoredDistance() || drawn_ >= levels_.size()) return;
  const MaterialArray& materials = levels_[drawn_].materials;
  for (u32 i = 0; i < materials.Count(); ++i) {
    // No mip level is worked out for a level-of-detail mesh: the request names none.
    if (Qel::Material* material = materials.Get(i)) material->Activate(Qel::Texture::kNoMipWanted);
  }
  view.Add(this, matrix);
  StoreMatrix(view.GetViewport(), matrix);
}

void KestroIndexedMeshLODInstance::Render(Qel::Display& display, const Qel::ViewPoint& view,
                                          Qel::Matrix4& matrix) {
  ApplyScale(matrix);
  if (drawn_ >= levels_.size()) return;
  RefreshLevel(drawn_, false);
  const Level& level = levels_[drawn_];
  DrawChunks(display, view, matrix, level.chunkCount, level.chunks, level.materials,
             level.chunkBones);
}

void KestroIndexedMeshLODInstance::RefreshLevel(u32 n, bool force) {
  if (n < levels_.size()) {
    const Level& level = levels_[n];
    LightLevel(n, level.chunkCount, level.chunks.Data(), level.materials.Data(), force);
  }
}

void KestroIndexedMeshLODInstance::RefreshLevels(bool distanceLevelsOnly, bool force) {
  const u32 count = distanceLevelsOnly ? lod_.GetLevelCount() : GetLODLevelCount();
  for (u32 n = 0; n < count; ++n) RefreshLevel(n, force);
}

void KestroIndexedMeshLODInstance::UpdateLighting(bool force) {
  // The held level is the one the indexed-mesh part draws and lights.
  if (held_ < levels_.size())
    LightLevel(held_, chunkCount_, chunks_.Data(), materials_.Data(), force);
}

void KestroIndexedMeshLODInstance::LightLevel(u32 n, u32 count, Qel::GeometryChunk* const* chunks,
                                              Qel::Material* const* materials, bool force) {
  Level& level = levels_[n];
  if (!level.lightingFlag && !force) return;
  CalculateLighting(count, chunks, materials);
  if (!level.lightingFlag) return;
  level.lightingFlag = false;
  if (flaggedLevels_ > 0 && --flaggedLevels_ == 0) ClearLightingDirty();
}

void KestroIndexedMeshLODInstance::SetUpdateLighting(bool flag) {
  for (Level& level : levels_) level.lightingFlag = flag;
  flaggedLevels_ = flag ? u32(levels_.size()) : 0;
  KestroIndexedMeshInstance::SetUpdateLighting(flag);
}

void KestroIndexedMeshLODInstance::CopyLODInto(KestroIndexedMeshLODInstance& copy) const {
  copy.lod_ = lod_;
  copy.forced_ = forced_;
  copy.flaggedLevels_ = flaggedLevels_;
  copy.levels_ = levels_;
  // The source's bones are not the copy's: each is found again by name in the copy's skeleton.
  for (Level& level : copy.levels_) {
    for (Qel::Particle*& bone : level.chunkBones) {
      bone = bone ? copy.FindSkeletonBone(bone->GetName()) : nullptr;
    }
  }
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

void KestroDynamicIndexedMeshLODInstance::Cull(Qel::ViewPoint& view, const Qel::Matrix4& matrix) {
  KestroIndexedMeshLODInstance::Cull(view, matrix);
  // A forced level keeps the animation cut-off on the sphere itself, without the margin.
  if (forced_) MeasureDistance(view, matrix, 0.0f);
}

void KestroDynamicIndexedMeshLODInstance::RenderLit(Qel::Display& display,
                                                    const Qel::RenderView& view,
                                                    const Qel::Matrix4& matrix, bool lit) {
  UpdateAnimationCutOff(GetLastCulledFrame());
  KestroIndexedMeshLODInstance::RenderLit(display, view, matrix, lit);
}

void KestroDynamicIndexedMeshLODInstance::Render(Qel::Display& display, const Qel::ViewPoint& view,
                                                 Qel::Matrix4& matrix) {
  UpdateAnimationCutOff(view.GetFrame());
  KestroIndexedMeshLODInstance::Render(display, view, matrix);
}
