// The meshes an asset's configuration names, really loaded while the asset is validated, so that
// a broken file, a missing texture or an animation without a mesh is found. MeshData loads an
// indexed mesh (".im", or a progressive ".pm", which gets no instance); LODMeshData a
// level-of-detail mesh (".lm", or its text description ".lm.txt"). Both keep the placed instance
// and what the checks ask later: attachment points, child particles, polygon counts.
//
// Files are looked up through the data manager's mesh database, below the asset's folder only.
// Loads run on the main thread: called on another thread, the caller waits until the main thread
// has run them. Every failure is a finding and a false result, never a crash.
//
// Animations (".kin") are read and matched against the loaded mesh's skeleton.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "qel/pstring.h"
#include "qel/types.h"
#include "qelgfx/particle.h"
#include "qelgfx/vector3.h"

class KestroIndexedMeshDefinition;
class KestroIndexedMeshInstance;
class KestroIndexedMeshLODInstance;
class KestroIndexedMeshLODDefinition;

namespace Qel {
class Animator;
class SkeletonModifier;
}  // namespace Qel

namespace TETLib {

class Container;

struct MeshAttachment {
  std::array<f32, 12> matrix{};
  Qel::PString name;  // the part after its last '/'
};

struct MeshChildParticle {
  Qel::PString name;
  // The particle's kind, flags and child count.
  std::array<u32, 3> values{};
};

struct MeshAnimation {
  Qel::PString name;
  u32 value = 0;  // its frame count
};

class MeshData : public Qel::Particle {
 public:
  MeshData();
  ~MeshData() override;

  // Loads the file (a path below the asset folder); findings go to the container when there is
  // one. True when it loaded.
  virtual bool Load(const Qel::PString& path, Container* container);
  // The sum of the primitive counts of the instance's chunks.
  virtual u32 GetPolygonCount() const;
  virtual const Qel::PString& GetTypeName() const;
  // The definition's box; zero without a mesh.
  virtual void GetBoundingBox(Qel::Vector3& low, Qel::Vector3& high) const;
  virtual KestroIndexedMeshInstance* GetMeshInstance() const { return meshInstance_; }
  virtual KestroIndexedMeshDefinition* GetMeshDefinition() const { return meshDefinition_; }
  // Has the instance update its lighting with `force`, then marks it for a new update.
  virtual void ForwardToInstance(bool force);

  u32 CountAttachments() const { return u32(attachments_.size()); }
  u32 CountChildParticles() const { return u32(childParticles_.size()); }
  const std::vector<MeshAttachment>& GetAttachments() const { return attachments_; }
  const std::vector<MeshChildParticle>& GetChildParticles() const { return childParticles_; }
  const std::vector<MeshAnimation>& GetAnimations() const { return animations_; }
  const Qel::PString& GetMeshPath() const { return meshPath_; }
  bool IsLoaded() const { return loaded_; }

  // Adds an animation file (below the asset folder) to the loaded mesh; true when it loaded.
  bool LoadAnimation(const Qel::PString& path);

 protected:
  // The engine work of Load, run on the main thread; `lod` selects the level-of-detail kind.
  bool LoadOnMainThread(bool lod);
  // What the level-of-detail kind keeps; the plain kind keeps it in its own pair.
  virtual void Keep(KestroIndexedMeshInstance* instance, KestroIndexedMeshDefinition* definition);
  void CollectAttachments(const KestroIndexedMeshDefinition& definition);
  void CollectTextures(const KestroIndexedMeshDefinition& definition);
  void CollectChildParticles(const Qel::Particle& instance);
  void ReportError(const Qel::PString& text) const;

  Container* container_ = nullptr;
  Qel::PString meshPath_;
  Qel::PString animationPath_;

 private:
  bool LoadMesh(bool lod);
  void MeshWorker(intptr_t result);
  void LodWorker(intptr_t result);
  void AnimationWorker(intptr_t result);
  // Runs the worker on the main thread and returns its result.
  bool RunWorker(void (MeshData::*worker)(intptr_t));

  KestroIndexedMeshInstance* meshInstance_ = nullptr;  // a child of this node
  KestroIndexedMeshDefinition* meshDefinition_ = nullptr;
  std::vector<MeshAttachment> attachments_;
  std::vector<MeshChildParticle> childParticles_;
  std::vector<MeshAnimation> animations_;
  std::unique_ptr<Qel::SkeletonModifier> skeleton_;
  std::unique_ptr<Qel::Animator> animator_;
  bool loaded_ = false;
};

// Every accessor answers from the level-of-detail instance and definition, so that no caller that
// holds it as a MeshData reads an empty plain pair.
class LODMeshData : public MeshData {
 public:
  bool Load(const Qel::PString& path, Container* container) override;
  u32 GetPolygonCount() const override;
  const Qel::PString& GetTypeName() const override;
  void GetBoundingBox(Qel::Vector3& low, Qel::Vector3& high) const override;
  KestroIndexedMeshInstance* GetMeshInstance() const override;
  KestroIndexedMeshDefinition* GetMeshDefinition() const override;
  void ForwardToInstance(bool force) override;

  KestroIndexedMeshLODInstance* GetLODInstance() const { return lodInstance_; }

 protected:
  void Keep(KestroIndexedMeshInstance* instance, KestroIndexedMeshDefinition* definition) override;

 private:
  KestroIndexedMeshLODInstance* lodInstance_ = nullptr;  // a child of this node
  KestroIndexedMeshDefinition* lodDefinition_ = nullptr;
};

}  // namespace TETLib
