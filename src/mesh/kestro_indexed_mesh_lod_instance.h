// A placed level-of-detail mesh: an indexed mesh instance that keeps a record per level and draws
// the level its viewing distance selects. Two levels matter at once: the drawn level, chosen by
// Cull, and the held level, whose chunks the indexed-mesh part holds for ray tests and copies
// (the "collision" named mesh, or the last distance level). Each level's lighting is worked out
// once, when it is first drawn, and again whenever the lights change.
#pragma once

#include <vector>

#include "mesh/kestro_indexed_mesh_instance.h"
#include "mesh/kestro_indexed_mesh_lod_definition.h"
#include "mesh/kestro_influence_mesh.h"
#include "qelgfx/object_lod.h"

class KestroIndexedMeshLODInstance : public KestroIndexedMeshInstance {
 public:
  // The particle flag of an attachment beyond the attachment cut-off.
  static constexpr u32 kParticleHidden = 0x2;
  // The bounding sphere is enlarged by this much before the distance is measured.
  static constexpr f32 kSphereMargin = 5.0f;

  explicit KestroIndexedMeshLODInstance(KestroIndexedMeshLODDefinition* definition);

  void Setup(Qel::Resource* resource) override;
  KestroIndexedMeshInstance* CreateInstance() const override;
  u32 GetID() const override { return 21; }
  void MakeChunksUnique() override;
  void MakeMaterialsUnique() override;
  bool AddChunk(Qel::GeometryChunk*, Qel::Material*) override { return false; }
  bool ReplaceChunkGeometry(Qel::GeometryChunk*, u32) override { return false; }
  // The chunks of the distance levels take the opacity; the named levels keep theirs.
  void SetOpacity(f32 opacity) override;

  // Measures the distance from the view, flags the attachments past the attachment cut-off and
  // culls the particles; a fully transparent instance counts as not culled. Unless the level is
  // forced it picks the drawn level; from the render cut-off on, the drawn level's materials are
  // activated and the instance joins the view's render list at `matrix`.
  void Cull(Qel::ViewPoint& view, const Qel::Matrix4& matrix) override;
  // Draws the chunks of the drawn level, scaled, with the level's lighting and its chunk bones.
  void Render(Qel::Display& display, const Qel::ViewPoint& view, Qel::Matrix4& matrix) override;
  // The held level's lighting, once after its level was flagged, or when forced.
  void UpdateLighting(bool force) override;
  // Flags (or clears) every level for its lighting.
  void SetUpdateLighting(bool flag) override;
  // Level n's lighting when flagged, clearing the flag, or when forced.
  void RefreshLevel(u32 n, bool force);
  // RefreshLevel for every level, or with `distanceLevelsOnly` for the distance levels alone.
  void RefreshLevels(bool distanceLevelsOnly, bool force);

  // Makes level n the held level; an index past the table changes nothing.
  void SetLODLevel(u32 n);
  u32 GetLODLevelCount() const { return u32(levels_.size()); }
  u32 GetHeldLevel() const { return held_; }
  u32 GetDrawnLevel() const { return drawn_; }
  void SetLevelForced(bool forced) { forced_ = forced; }
  const Qel::ObjectLOD& GetObjectLOD() const { return lod_; }
  const std::vector<Qel::Particle*>& GetAttachmentChildren() const { return attachmentChildren_; }

 protected:
  struct Level {
    u32 chunkCount = 0;
    ChunkArray chunks;
    MaterialArray materials;
    bool lightingFlag = true;
    // Per chunk, the skeleton bone it is drawn at; empty draws every chunk at the instance.
    std::vector<Qel::Particle*> chunkBones;
  };

  void InitLODFromDefinition();
  // Whether chunks are drawn at their bones: the skinned variant moves them with the bones.
  virtual bool BindsChunkBones() const { return true; }
  // Each level's chunk bones in this instance's skeleton, by the chunks' bone names.
  void BindLevelBones();
  // The viewing distance of the global bounding sphere, enlarged by `margin`; the level-of-detail
  // object keeps it as its stored distance.
  f32 MeasureDistance(const Qel::ViewPoint& view, const Qel::Matrix4& matrix, f32 margin);
  // Instance-own copies of the chunks flagged for them, level by level.
  void CopyPerInstanceChunks();
  void FindAttachmentChildren(const std::vector<Qel::PString>& names);
  // The "collision" level, else the last distance level.
  u32 CollisionLevel() const;
  void CopyLODInto(KestroIndexedMeshLODInstance& copy) const;
  // The lighting of level n's chunks (as held or as recorded) when flagged, then unflagged; or
  // when forced.
  void LightLevel(u32 n, u32 count, Qel::GeometryChunk* const* chunks,
                  Qel::Material* const* materials, bool force);

  KestroIndexedMeshLODDefinition* lodDefinition_;
  std::vector<Level> levels_;
  u32 held_ = 0;
  u32 drawn_ = 0;
  bool forced_ = false;
  u32 flaggedLevels_ = 0;
  Qel::ObjectLOD lod_;
  f32 renderCutOff_ = 0.0f;
  f32 attachmentCutOff_ = 0.0f;
  std::vector<Qel::Particle*> attachmentChildren_;
};

// The skinned variant: each level has its own influences, and before it draws, the drawn level
// and the levels of the animated named meshes move with the bones. Beyond the animation cut-off
// the skeleton's bones ("b." names) are flagged to stop; the offset is a band around the cut-off
// in which the state is kept, so that it does not flicker. Skinning rewrites vertices: the chunks
// are the instance's own.
class KestroDynamicIndexedMeshLODInstance : public KestroIndexedMeshLODInstance {
 public:
  using KestroIndexedMeshLODInstance::KestroIndexedMeshLODInstance;

  void Setup(Qel::Resource* resource) override;
  KestroIndexedMeshInstance* CreateInstance() const override;
  u32 GetID() const override { return 22; }
  // With the level forced, the distance is measured again on the bounding sphere itself.
  void Cull(Qel::ViewPoint& view, const Qel::Matrix4& matrix) override;
  void Render(Qel::Display& display, const Qel::ViewPoint& view, Qel::Matrix4& matrix) override;
  // The frame drawn is the one the instance was last culled in.
  void RenderLit(Qel::Display& display, const Qel::RenderView& view, const Qel::Matrix4& matrix,
                 bool lit) override;

  // Applies the animation cut-off to the stored distance and moves the chunks with the bones
  // while they run (and once more when they stop); true while the bones are stopped.
  bool UpdateAnimationCutOff(u32 frameStamp);
  bool IsAnimationStopped() const { return animationStopped_; }
  // The levels of the named meshes marked animated.
  const std::vector<u32>& GetExtraLevels() const { return extraLevels_; }

 private:
  bool BindsChunkBones() const override { return false; }
  void SetBonesHidden(Qel::Particle& particle, bool hidden);
  // Private copies of every chunk that carries influences, level by level; the held level is
  // held again afterwards.
  void CloneSkinnedChunks();
  // One influence mesh a level, bound to this instance's skeleton.
  void LoadSkins();
  void SkinLevel(u32 level, u32 frameStamp);

  std::vector<KestroInfluenceMesh> skins_;

  f32 animationCutOff_ = 0.0f;
  std::vector<u32> extraLevels_;
  bool skinDirty_ = true;
  bool animationStopped_ = true;
};
