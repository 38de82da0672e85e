// Skinned instances: an indexed or progressive instance that is also an influence mesh, bound to
// its own skeleton copy. Software-skinned chunks are private to each instance, since skinning
// rewrites their positions.
#pragma once

#include <memory>
#include <type_traits>
#include <vector>

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
    // A skinned chunk moves with the bones: only the progressive form keeps chunk bones.
    if constexpr (kProgressive) this->BindChunkBones();
    this->definition_->AddAttachmentPoints(*this);
  }
  KestroIndexedMeshInstance* CreateInstance() const override {
    auto* copy = new KestroDynamicMeshInstance(this->definition_);
    this->CopyInto(*copy);
    if constexpr (kProgressive) {
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
  void Render(Qel::Display& display, const Qel::ViewPoint& view, Qel::Matrix4& matrix) override {
    for (u32 i = 0; i < this->chunkCount_; ++i) Update(this->chunks_, view.GetFrame(), i);
    Base::Render(display, view, matrix);
  }
  // The frame being drawn is the one the instance was last culled in.
  void RenderLit(Qel::Display& display, const Qel::RenderView& view, const Qel::Matrix4& matrix,
                 bool lit) override {
    for (u32 i = 0; i < this->chunkCount_; ++i) {
      Update(this->chunks_, this->GetLastCulledFrame(), i);
    }
    Base::RenderLit(display, view, matrix, lit);
  }

  // Appends a chunk of another skinned mesh (chunk `sourceChunk` of `source`): a private copy,
  // its bones renamed to this instance's table by name and their weights taken over. False
  // without a chunk, a material or chunks of this instance, for a chunk of the other skinning kind,
  // for a bone this instance lacks, and on a progressive instance.
  bool AddSkinnedChunk(Qel::GeometryChunk* chunk, Qel::Material* material,
                       const KestroIndexedMeshDefinition& source, u32 sourceChunk) {
    if constexpr (kProgressive) return false;
    const Qel::GeometryChunk* first = this->chunks_.Get(0);
    Qel::Display* display = this->definition_->GetDisplay();
    if (!chunk || !material || !first || !display || SkinKind(*chunk) != SkinKind(*first)) {
      return false;
    }
    const u32 index = this->chunkCount_;
    const bool hardware = chunk->GetItemOffset(Qel::kItemBlendIndices) >= 0;
    KestroInfluenceMesh single;
    single.LoadBonesSingle(source, sourceChunk, index, hardware);
    std::vector<u32> slots;
    std::unique_ptr<Qel::GeometryChunk, ReleaseChunk> copy(chunk->CreateInstance());
    copy->DuplicateVertexArray(*display);
    copy->InitializeBuffers(*display, true);
    if ((hardware && !MapChunkBones(*copy, BoneNames(source), slots)) ||
        !AddChunkInfluences(single, index)) {
      return false;
    }
    material->AddReference();
    this->MakeChunksUnique();
    this->MakeMaterialsUnique();
    this->chunks_.Resize(index);
    this->materials_.Resize(index);
    this->chunks_.Append(copy.release());
    this->materials_.Append(material);
    ++this->chunkCount_;
    // The chunk moves with the bones, not with one of them.
    if (!this->chunkBones_.empty()) this->chunkBones_.push_back(Base::GetSkeleton());
    AssignMatrices(*this->chunks_.Get(index));
    return true;
  }
  // Copies the geometry of a compatible chunk of another skinned mesh into a private copy of
  // chunk i, with its bones or weights taken over by name as AddSkinnedChunk does.
  bool ReplaceSkinnedChunkGeometry(Qel::GeometryChunk* chunk, u32 i,
                                   const KestroIndexedMeshDefinition& source, u32 sourceChunk) {
    if constexpr (kProgressive) return false;
    const Qel::GeometryChunk* first = this->chunks_.Get(0);
    if (!this->CanReplaceChunkGeometry(chunk, i) || !first ||
        SkinKind(*chunk) != SkinKind(*first)) {
      return false;
    }
    const bool hardware = chunk->GetItemOffset(Qel::kItemBlendIndices) >= 0;
    KestroInfluenceMesh single;
    single.LoadBonesSingle(source, sourceChunk, i, hardware);
    const std::vector<Qel::PString> names = BoneNames(source);
    for (u32 bone : chunk->GetInfluenceMatrices()) {
      if (bone >= names.size() || FindBone(names[bone]) < 0) return false;
    }
    if (!hardware && !CoversWeightedBones(single)) return false;
    this->MakeChunksUnique();
    this->CloneChunk(i);
    Qel::GeometryChunk& copy = *this->chunks_.Get(i);
    if (!copy.CopyGeometry(*this->definition_->GetDisplay(), *chunk)) return false;
    if (!hardware) {
      RemoveChunkInfluences(i);
      return AddChunkInfluences(single, i);
    }
    copy.ResetMatrixArray();
    for (u32 bone : chunk->GetInfluenceMatrices()) copy.AddInfluenceMatrix(bone);
    std::vector<u32> slots;
    if (!MapChunkBones(copy, names, slots)) return false;
    RenumberBlendIndices(copy, slots);
    AssignMatrices(copy);
    return true;
  }

 private:
  struct ReleaseChunk {
    void operator()(Qel::GeometryChunk* chunk) const { chunk->ReleaseReference(); }
  };
  static constexpr bool kProgressive = std::is_base_of_v<KestroProgressiveMeshInstance, Base>;

  static u32 SkinKind(const Qel::GeometryChunk& chunk) {
    return chunk.GetFlags() & Qel::GeometryChunk::kSkinnedWithoutInfluence;
  }
  static std::vector<Qel::PString> BoneNames(const KestroIndexedMeshDefinition& source) {
    std::vector<Qel::PString> names;
    for (const Qel::InfluenceDefinition& bone : source.GetInfluences()) {
      names.push_back(bone.name.ToPString());
    }
    return names;
  }
  // Each blend-index byte holds 3 x a position in the chunk's old bone list; it becomes 3 x that
  // bone's slot. A vertex's bytes are rewritten in order up to the first that names no position.
  static void RenumberBlendIndices(Qel::GeometryChunk& chunk, const std::vector<u32>& slots) {
    const Qel::VertexItemPtr indices = chunk.GetItem(Qel::kItemBlendIndices);
    for (u32 v = 0; indices.IsValid() && v < chunk.GetVertexCount(); ++v) {
      u32 word = indices.Get<u32>(v);
      for (u32 k = 0; k < 4; ++k) {
        const u32 position = ((word >> (8 * k)) & 0xFF) / 3;
        if (position >= slots.size()) break;
        word = (word & ~(0xFFu << (8 * k))) | ((3 * slots[position]) & 0xFF) << (8 * k);
      }
      indices.Set(v, word);
    }
  }

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
