// The bones of a skinned mesh instance: each follows a particle of the instance's skeleton copy
// and, before each render, moves the chunks it influences. Hardware chunks take the bones'
// skinning matrices; software chunks have their positions recomputed from per-vertex weights.
#pragma once

#include <vector>

#include "mesh/ref_ptr_array.h"
#include "qel/pstring.h"
#include "qelgfx/geometry_chunk.h"
#include "qelgfx/matrix4.h"
#include "qelgfx/particle.h"
#include "qelgfx/transformation.h"

class KestroIndexedMeshDefinition;
namespace Qel {
struct InfluenceDefinition;
}  // namespace Qel

class KestroInfluenceMesh {
 public:
  struct VertexWeight {
    u32 vertexIndex = 0;
    f32 weight = 0.0f;
    Qel::Vector3 restPosition;  // in the bone's space
  };
  struct ChunkInfluence {
    u32 chunk = 0;
    bool hardware = false;
    std::vector<VertexWeight> weights;
  };
  struct Bone {
    Qel::PString name;
    Qel::PString parentName;
    Qel::Matrix4 skinMatrix;
    Qel::Transformation inverseBind;
    Qel::Particle* particle = nullptr;
    std::vector<ChunkInfluence> chunkInfluences;
    Qel::Quaternion rotation;
    Qel::Vector3 position;
    std::vector<u32> children;  // indices into the bone table, in definition order
  };

  virtual ~KestroInfluenceMesh() = default;

  // The bone table from the definition's influence table.
  void LoadBones(const KestroIndexedMeshDefinition& definition,
                 const RefPtrArray<Qel::GeometryChunk>& chunks);
  // The same from a table of its own (one level of a level-of-detail mesh), whose chunks are
  // skinned in hardware when `hardwareSkinned` and they carry blend indices.
  void LoadBones(const std::vector<Qel::InfluenceDefinition>& table, bool hardwareSkinned,
                 const RefPtrArray<Qel::GeometryChunk>& chunks);
  // The same, but every bone takes exactly one influence record: its weights for the
  // definition's chunk `sourceChunk`, filed under chunk `chunk` (none where the bone has no
  // weights there).
  void LoadBonesSingle(const KestroIndexedMeshDefinition& definition, u32 sourceChunk, u32 chunk,
                       bool hardware);
  // Binds each bone to the skeleton particle of its name and computes the bind pose.
  void Bind(Qel::Particle* skeleton);
  // Moves chunk i with the bones, once per non-zero frame stamp.
  void Update(const RefPtrArray<Qel::GeometryChunk>& chunks, u32 stamp, u32 i);

  const std::vector<Bone>& GetBones() const { return bones_; }
  // The position of the bone of that name in the table, or -1.
  i32 FindBone(const Qel::PString& name) const;
  const Bone* GetRoot() const { return root_ < bones_.size() ? &bones_[root_] : nullptr; }
  Qel::Particle* GetBoundSkeleton() const { return skeleton_; }

 protected:
  void CopyBonesFrom(const KestroInfluenceMesh& other) {
    bones_ = other.bones_, root_ = other.root_;
  }
  // Gives chunk i one more influence record per bone of this table that has records, taken by
  // name from a one-record-a-bone table; false when a bone with weights there is not in this one.
  bool AddChunkInfluences(const KestroInfluenceMesh& single, u32 i);
  // Whether every bone of `single` with weights is in this table.
  bool CoversWeightedBones(const KestroInfluenceMesh& single) const;
  // Drops every bone's records for chunk i.
  void RemoveChunkInfluences(u32 i);
  // The chunk's bone list, which names bones of `names` by position, renamed to this table's
  // positions (after a reset of its matrices); `slots` gets the new slot of each old entry. False
  // for a name this table lacks, leaving the chunk as it was.
  bool MapChunkBones(Qel::GeometryChunk& chunk, const std::vector<Qel::PString>& names,
                     std::vector<u32>& slots) const;
  // Hands the bones' skinning matrices to the chunk's slots.
  void AssignMatrices(Qel::GeometryChunk& chunk) const;

 private:
  static constexpr u32 kNoBone = ~0u;
  Bone MakeBone(const Qel::InfluenceDefinition& record) const;
  void LinkHierarchy();
  Qel::Transformation LocalFrame(const Bone& bone) const;
  void BindPose(u32 bone, const Qel::Transformation& parent, u32 depth);
  void HardwareUpdate(u32 bone, const Qel::Transformation& parent, u32 depth);
  void SoftwareSkin(Qel::GeometryChunk& chunk, u32 chunkIndex, u32 bone,
                    const Qel::Transformation& parent, u32 depth);

  std::vector<Bone> bones_;
  u32 root_ = kNoBone;
  Qel::Particle* skeleton_ = nullptr;  // bound last
  std::vector<u32> lastStamp_;         // one a chunk
};
