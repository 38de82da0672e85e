#include "mesh/kestro_influence_mesh.h"

#include "mesh/kestro_indexed_mesh_definition.h"

namespace {

// The bone hierarchy is a tree built from names; this bounds the walks should a table ever
// describe a loop.
constexpr u32 kMaxDepth = 1024;

}  // namespace

void KestroInfluenceMesh::LoadBones(const KestroIndexedMeshDefinition& definition,
                                    const RefPtrArray<Qel::GeometryChunk>& chunks) {
  const std::vector<Qel::InfluenceDefinition>& table = definition.GetInfluences();
  bones_.assign(table.size(), Bone());
  root_ = kNoBone;
  for (size_t i = 0; i < table.size(); ++i) {
    Bone& bone = bones_[i];
    bone.name = table[i].name.ToPString();
    bone.parentName = table[i].parentName.ToPString();
    bone.position = table[i].position;
    bone.rotation.Set(table[i].orientation);
    for (const Qel::InfluenceChunkEntry& entry : table[i].entries) {
      ChunkInfluence influence;
      influence.chunk = entry.chunk;
      const Qel::GeometryChunk* chunk = chunks.Get(entry.chunk);
      influence.hardware = definition.IsHardwareSkinned() && chunk &&
                           chunk->GetItemOffset(Qel::kItemBlendIndices) >= 0;
      if (!influence.hardware) {
        for (const Qel::InfluenceWeight& record : entry.weights) {
          influence.weights.push_back(
              {record.vertex, record.weights[0],
               Qel::Vector3(record.weights[1], record.weights[2], record.weights[3])});
        }
      }
      bone.chunkInfluences.push_back(std::move(influence));
    }
  }
  for (u32 i = 0; i < bones_.size(); ++i) {
    if (bones_[i].parentName.IsEmpty()) {
      root_ = i;  // the last parentless bone wins
      continue;
    }
    for (u32 j = 0; j < bones_.size(); ++j) {
      if (j != i && bones_[j].name == bones_[i].parentName) {
        bones_[j].children.push_back(i);
        break;
      }
    }
  }
}

void KestroInfluenceMesh::Bind(Qel::Particle* skeleton) {
  skeleton_ = skeleton;
  for (Bone& bone : bones_) {
    bone.particle = !skeleton                          ? nullptr
                    : skeleton->GetName() == bone.name ? skeleton
                                                       : skeleton->FindByName(bone.name);
  }
  if (root_ != kNoBone) BindPose(root_, Qel::Transformation(), 0);
}

Qel::Transformation KestroInfluenceMesh::LocalFrame(const Bone& bone) const {
  if (bone.particle) return {bone.particle->GetOrientation(), bone.particle->GetPosition()};
  return {bone.rotation, bone.position};
}

void KestroInfluenceMesh::BindPose(u32 index, const Qel::Transformation& parent, u32 depth) {
  if (depth >= kMaxDepth) return;
  Bone& bone = bones_[index];
  const Qel::Transformation world = parent * LocalFrame(bone);
  if (bone.particle) bone.inverseBind = world.Inverse();
  for (u32 child : bone.children) BindPose(child, world, depth + 1);
}

void KestroInfluenceMesh::Update(const RefPtrArray<Qel::GeometryChunk>& chunks, u32 stamp, u32 i) {
  Qel::GeometryChunk* chunk = chunks.Get(i);
  if (!chunk || root_ == kNoBone) return;
  if (lastStamp_.size() < chunks.Count()) lastStamp_.resize(chunks.Count(), 0);
  // Each chunk keeps its own stamp, so that every chunk is skinned once a frame.
  if (stamp != 0 && lastStamp_[i] == stamp) return;
  lastStamp_[i] = stamp;
  bool hardware = false;
  for (const Bone& bone : bones_) {
    for (const ChunkInfluence& influence : bone.chunkInfluences) {
      if (influence.chunk == i) hardware = influence.hardware;
    }
  }
  if (hardware) {
    HardwareUpdate(root_, Qel::Transformation(), 0);
    return;
  }
  const Qel::VertexItemPtr positions = chunk->GetItem(Qel::kItemPosition);
  if (!positions.IsValid()) return;
  for (u32 v = 0; v < chunk->GetVertexCount(); ++v) positions.Set(v, Qel::Vector3());
  SoftwareSkin(*chunk, i, root_, Qel::Transformation(), 0);
}

void KestroInfluenceMesh::HardwareUpdate(u32 index, const Qel::Transformation& parent, u32 depth) {
  if (depth >= kMaxDepth) return;
  Bone& bone = bones_[index];
  const Qel::Transformation world = parent * LocalFrame(bone);
  for (u32 child : bone.children) HardwareUpdate(child, world, depth + 1);
  bone.skinMatrix = Qel::Matrix4::FromTransformation(world * bone.inverseBind);
}

void KestroInfluenceMesh::SoftwareSkin(Qel::GeometryChunk& chunk, u32 chunkIndex, u32 index,
                                       const Qel::Transformation& parent, u32 depth) {
  if (depth >= kMaxDepth) return;
  const Bone& bone = bones_[index];
  const Qel::Transformation world = parent * LocalFrame(bone);
  for (u32 child : bone.children) SoftwareSkin(chunk, chunkIndex, child, world, depth + 1);
  const Qel::VertexItemPtr positions = chunk.GetItem(Qel::kItemPosition);
  for (const ChunkInfluence& influence : bone.chunkInfluences) {
    if (influence.chunk != chunkIndex) continue;
    for (const VertexWeight& record : influence.weights) {
      if (record.vertexIndex >= chunk.GetVertexCount()) continue;
      const Qel::Vector3 moved = world.Apply(record.restPosition) * record.weight;
      positions.Set(record.vertexIndex, positions.Get<Qel::Vector3>(record.vertexIndex) + moved);
    }
  }
}
