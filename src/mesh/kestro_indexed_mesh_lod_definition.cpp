#include "mesh/kestro_indexed_mesh_lod_definition.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "core/whole_file_writer.h"
#include "mesh/chunk_writer.h"
#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/mesh_load_result.h"
#include "qel/file.h"
#include "qelgfx/display.h"
#include "qelgfx/material_manager.h"

using Qel::Vector3;
using Presence = ChunkReader::Presence;
using EndCheck = ChunkReader::EndCheck;

namespace {

// Smallest records, for checking counts against the bytes left before sizing anything by them.
constexpr u32 kPaddedString = KestroIndexedMeshDefinition::kMinPaddedString;
constexpr u32 kMinMeshBytes = 12 + 16;       // a MESH header and its four fields
constexpr u32 kMinLevelChunkBytes = 12 + 8;  // an LCHK header and its two indices
constexpr u32 kMinMaterialBytes = 12 + kPaddedString + 68;  // header, name, fixed fields
constexpr u32 kMinNamedMeshBytes = 4 + kPaddedString + 1;   // level, name, animated
constexpr u32 kBoneRecordBytes = 2 * kPaddedString + 12 + 36;
// The flag bits a chunk keeps from a file and writes back.
constexpr u32 kWrittenChunkFlags =
    Qel::GeometryChunk::kPrimitiveMask | Qel::GeometryChunk::kSkinnedWithoutInfluence |
    Qel::GeometryChunk::kNoStaticIndexBuffer | Qel::GeometryChunk::kPerInstanceCopy |
    Qel::GeometryChunk::kNoStaticVertexBuffer;
constexpr f32 kNamedLevelDistance = -1.0f;
constexpr u32 kMaxBoneTreeNodes = 1024;

template <typename T, u32 N>
void DeleteAll(ChunkedList<T*, N>& list) {
  for (T* item : list) delete item;
  list.Clear();
}

void WriteVector(ChunkWriter& writer, const Vector3& v) {
  writer.WriteF32(v.x);
  writer.WriteF32(v.y);
  writer.WriteF32(v.z);
}

void WriteMatrix(ChunkWriter& writer, const Qel::Matrix& matrix) {
  for (const auto& row : matrix.m) {
    for (f32 value : row) writer.WriteF32(value);
  }
}

// The primitives an engine kind draws from `indices` indices.
u32 PrimitiveCountOf(u32 primitive, u32 indices) {
  switch (primitive) {
    case 0:
      return indices / 3;
    case 1:
    case 2:
      return indices >= 2 ? indices - 2 : 0;
    case 3:
      return indices / 2;
    case 4:
      return indices >= 1 ? indices - 1 : 0;
    default:
      return indices;
  }
}

std::string_view FilePart(std::string_view path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

KestroIndexedMeshLODDefinition::~KestroIndexedMeshLODDefinition() { DeleteAll(loadedMeshes_); }

void KestroIndexedMeshLODDefinition::DeleteAllLoadedMeshes() { DeleteAll(loadedMeshes_); }

void KestroIndexedMeshLODDefinition::Clear() {
  DeleteAll(loadedMeshes_);
  for (KestroPendingMaterial& pending : pendingMaterials_) Qel::ReleaseAndClear(pending.material);
  pendingMaterials_.clear();
  levels_.clear();
  levelCount_ = 0;
  switchDistances_.clear();
  namedMeshes_.clear();
  calcPoint_ = kCalcCenter;
  offset_ = animationCutOff_ = renderCutOff_ = attachmentCutOff_ = 0.0f;
  multiplier_ = 1.0f;
  cullList_.clear();
  materialTable_ = MaterialArray();
  textures_.clear();
  boneTree_.clear();
  attachments_.clear();
  influences_.clear();
  rootBone_.reset();
  chunks_ = ChunkArray();
  materials_ = MaterialArray();
  chunkCount_ = vertexTotal_ = faceTotal_ = 0;
}

i32 KestroIndexedMeshLODDefinition::FindNamedLevel(std::string_view purpose) const {
  for (const KestroNamedMesh& named : namedMeshes_) {
    if (named.name.View() == purpose) return i32(named.level);
  }
  return -1;
}

void KestroIndexedMeshLODDefinition::ShareEqualMaterials() {
  for (size_t l = 1; l < levels_.size(); ++l) {
    MaterialArray& materials = levels_[l].materials;
    for (u32 i = 0; i < materials.Count(); ++i) {
      const Qel::Material* material = materials.Get(i);
      Qel::Material* earlier = nullptr;
      for (size_t e = 0; material && !earlier && e < l; ++e) {
        const MaterialArray& candidates = levels_[e].materials;
        for (u32 k = 0; !earlier && k < candidates.Count(); ++k) {
          Qel::Material* candidate = candidates.Get(k);
          if (candidate && candidate->GetType() == material->GetType() &&
              candidate->Equals(*material) &&
              RememberedTextures(candidate) == RememberedTextures(material)) {
            earlier = candidate;
          }
        }
      }
      if (!earlier || earlier == material) continue;
      earlier->AddReference();
      materials.Set(i, earlier);
    }
  }
  // The textures a writer looks up by material stay only for the materials still in use.
  std::erase_if(textures_, [&](const auto& entry) {
    for (const KestroLODLevel& level : levels_) {
      for (u32 i = 0; i < level.materials.Count(); ++i) {
        if (level.materials.Get(i) == entry.first) return false;
      }
    }
    return true;
  });
}

const std::vector<KestroMeshTexture>& KestroIndexedMeshLODDefinition::RememberedTextures(
    const Qel::Material* material) const {
  static const std::vector<KestroMeshTexture> none;
  for (const auto& [known, list] : textures_) {
    if (known == material) return list;
  }
  return none;
}

void KestroIndexedMeshLODDefinition::RememberTextures(const Qel::Material* material,
                                                      std::vector<KestroMeshTexture> textures) {
  // A material found again by its name takes every description's textures in turn: each stage
  // ends with the last texture given to it.
  for (auto& [known, list] : textures_) {
    if (known != material) continue;
    for (KestroMeshTexture& texture : textures) {
      const auto same = std::find_if(list.begin(), list.end(), [&](const KestroMeshTexture& t) {
        return t.stage == texture.stage;
      });
      if (same != list.end()) {
        *same = std::move(texture);
      } else {
        list.push_back(std::move(texture));
      }
    }
    return;
  }
  textures_.emplace_back(material, std::move(textures));
}

u32 KestroIndexedMeshLODDefinition::Load(Qel::Display* display, Qel::MaterialManager* manager,
                                         KestroGeometryBaseResource* resource, u32 /*argument*/,
                                         u32 defaultColour) {
  if (!manager) return RES_NO_MATERIAL_MANAGER;
  Clear();
  SetLoadContext(display, manager, resource, defaultColour);
  skinningCapability_ = display && display->GetCapability(kCapabilityMatrixPalette);
  displayCapability_ = skinningCapability_;
  if (skinningCapability_) matrixLimit_ = 24;
  if (memory_.GetSize() == 0) return RES_FILE_OPEN_ERROR;
  ChunkReader reader(memory_);
  if (u32 code = reader.OpenBody("LODM")) return code;
  if (u32 code = ReadInfo(reader)) return code;
  if (u32 code = ReadMaterialTable(reader)) return code;
  if (u32 code = ReadBoneRecords(reader, "BONT", kMaxInfluenceBones - 1, influences_)) {
    return code;
  }
  // Each is optional: a file may hold both, and the table then makes the skeleton.
  if (u32 code = ReadBoneTree(reader)) return code;
  if (u32 code = ReadAttachments(reader)) return code;
  levels_.reserve(levelCount_);
  for (u32 l = 0; l < levelCount_; ++l) {
    if (u32 code = ReadMesh(reader, l)) return code;
  }
  if (switchDistances_.empty()) return RES_FILE_FORMAT_ERROR;
  if (u32 code = reader.CloseBody()) return code;
  materialTable_ = MaterialArray();
  BuildBonesFromInfluences();
  ApplyBoneInfluences();
  FinishLevels();
  ComputeLevelBounds();
  TakeCullMarkers();
  memory_.Clear();
  return RES_OK;
}

u32 KestroIndexedMeshLODDefinition::ReadInfo(ChunkReader& reader) {
  ChunkHeader header;
  if (u32 code = reader.EnterChunk("INFO", Presence::kMandatory, 100, 100, header)) return code;
  Qel::MemoryFile& memory = reader.Memory();
  // Kept as stored, so that a saved file gives the same bytes back.
  ReadPlacement(memory);
  u32 namedCount = 0;
  memory.ReadU32(levelCount_);
  memory.ReadU32(calcPoint_);
  for (f32* value :
       {&offset_, &multiplier_, &animationCutOff_, &renderCutOff_, &attachmentCutOff_}) {
    memory.ReadF32(*value);
  }
  memory.ReadU32(namedCount);
  if (memory.HasShortRead() || !reader.FitsRecords(namedCount, kMinNamedMeshBytes)) {
    return RES_FILE_FORMAT_ERROR;
  }
  for (u32 k = 0; k < namedCount && !memory.HasShortRead(); ++k) {
    KestroNamedMesh named;
    Qel::String name;
    u8 animated = 0;
    memory.ReadU32(named.level);
    ReadPaddedString(memory, name);
    memory.Read(&animated, 1);
    named.name = name.ToPString();
    named.animated = animated != 0;
    // A named mesh must name a level of the file.
    if (named.level >= levelCount_) return RES_FILE_FORMAT_ERROR;
    namedMeshes_.push_back(named);
  }
  if (u32 code = reader.LeaveChunk(header)) return code;
  // Each level takes a MESH of its own in what follows.
  if (!reader.FitsRecords(levelCount_, kMinMeshBytes)) return RES_FILE_FORMAT_ERROR;
  return RES_OK;
}

u32 KestroIndexedMeshLODDefinition::ReadMaterialTable(ChunkReader& reader) {
  ChunkHeader header;
  if (u32 code = reader.EnterChunk("MATT", Presence::kMandatory, 100, 100, header)) return code;
  u32 count = 0;
  reader.Memory().ReadU32(count);
  if (reader.Memory().HasShortRead() || !reader.FitsRecords(count, kMinMaterialBytes)) {
    return RES_FILE_FORMAT_ERROR;
  }
  // The base's material maker fills its own array: it is the table while the table is read.
  materials_ = MaterialArray::Make(count);
  for (u32 k = 0; k < count; ++k) {
    if (u32 code = ReadMaterial(reader, k)) return code;
  }
  materialTable_ = materials_;
  materials_ = MaterialArray();
  return reader.LeaveChunk(header);
}

u32 KestroIndexedMeshLODDefinition::ReadMaterial(ChunkReader& reader, u32 index) {
  ChunkHeader header;
  if (u32 code = reader.EnterChunk("MATL", Presence::kMandatory, 103, 103, header)) return code;
  KestroMaterialDescription description;
  Qel::String name;
  if (u32 code = ReadMaterialFields(reader, name, description)) return code;
  if (u32 code = reader.LeaveChunk(header)) return code;
  description.materialName = name.ToPString();
  if (u32 code = CreateMaterialFromDescription(manager_, resource_, index, description)) {
    return code;
  }
  RememberTextures(materials_.Get(index), std::move(description.textures));
  return RES_OK;
}

u32 KestroIndexedMeshLODDefinition::ReadBoneRecords(
    ChunkReader& reader, const char* tag, u32 limit,
    std::vector<Qel::InfluenceDefinition>& records) {
  ChunkHeader header;
  if (u32 code = reader.EnterChunk(tag, Presence::kOptional, 100, 100, header)) return code;
  if (!header.present) return RES_OK;
  Qel::MemoryFile& memory = reader.Memory();
  u32 count = 0;
  memory.ReadU32(count);
  if (memory.HasShortRead() || count > limit || !reader.FitsRecords(count, kBoneRecordBytes)) {
    return RES_FILE_FORMAT_ERROR;
  }
  records.resize(count);
  for (Qel::InfluenceDefinition& bone : records) ReadBoneRecord(memory, bone);
  return reader.LeaveChunk(header);
}

u32 KestroIndexedMeshLODDefinition::ReadBoneTree(ChunkReader& reader) {
  if (u32 code = ReadBoneRecords(reader, "RBOT", kMaxBoneTreeNodes, boneTree_)) return code;
  for (const Qel::InfluenceDefinition& node : boneTree_) {
    auto bone = std::make_unique<Qel::ParticleBone>();
    Qel::Quaternion orientation;
    orientation.Set(node.orientation);
    bone->SetName(node.name.ToPString());
    bone->SetReferenceFrame(node.position, orientation);
    bone->SetFramePosition(node.position);
    bone->SetFrameOrientation(orientation);
    bone->SetBox(Vector3(-0.01f, -0.01f, -0.01f), Vector3(0.01f, 0.01f, 0.01f));
    if (node.parentName.IsEmpty() && !rootBone_) {
      rootBone_ = std::move(bone);
      continue;
    }
    if (!rootBone_) return RES_FILE_FORMAT_ERROR;
    Qel::Particle* parent = nullptr;
    if (!node.parentName.IsEmpty()) parent = rootBone_->FindByName(node.parentName.ToPString());
    if (!parent) parent = rootBone_.get();
    if (!parent->Add(bone.get()) && !rootBone_->Add(bone.get())) return RES_FILE_FORMAT_ERROR;
    bone.release();
  }
  return RES_OK;
}

u32 KestroIndexedMeshLODDefinition::ReadMesh(ChunkReader& reader, u32 index) {
  ChunkHeader header;
  if (u32 code = reader.EnterChunk("MESH", Presence::kMandatory, 100, 100, header)) return code;
  Qel::MemoryFile& memory = reader.Memory();
  u32 chunkCount = 0, mostVertexInfluences = 0, mostChunkBones = 0;
  f32 distance = 0.0f;
  memory.ReadU32(chunkCount);
  memory.ReadU32(mostVertexInfluences);
  memory.ReadU32(mostChunkBones);
  memory.ReadF32(distance);
  if (memory.HasShortRead() || !reader.FitsRecords(chunkCount, kMinLevelChunkBytes)) {
    return RES_FILE_FORMAT_ERROR;
  }
  KestroLODLevel& level = levels_.emplace_back();
  level.hardwareSkinning = mostVertexInfluences != 0 && mostVertexInfluences <= kInfluenceLimit &&
                           mostChunkBones <= matrixLimit_ && skinningCapability_ &&
                           !settings_.softwareAnimation.IsSet();
  hardwareSkinning_ = level.hardwareSkinning;  // what the blend data set-up asks
  if (distance == kNamedLevelDistance) {
    if (FindNamedLevelIndex(index) < 0) return RES_FILE_FORMAT_ERROR;
  } else {
    if (!switchDistances_.empty() && distance < switchDistances_.back()) {
      return RES_FILE_FORMAT_ERROR;
    }
    switchDistances_.push_back(distance);
    // Distance-switched levels come first, without gaps.
    if (index + 1 != switchDistances_.size()) return RES_FILE_FORMAT_ERROR;
  }
  level.chunkCount = chunkCount;
  level.chunks = ChunkArray::Make(chunkCount);
  level.materials = MaterialArray::Make(chunkCount);
  level.chunkInfo.assign(chunkCount, KestroLODChunkInfo());
  level.boneEntries.assign(influences_.size(), {});
  if (!influences_.empty()) {
    if (u32 code = ReadLevelBones(reader, level)) return code;
  }
  std::vector<bool> seen(chunkCount, false);
  for (u32 k = 0; k < chunkCount; ++k) {
    if (u32 code = ReadLevelChunk(reader, level, seen)) return code;
  }
  if (u32 code = reader.LeaveChunk(header)) return code;
  DropEmptyChunks(level);
  return RES_OK;
}

i32 KestroIndexedMeshLODDefinition::FindNamedLevelIndex(u32 level) const {
  for (size_t k = 0; k < namedMeshes_.size(); ++k) {
    if (namedMeshes_[k].level == level) return i32(k);
  }
  return -1;
}

u32 KestroIndexedMeshLODDefinition::ReadLevelBones(ChunkReader& reader, KestroLODLevel& level) {
  ChunkHeader header;
  if (u32 code = reader.EnterChunk("LODB", Presence::kOptional, 100, 100, header)) return code;
  if (!header.present) return RES_OK;
  Qel::MemoryFile& memory = reader.Memory();
  for (std::vector<Qel::InfluenceChunkEntry>& entries : level.boneEntries) {
    u32 entryCount = 0;
    memory.ReadU32(entryCount);
    if (memory.HasShortRead() || !reader.FitsRecords(entryCount, 8)) return RES_FILE_FORMAT_ERROR;
    for (u32 e = 0; e < entryCount; ++e) {
      Qel::InfluenceChunkEntry entry;
      u32 weightCount = 0;
      memory.ReadU32(entry.chunk);
      memory.ReadU32(weightCount);
      if (memory.HasShortRead() || !reader.FitsRecords(weightCount, kWeightRecordBytes)) {
        return RES_FILE_FORMAT_ERROR;
      }
      entry.weights.resize(weightCount);
      for (Qel::InfluenceWeight& weight : entry.weights) {
        memory.ReadU32(weight.vertex);
        for (f32& value : weight.weights) memory.ReadF32(value);
      }
      if (weightCount > 0) entries.push_back(std::move(entry));
    }
  }
  return reader.LeaveChunk(header);
}

u32 KestroIndexedMeshLODDefinition::ReadLevelChunk(ChunkReader& reader, KestroLODLevel& level,
                                                   std::vector<bool>& seen) {
  ChunkHeader header;
  if (u32 code = reader.EnterChunk("LCHK", Presence::kMandatory, 100, 100, header)) return code;
  u32 chunk = 0, material = 0;
  reader.Memory().ReadU32(chunk);
  reader.Memory().ReadU32(material);
  // Both indices name a slot of their table, and a chunk is read once.
  if (reader.Memory().HasShortRead() || chunk >= level.chunkCount || seen[chunk] ||
      material >= materialTable_.Count()) {
    return RES_FILE_FORMAT_ERROR;
  }
  seen[chunk] = true;
  Qel::Material* made = materialTable_.Get(material);
  if (made) made->AddReference();
  level.materials.Set(chunk, made);
  if (u32 code = ReadGeometry(reader, level, chunk)) return code;
  if (reader.NextTagIs("NINF")) {
    chunks_ = level.chunks;  // the base reader files the neighbours with its own chunks
    if (u32 code = ReadChunkNeighbours(reader, chunk)) return code;
  }
  return reader.LeaveChunk(header);
}

u32 KestroIndexedMeshLODDefinition::ReadGeometry(ChunkReader& reader, KestroLODLevel& level,
                                                 u32 index) {
  ChunkHeader header;
  if (u32 code = reader.EnterChunk("GEOM", Presence::kMandatory, 101, 201, header)) return code;
  const u32 version = header.version;
  Qel::MemoryFile& memory = reader.Memory();
  KestroLODChunkInfo& info = level.chunkInfo[index];
  u32 flags = 0, further = 0, vertexCount = 0, faceCount = 0, indexCount = 0, faceNormals = 0;
  memory.ReadU32(flags);
  if (version == 201) memory.ReadU32(further);
  memory.ReadF32(info.scalar);
  memory.ReadU32(vertexCount);
  memory.ReadU32(faceCount);
  memory.ReadU32(indexCount);
  memory.ReadU32(faceNormals);
  if (version >= 102) memory.ReadU32(info.influences);
  Qel::String name;
  if (version >= 103) ReadPaddedString(memory, name);
  if (memory.HasShortRead()) return RES_FILE_FORMAT_ERROR;
  info.name = name.ToPString();
  u32 primitive = 0;
  if (!Qel::GeometryChunk::PrimitiveFromFileCode(flags & 0x1F, primitive)) {
    return RES_FILE_FORMAT_ERROR;
  }
  const bool hasFaceNormals = faceNormals != 0;
  const bool hasFurther = version == 201 && (further & 1);
  // Everything the counts promise must be in the chunk before the chunk is made; faces without
  // stored normals still take room, so there are never more of them than indices.
  const u64 v = vertexCount;
  const u64 needed = v * 20 + u64(indexCount) * 2 + v * 12 +
                     (hasFaceNormals ? u64(faceCount) * 12 : 0) + (hasFurther ? v * 12 : 0);
  if (needed > reader.BytesLeft() || faceCount > indexCount) return RES_FILE_FORMAT_ERROR;

  Qel::StandardChunkHint hint = MakeChunkHint(1);
  hint.hintFloat = info.scalar;
  if (info.influences > 0) {
    hint.bits |= Qel::StandardChunkHint::kWeights;
    if (level.hardwareSkinning) {
      hint.influenceCount = 4;
      hint.matrixCount = matrixLimit_;
      if (settings_.hardwareAnimationFloatPrecision.IsSet()) {
        hint.bits |= Qel::StandardChunkHint::kFloatWeights;
      }
    } else {
      hint.bits |= Qel::StandardChunkHint::kSoftwareSkinning;
    }
  }
  Qel::Material* material = level.materials.Get(index);
  Qel::GeometryChunk* chunk =
      material ? material->CreateGeometryChunk(vertexCount, PrimitiveCountOf(primitive, indexCount),
                                               indexCount, faceCount, primitive, hint)
               : nullptr;
  if (!chunk) return RES_FILE_FORMAT_ERROR;
  level.chunks.Set(index, chunk);
  chunk->SetFlags((chunk->GetFlags() & ~kWrittenChunkFlags) | (flags & kWrittenChunkFlags));
  const bool floatWeights = settings_.hardwareAnimationFloatPrecision.IsSet();
  const Qel::VertexItemPtr positions = chunk->GetItem(Qel::kItemPosition);
  if (vertexCount > 0 &&
      (!positions.IsValid() ||
       (level.hardwareSkinning && !InitialiseBlendData(*chunk, info.influences, floatWeights)))) {
    return RES_FAIL_CHUNK_CREATE;
  }
  const Qel::VertexItemPtr uvs = chunk->GetItem(Qel::kItemTexture0);
  const Qel::VertexItemPtr colour = chunk->GetItem(Qel::kItemColour0);
  for (u32 i = 0; i < vertexCount; ++i) {
    Vector3 position;
    f32 uv[2] = {};
    ReadVector(memory, position);
    memory.ReadF32(uv[0]);
    memory.ReadF32(uv[1]);
    positions.Set(i, position);
    if (uvs.IsValid()) uvs.Set(i, uv);
    if (colour.IsValid()) colour.Set<u32>(i, defaultColour_);
  }
  u16* indices = chunk->GetIndexArray();
  if (indexCount > 0 && !indices) return RES_FAIL_CHUNK_CREATE;
  for (u32 k = 0; k < indexCount; ++k) {
    memory.ReadU16(indices[k]);
    if (indices[k] >= vertexCount) return RES_FILE_FORMAT_ERROR;
  }
  const Qel::VertexItemPtr normals = chunk->GetItem(Qel::kItemNormal);
  for (u32 i = 0; i < vertexCount; ++i) {
    Vector3 normal;
    ReadVector(memory, normal);
    if (normals.IsValid()) normals.Set(i, normal);
  }
  f32* faceNormalArray = chunk->GetFaceNormalArray();
  if (hasFaceNormals && faceCount > 0) {
    if (!faceNormalArray) return RES_FAIL_CHUNK_CREATE;
    memory.Read(faceNormalArray, faceCount * 12);
  }
  // Further vectors have no item in these chunks: they are passed over.
  if (hasFurther) memory.Skip(vertexCount * 12);
  return reader.LeaveChunk(header);
}

void KestroIndexedMeshLODDefinition::DropEmptyChunks(KestroLODLevel& level) {
  std::vector<i64> renumbered(level.chunkCount, -1);
  ChunkArray chunks = ChunkArray::Make(0);
  MaterialArray materials = MaterialArray::Make(0);
  std::vector<KestroLODChunkInfo> info;
  for (u32 i = 0; i < level.chunkCount; ++i) {
    Qel::GeometryChunk* chunk = level.chunks.Get(i);
    if (!chunk || chunk->GetVertexCount() == 0 || chunk->GetFaceCount() == 0 ||
        chunk->GetMaxIndices() == 0) {
      continue;
    }
    renumbered[i] = chunks.Count();
    chunk->AddReference();
    chunks.Append(chunk);
    Qel::Material* material = level.materials.Get(i);
    if (material) material->AddReference();
    materials.Append(material);
    info.push_back(level.chunkInfo[i]);
  }
  for (std::vector<Qel::InfluenceChunkEntry>& entries : level.boneEntries) {
    std::erase_if(entries, [&](Qel::InfluenceChunkEntry& entry) {
      if (entry.chunk >= renumbered.size() || renumbered[entry.chunk] < 0) return true;
      entry.chunk = u32(renumbered[entry.chunk]);
      return false;
    });
  }
  level.chunks = chunks;
  level.materials = materials;
  level.chunkInfo = std::move(info);
  level.chunkCount = chunks.Count();
}

void KestroIndexedMeshLODDefinition::ApplyBoneInfluences() {
  if (influences_.empty()) return;
  // The base applies one table of entries to its own chunks: each level in turn is that.
  for (KestroLODLevel& level : levels_) {
    chunks_ = level.chunks;
    for (size_t b = 0; b < influences_.size(); ++b) {
      influences_[b].entries = b < level.boneEntries.size()
                                   ? level.boneEntries[b]
                                   : std::vector<Qel::InfluenceChunkEntry>();
    }
    KestroIndexedMeshDefinition::ApplyBoneInfluences();
  }
  for (Qel::InfluenceDefinition& bone : influences_) bone.entries.clear();
}

void KestroIndexedMeshLODDefinition::FinishLevels() {
  for (KestroLODLevel& level : levels_) {
    level.vertexTotal = level.faceTotal = 0;
    for (u32 i = 0; i < level.chunkCount; ++i) {
      if (const Qel::GeometryChunk* chunk = level.chunks.Get(i)) {
        level.vertexTotal += chunk->GetVertexCount();
        level.faceTotal += chunk->GetFaceCount();
      }
    }
  }
  levelCount_ = u32(levels_.size());
  const KestroLODLevel* last =
      switchDistances_.empty() ? nullptr : &levels_[switchDistances_.size() - 1];
  chunks_ = last ? last->chunks : ChunkArray::Make(0);
  materials_ = last ? last->materials : MaterialArray::Make(0);
  chunkCount_ = last ? last->chunkCount : 0;
  vertexTotal_ = last ? last->vertexTotal : 0;
  faceTotal_ = last ? last->faceTotal : 0;
  hardwareSkinning_ = last && last->hardwareSkinning;
  chunkNames_.clear();
  for (u32 i = 0; last && i < last->chunkCount; ++i) chunkNames_.push_back(last->chunkInfo[i].name);
}

void KestroIndexedMeshLODDefinition::ComputeLevelBounds() {
  ComputeBounds();
  if (vertexTotal_ == 0) boxMin_ = boxMax_ = Vector3();
  ComputeMipFactor();
  orientedBox_ = Qel::OrientedBox::FromBounds(boxMin_, boxMax_);
}

void KestroIndexedMeshLODDefinition::TakeCullMarkers() {
  const size_t length = std::strlen(kCullSuffix);
  for (KestroAttachment& attachment : attachments_) {
    Qel::String name(attachment.name.View());
    const size_t at = name.FindIgnoreCase(kCullSuffix);
    if (at == Qel::String::npos) continue;
    name.Erase(at, length);
    attachment.name = name.ToPString();
    cullList_.push_back(attachment.name);
  }
}

u32 KestroIndexedMeshLODDefinition::Save(const char* path) const {
  if (levels_.empty()) return RES_UNKNOWN;
  // The older file of that name stays whole until the new one is complete.
  WholeFileWriter out(path);
  if (!out.IsOpen()) return RES_FILE_OPEN_ERROR;
  // The material table: each material once, in the order of first use.
  std::vector<Qel::Material*> table;
  for (const KestroLODLevel& level : levels_) {
    for (u32 i = 0; i < level.chunkCount; ++i) {
      Qel::Material* material = level.materials.Get(i);
      if (material && std::find(table.begin(), table.end(), material) == table.end()) {
        table.push_back(material);
      }
    }
  }
  ChunkWriter writer(out.File());
  writer.BeginFile("LODM");
  WriteInfo(writer);
  WriteMaterialTable(writer, table);
  if (!influences_.empty()) {
    WriteBoneRecords(writer, "BONT", influences_);
  } else if (rootBone_) {
    WriteBoneRecords(writer, "RBOT", boneTree_);
  }
  if (!attachments_.empty()) WriteAttachments(writer);
  for (u32 l = 0; l < levels_.size(); ++l) WriteMesh(writer, l, table);
  return writer.EndFile() && out.Commit() ? RES_OK : RES_FILE_OPEN_ERROR;
}

void KestroIndexedMeshLODDefinition::WriteInfo(ChunkWriter& writer) const {
  writer.BeginChunk("INFO", 100);
  WriteVector(writer, position_);
  for (f32 value : {orientation_.x, orientation_.y, orientation_.z, orientation_.w}) {
    writer.WriteF32(value);
  }
  writer.WriteU32(u32(levels_.size()));
  writer.WriteU32(calcPoint_);
  for (f32 value : {offset_, multiplier_, animationCutOff_, renderCutOff_, attachmentCutOff_}) {
    writer.WriteF32(value);
  }
  writer.WriteU32(u32(namedMeshes_.size()));
  for (const KestroNamedMesh& named : namedMeshes_) {
    writer.WriteU32(named.level);
    writer.WritePaddedString(named.name.CStr());
    const u8 animated = named.animated ? 1 : 0;
    writer.WriteBlock(&animated, 1);
  }
  writer.EndChunk();
}

void KestroIndexedMeshLODDefinition::WriteMaterialTable(
    ChunkWriter& writer, const std::vector<Qel::Material*>& table) const {
  writer.BeginChunk("MATT", 100);
  writer.WriteU32(u32(table.size()));
  for (const Qel::Material* material : table) WriteMaterial(writer, *material);
  writer.EndChunk();
}

void KestroIndexedMeshLODDefinition::WriteMaterial(ChunkWriter& writer,
                                                   const Qel::Material& material) const {
  writer.BeginChunk("MATL", 103);
  // A material made under its plain kind keeps the name it was asked for.
  const Qel::PString& name =
      material.GetRequestName().IsEmpty() ? material.GetName() : material.GetRequestName();
  writer.WritePaddedString(name.CStr());
  writer.WriteU32(material.GetPropertyCount());
  for (u32 k = 0; k < material.GetPropertyCount(); ++k) {
    writer.WritePaddedString(material.GetProperty(k).first.CStr());
    writer.WritePaddedString(material.GetProperty(k).second.CStr());
  }
  writer.WriteU32(material.GetFlags() & 1);
  writer.WriteF32(material.GetMaterialFloat());
  const Qel::DisplayMaterial& display = material.GetDisplayMaterial();
  for (const Qel::ColourValue& colour : {display.diffuse, display.ambient, display.specular}) {
    writer.WriteF32(colour.r);
    writer.WriteF32(colour.g);
    writer.WriteF32(colour.b);
  }
  writer.WriteF32(display.emissive.r * 2.0f);
  writer.WriteF32(display.emissive.g * 2.0f);
  writer.WriteF32(display.emissive.b * 2.0f);
  writer.WriteF32(display.power);
  const std::vector<KestroMeshTexture>& textures = RememberedTextures(&material);
  writer.WriteU32(u32(textures.size()));
  for (const KestroMeshTexture& texture : textures) {
    writer.WriteU32(texture.stage);
    writer.WritePaddedString(Qel::String(FilePart(texture.path.View())).CStr());
    writer.WriteF32(texture.amount);
  }
  writer.EndChunk();
}

void KestroIndexedMeshLODDefinition::WriteBoneRecords(
    ChunkWriter& writer, const char* tag, const std::vector<Qel::InfluenceDefinition>& records) {
  writer.BeginChunk(tag, 100);
  writer.WriteU32(u32(records.size()));
  for (const Qel::InfluenceDefinition& bone : records) {
    writer.WritePaddedString(bone.name.CStr());
    writer.WritePaddedString(bone.parentName.CStr());
    WriteVector(writer, bone.position);
    WriteMatrix(writer, bone.orientation);
  }
  writer.EndChunk();
}

void KestroIndexedMeshLODDefinition::WriteAttachments(ChunkWriter& writer) const {
  writer.BeginChunk("ATCH", 100);
  writer.WriteU32(u32(attachments_.size()));
  for (const KestroAttachment& attachment : attachments_) {
    Qel::String name(attachment.name.View());
    if (std::find(cullList_.begin(), cullList_.end(), attachment.name) != cullList_.end()) {
      name += kCullSuffix;
    }
    writer.WritePaddedString(name.CStr());
    WriteMatrix(writer, attachment.orientation);
    WriteVector(writer, attachment.position);
  }
  writer.EndChunk();
}

void KestroIndexedMeshLODDefinition::WriteMesh(ChunkWriter& writer, u32 index,
                                               const std::vector<Qel::Material*>& table) const {
  const KestroLODLevel& level = levels_[index];
  // The most bones naming one vertex, and the most bones touching one chunk.
  u32 mostVertexInfluences = 0, mostChunkBones = 0;
  for (u32 c = 0; c < level.chunkCount; ++c) {
    const Qel::GeometryChunk* chunk = level.chunks.Get(c);
    std::vector<u32> perVertex(chunk ? chunk->GetVertexCount() : 0, 0);
    u32 bones = 0;
    for (const std::vector<Qel::InfluenceChunkEntry>& entries : level.boneEntries) {
      bool touches = false;
      for (const Qel::InfluenceChunkEntry& entry : entries) {
        if (entry.chunk != c) continue;
        touches = true;
        for (const Qel::InfluenceWeight& weight : entry.weights) {
          if (weight.vertex < perVertex.size()) {
            mostVertexInfluences = std::max(mostVertexInfluences, ++perVertex[weight.vertex]);
          }
        }
      }
      bones += touches ? 1 : 0;
    }
    mostChunkBones = std::max(mostChunkBones, bones);
  }
  writer.BeginChunk("MESH", 100);
  writer.WriteU32(level.chunkCount);
  writer.WriteU32(mostVertexInfluences);
  writer.WriteU32(mostChunkBones);
  writer.WriteF32(index < switchDistances_.size() ? switchDistances_[index] : kNamedLevelDistance);
  if (!influences_.empty()) WriteLevelBones(writer, level);
  for (u32 c = 0; c < level.chunkCount; ++c) {
    const Qel::Material* material = level.materials.Get(c);
    const auto at = std::find(table.begin(), table.end(), material);
    WriteLevelChunk(writer, level, c, u32(at - table.begin()));
  }
  writer.EndChunk();
}

void KestroIndexedMeshLODDefinition::WriteLevelBones(ChunkWriter& writer,
                                                     const KestroLODLevel& level) const {
  writer.BeginChunk("LODB", 100);
  for (size_t b = 0; b < influences_.size(); ++b) {
    const std::vector<Qel::InfluenceChunkEntry> none;
    const auto& entries = b < level.boneEntries.size() ? level.boneEntries[b] : none;
    writer.WriteU32(u32(entries.size()));
    for (const Qel::InfluenceChunkEntry& entry : entries) {
      writer.WriteU32(entry.chunk);
      writer.WriteU32(u32(entry.weights.size()));
      for (const Qel::InfluenceWeight& weight : entry.weights) {
        writer.WriteU32(weight.vertex);
        for (f32 value : weight.weights) writer.WriteF32(value);
      }
    }
  }
  writer.EndChunk();
}

void KestroIndexedMeshLODDefinition::WriteLevelChunk(ChunkWriter& writer,
                                                     const KestroLODLevel& level, u32 chunk,
                                                     u32 material) const {
  writer.BeginChunk("LCHK", 100);
  writer.WriteU32(chunk);
  writer.WriteU32(material);
  WriteGeometry(writer, level, chunk);
  const Qel::GeometryChunk* geometry = level.chunks.Get(chunk);
  if (const std::vector<u32>* neighbours = geometry ? geometry->GetFaceNeighborArray() : nullptr) {
    writer.BeginChunk("NINF", 100);
    for (u32 entry : *neighbours) writer.WriteU32(entry);
    writer.EndChunk();
  }
  writer.EndChunk();
}

void KestroIndexedMeshLODDefinition::WriteGeometry(ChunkWriter& writer, const KestroLODLevel& level,
                                                   u32 index) const {
  Qel::GeometryChunk* chunk = level.chunks.Get(index);
  const KestroLODChunkInfo& info = level.chunkInfo[index];
  const u32 flags = chunk->GetFlags() & kWrittenChunkFlags;
  const u32 vertexCount = chunk->GetVertexCount();
  const u32 faceCount = chunk->GetFaceCount();
  const f32* faceNormals = chunk->GetFaceNormalArray();
  const bool writeFaceNormals = faceNormals && faceCount > 0 && !(flags & 3);
  writer.BeginChunk("GEOM", 201);
  writer.WriteU32(flags);
  writer.WriteU32(0);  // no further vectors
  writer.WriteF32(info.scalar);
  writer.WriteU32(vertexCount);
  writer.WriteU32(faceCount);
  writer.WriteU32(chunk->GetMaxIndices());
  writer.WriteU32(writeFaceNormals ? 1 : 0);
  writer.WriteU32(info.influences);
  writer.WritePaddedString(info.name.CStr());
  const Qel::VertexItemPtr positions = chunk->GetItem(Qel::kItemPosition);
  const Qel::VertexItemPtr uvs = chunk->GetItem(Qel::kItemTexture0);
  const Qel::VertexItemPtr normals = chunk->GetItem(Qel::kItemNormal);
  for (u32 i = 0; i < vertexCount; ++i) {
    WriteVector(writer, positions.IsValid() ? positions.Get<Vector3>(i) : Vector3());
    const auto uv = uvs.IsValid() ? uvs.Get<std::array<f32, 2>>(i) : std::array<f32, 2>{};
    writer.WriteF32(uv[0]);
    writer.WriteF32(uv[1]);
  }
  const u16* indices = chunk->GetIndexArray();
  for (u32 k = 0; k < chunk->GetMaxIndices(); ++k) writer.WriteU16(indices[k]);
  for (u32 i = 0; i < vertexCount; ++i) {
    WriteVector(writer, normals.IsValid() ? normals.Get<Vector3>(i) : Vector3());
  }
  if (writeFaceNormals) writer.WriteBlock(faceNormals, faceCount * 12);
  writer.EndChunk();
}
