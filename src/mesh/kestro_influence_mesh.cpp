#include "mesh/kestro_influence_mesh.h"

#include "mesh/kestro_indexed_mesh_definition.h"

namespace {

std::vector<KestroInfluenceMesh::VertexWeight> ToVertexWeights(
    const Qel::InfluenceChunkEntry& entry) {
  std::vector<KestroInfluenceMesh::VertexWeight> weights;
  weights.reserve(entry.weights.size());
  for (const Qel::InfluenceWeight& record : entry.weights) {
    weights.push_back({record.vertex, record.weights[0],
                       Qel::Vector3(record.weights[1], record.weights[2], record.weights[3])});
  }
  return weights;
}

// The scale of a bone's particle while it scales (1, 1, 1 otherwise).
Qel::Vector3 ParticleScale(const Qel::Particle* particle) {
  if (!particle || particle->GetTypeID() != Qel::ParticleScaled::kTypeID) return {1, 1, 1};
  const auto& scaled = static_cast<const Qel::ParticleScaled&>(*particle);
  return scaled.IsScaleDisabled() ? Qel::Vector3(1, 1, 1) : scaled.GetScale();
}

// The bone hierarchy is a tree built from names; this bounds the walks should a table ever
// describe a loop.
constexpr u32 kMaxDepth = 1024;

}  // namespace

KestroInfluenceMesh::Bone KestroInfluenceMesh::MakeBone(
    const Qel::InfluenceDefinition& record) const {
  Bone bone;
  bone.name = record.name.ToPString();
  bone.parentName = record.parentName.ToPString();
  bone.position = record.position;
  bone.rotation.Set(record.orientation);
  return bone;
}

void KestroInfluenceMesh::LoadBones(const KestroIndexedMeshDefinition& definition,
                                    const RefPtrArray<Qel::GeometryChunk>& chunks) {
  LoadBones(definition.GetInfluences(), definition.IsHardwareSkinned(), chunks);
}

void KestroInfluenceMesh::LoadBones(const std::vector<Qel::InfluenceDefinition>& table,
                                    bool hardwareSkinned,
                                    const RefPtrArray<Qel::GeometryChunk>& chunks) {
  bones_.clear();
  for (const Qel::InfluenceDefinition& record : table) {
    Bone bone = MakeBone(record);
    for (const Qel::InfluenceChunkEntry& entry : record.entries) {
      ChunkInfluence influence;
      influence.chunk = entry.chunk;
      const Qel::GeometryChunk* chunk = chunks.Get(entry.chunk);
      influence.hardware =
          hardwareSkinned && chunk && chunk->GetItemOffset(Qel::kItemBlendIndices) >= 0;
      if (!influence.hardware) influence.weights = ToVertexWeights(entry);
      bone.chunkInfluences.push_back(std::move(influence));
    }
    bones_.push_back(std::move(bone));
  }
  LinkHierarchy();
}

void KestroInfluenceMesh::LoadBonesSingle(const KestroIndexedMeshDefinition& definition,
                                          u32 sourceChunk, u32 chunk, bool hardware) {
  bones_.clear();
  for (const Qel::InfluenceDefinition& record : definition.GetInfluences()) {
    Bone bone = MakeBone(record);
    ChunkInfluence influence;
    influence.chunk = chunk;
    influence.hardware = hardware;
    for (const Qel::InfluenceChunkEntry& entry : record.entries) {
      if (entry.chunk == sourceChunk && !hardware) influence.weights = ToVertexWeights(entry);
    }
    bone.chunkInfluences.push_back(std::move(influence));
    bones_.push_back(std::move(bone));
  }
  LinkHierarchy();
}

void KestroInfluenceMesh::LinkHierarchy() {
  root_ = kNoBone;
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

i32 KestroInfluenceMesh::FindBone(const Qel::PString& name) const {
  for (size_t b = 0; b < bones_.size(); ++b) {
    if (bones_[b].name == name) return i32(b);
  }
  return -1;
}

bool KestroInfluenceMesh::CoversWeightedBones(const KestroInfluenceMesh& single) const {
  for (const Bone& bone : single.bones_) {
    const bool weighted = !bone.chunkInfluences.empty() && !bone.chunkInfluences[0].weights.empty();
    if (weighted && FindBone(bone.name) < 0) return false;
  }
  return true;
}

bool KestroInfluenceMesh::AddChunkInfluences(const KestroInfluenceMesh& single, u32 i) {
  // A vertex whose bone is missing would stay at the origin.
  if (!CoversWeightedBones(single)) return false;
  for (Bone& bone : bones_) {
    if (bone.chunkInfluences.empty()) continue;
    const i32 from = single.FindBone(bone.name);
    ChunkInfluence influence;
    if (from >= 0 && !single.bones_[from].chunkInfluences.empty()) {
      influence = single.bones_[from].chunkInfluences[0];
    }
    influence.chunk = i;
    bone.chunkInfluences.push_back(std::move(influence));
  }
  return true;
}

void KestroInfluenceMesh::RemoveChunkInfluences(u32 i) {
  for (Bone& bone : bones_) {
    std::erase_if(bone.chunkInfluences,
                  [i](const ChunkInfluence& influence) { return influence.chunk == i; });
  }
}

bool KestroInfluenceMesh::MapChunkBones(Qel::GeometryChunk& chunk,
                                        const std::vector<Qel::PString>& names,
                                        std::vector<u32>& slots) const {
  std::vector<u32> positions;
  for (u32 bone : chunk.GetInfluenceMatrices()) {
    const i32 at = bone < names.size() ? FindBone(names[bone]) : -1;
    if (at < 0) return false;
    positions.push_back(u32(at));
  }
  chunk.ResetMatrixArray();
  slots.clear();
  for (u32 position : positions) slots.push_back(u32(chunk.AddInfluenceMatrix(position)));
  return true;
}

void KestroInfluenceMesh::AssignMatrices(Qel::GeometryChunk& chunk) const {
  const std::vector<u32>& listed = chunk.GetInfluenceMatrices();
  for (u32 slot = 0; slot < listed.size(); ++slot) {
    if (listed[slot] < bones_.size())
      chunk.AssignInfluenceMatrix(slot, bones_[listed[slot]].skinMatrix);
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
    // Chunks may be shared between instances: this one's matrices go in before it draws.
    AssignMatrices(*chunk);
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
  const Qel::Vector3 scale = ParticleScale(bone.particle);
  if (scale == Qel::Vector3(1, 1, 1)) {
    bone.skinMatrix = Qel::Matrix4::FromTransformation(world * bone.inverseBind);
    return;
  }
  Qel::Matrix4 scaled = Qel::Matrix4::FromTransformation(world);
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) scaled.m[row][column] *= scale[row];
  }
  bone.skinMatrix = Qel::Matrix4::FromTransformation(bone.inverseBind) * scaled;
}

void KestroInfluenceMesh::SoftwareSkin(Qel::GeometryChunk& chunk, u32 chunkIndex, u32 index,
                                       const Qel::Transformation& parent, u32 depth) {
  if (depth >= kMaxDepth) return;
  const Bone& bone = bones_[index];
  const Qel::Transformation world = parent * LocalFrame(bone);
  for (u32 child : bone.children) SoftwareSkin(chunk, chunkIndex, child, world, depth + 1);
  const Qel::VertexItemPtr positions = chunk.GetItem(Qel::kItemPosition);
  // A scaling particle scales the bone's frame: the rest positions, axis by axis.
  const Qel::Vector3 scale = ParticleScale(bone.particle);
  for (const ChunkInfluence& influence : bone.chunkInfluences) {
    if (influence.chunk != chunkIndex) continue;
    for (const VertexWeight& record : influence.weights) {
      if (record.vertexIndex >= chunk.GetVertexCount()) continue;
      const Qel::Vector3& rest = record.restPosition;
      const Qel::Vector3 moved =
          world.Apply(Qel::Vector3(rest.x * scale.x, rest.y * scale.y, rest.z * scale.z)) *
          record.weight;
      positions.Set(record.vertexIndex, positions.Get<Qel::Vector3>(record.vertexIndex) + moved);
    }
  }
}
