// Skinned instances: an indexed or progressive instance that is also an influence mesh, bound to
// its own skeleton copy. Software-skinned chunks are private to each instance, since skinning
// rewrites their positions.
#pragma once

#include <type_traits>

#include "mesh/kestro_indexed_mesh_instance.h"
#include "mesh/kestro_influence_mesh.h"

template <typename Base, u32 Id>
class KestroDynamicMeshInstance : public Base, public KestroInfluenceMesh {
 public:
  using Base::Base;

  u32 GetID() const override { return Id; }
  void Setup(Qel::Resource* resource) override {
    this->SetResource(resource);
    this->InitFromDefinition();
    MakeSkinnedChunksPrivate();
    LoadBones(*this->definition_, this->chunks_);
    this->AttachSkeleton(this->definition_->GetRootBone());
    Bind(Base::GetSkeleton());
    this->BindChunkBones();
    this->definition_->AddAttachmentPoints(*this);
  }
  KestroIndexedMeshInstance* CreateInstance() const override {
    auto* copy = new KestroDynamicMeshInstance(this->definition_);
    this->CopyInto(*copy);
    if constexpr (std::is_base_of_v<KestroProgressiveMeshInstance, Base>) {
      copy->CloneAllChunks();
    } else {
      copy->MakeSkinnedChunksPrivate();
    }
    copy->CopyBonesFrom(*this);
    const Bone* root = GetRoot();
    Qel::Particle* skeleton = copy->Base::GetSkeleton();
    if (root && skeleton && skeleton->GetName() != root->name) {
      skeleton = skeleton->FindByName(root->name);
    }
    copy->Bind(skeleton);
    return copy;
  }
  // Each chunk is moved with the bones once a frame, then drawn.
  void Render(Qel::Display& display, u32 frameStamp) override {
    for (u32 i = 0; i < this->chunkCount_; ++i) Update(this->chunks_, frameStamp, i);
    Base::Render(display, frameStamp);
  }

 private:
  void MakeSkinnedChunksPrivate() {
    bool unique = false;
    for (u32 i = 0; i < this->chunkCount_; ++i) {
      const Qel::GeometryChunk* chunk = this->chunks_.Get(i);
      if (!chunk || chunk->GetItemOffset(Qel::kItemBlendIndices) >= 0) continue;
      if (!unique) this->MakeChunksUnique();
      unique = true;
      this->CloneChunk(i);
    }
  }
};

using KestroDynamicIndexedMeshInstance = KestroDynamicMeshInstance<KestroIndexedMeshInstance, 18>;
using KestroDynamicProgressiveMeshInstance =
    KestroDynamicMeshInstance<KestroProgressiveMeshInstance, 20>;
