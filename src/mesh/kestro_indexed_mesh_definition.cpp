#include "mesh/kestro_indexed_mesh_definition.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/kq_axis_box_tree.h"
#include "mesh/mesh_load_result.h"
#include "mesh/overlapped_resource_system.h"
#include "platform/byte_order.h"
#include "qel/config_parser.h"
#include "qel/resource_database.h"
#include "qelgfx/display.h"
#include "qelgfx/material_manager.h"

using Qel::Vector3;
using Presence = ChunkReader::Presence;
using EndCheck = ChunkReader::EndCheck;

bool KestroIndexedMeshDefinition::s_forceHardwareSkinning = false;

namespace {

constexpr f32 kFloatMax = 3.4028235e38f;

constexpr u32 kMinChunkBytes = 16;  // a CHNK header and its unused word
constexpr u32 kMinBoneBytes = 52;         // header, name, two vectors, a float, the child count
constexpr u32 kAttachmentBytes = 56 - 8;  // matrix and position, after the name
constexpr u32 kNoNeighbour = 0xFFFFFFFF;

bool IsTrianglePrimitive(u32 primitive) { return primitive <= 2; }

// The low byte of the weight times 255, truncated toward zero; out-of-range weights give 0.
u32 WeightByte(f32 weight) {
  const f32 scaled = weight * 255.0f;
  if (!(scaled > -2147483648.0f && scaled < 2147483648.0f)) return 0;
  return u32(i32(scaled)) & 0xFF;
}

Qel::Quaternion QuaternionFromMatrix(const Qel::Matrix& matrix) {
  Qel::Quaternion q;
  q.Set(matrix);
  return q;
}

Vector3 LoadVector(const u8* at) {
  return {ByteOrder::LoadLEF32(at), ByteOrder::LoadLEF32(at + 4), ByteOrder::LoadLEF32(at + 8)};
}

}  // namespace

// The mip factor's sums. The roots and divisions are most of the load's arithmetic, so they are
// taken a batch of triangles at a time, four to a vector, where they overlap instead of waiting on
// each other. Every lane rounds as the one-at-a-time form would, the sums are added in triangle
// order, and the largest ratio does not depend on order (a NaN ratio never wins), so the figure is
// the same whatever the batching.
class MipFactorSum {
 public:
  void Add(f32 world1, f32 world2, f32 texture1, f32 texture2) {
    world1_[count_] = world1;
    world2_[count_] = world2;
    texture1_[count_] = texture1;
    texture2_[count_] = texture2;
    if (++count_ == kBatch) Flush();
  }
  // The smaller of the largest ratio and 8 times the area-weighted mean ratio.
  f32 Finish() {
    Flush();
    const f32 mean = weightTotal_ > 0.0 ? f32(weightedSum_ / weightTotal_) : 0.0f;
    return std::min(largest_, 8.0f * mean);
  }

 private:
  static constexpr u32 kBatch = 64;

  void Flush() {
    // Unused lanes of the last group divide 1 by 1.
    for (u32 k = count_; k < (count_ + 3) / 4 * 4; ++k) {
      world1_[k] = world2_[k] = texture1_[k] = texture2_[k] = 1.0f;
    }
#if defined(__SSE2__)
    __m128 largest = _mm_set1_ps(largest_);
    for (u32 k = 0; k < count_; k += 4) {
      const __m128 world1 = _mm_load_ps(world1_ + k), world2 = _mm_load_ps(world2_ + k);
      const __m128 r1 = _mm_sqrt_ps(_mm_div_ps(world1, _mm_load_ps(texture1_ + k)));
      const __m128 r2 = _mm_sqrt_ps(_mm_div_ps(world2, _mm_load_ps(texture2_ + k)));
      _mm_store_ps(ratio1_ + k, r1);
      _mm_store_ps(ratio2_ + k, r2);
      _mm_store_ps(area_ + k,
                   _mm_mul_ps(_mm_set1_ps(0.5f), _mm_sqrt_ps(_mm_mul_ps(world1, world2))));
      // The lanes past the count hold ratio 1; they are kept out of the largest below.
      if (k + 4 <= count_) largest = _mm_max_ps(r2, _mm_max_ps(r1, largest));
    }
    alignas(16) f32 lanes[4];
    _mm_store_ps(lanes, largest);
    for (f32 lane : lanes) largest_ = lane > largest_ ? lane : largest_;
    for (u32 k = count_ / 4 * 4; k < count_; ++k) {
      largest_ = ratio1_[k] > largest_ ? ratio1_[k] : largest_;
      largest_ = ratio2_[k] > largest_ ? ratio2_[k] : largest_;
    }
#else
    for (u32 k = 0; k < count_; ++k) {
      ratio1_[k] = std::sqrt(world1_[k] / texture1_[k]);
      ratio2_[k] = std::sqrt(world2_[k] / texture2_[k]);
      area_[k] = 0.5f * std::sqrt(world1_[k] * world2_[k]);
      largest_ = ratio1_[k] > largest_ ? ratio1_[k] : largest_;
      largest_ = ratio2_[k] > largest_ ? ratio2_[k] : largest_;
    }
#endif
    for (u32 k = 0; k < count_; ++k) {
      weightedSum_ += f64(area_[k]) * (ratio1_[k] + ratio2_[k]);
      weightTotal_ += 2.0 * area_[k];
    }
    count_ = 0;
  }

  alignas(16) f32 world1_[kBatch] = {};
  alignas(16) f32 world2_[kBatch] = {};
  alignas(16) f32 texture1_[kBatch] = {};
  alignas(16) f32 texture2_[kBatch] = {};
  alignas(16) f32 ratio1_[kBatch] = {};
  alignas(16) f32 ratio2_[kBatch] = {};
  alignas(16) f32 area_[kBatch] = {};
  u32 count_ = 0;
  f64 weightedSum_ = 0.0;
  f64 weightTotal_ = 0.0;
  f32 largest_ = 0.0f;
};

// The collision tree's view of the definition's triangles.
class CollisionGeometrySharingInterface : public KQAxisBoxTreeExternalGeometry {
 public:
  explicit CollisionGeometrySharingInterface(KestroIndexedMeshDefinition& definition)
      : definition_(definition) {}
  void GetTriangle(u32 itemId, Vector3 corners[3]) const override {
    Fetch(definition_.GetChunks().Get(itemId >> 16), itemId & 0xFFFF, corners);
  }
  static void Fetch(Qel::GeometryChunk* chunk, u32 first, Vector3 corners[3]) {
    for (int k = 0; k < 3; ++k) corners[k] = Vector3();
    if (!chunk) return;
    const Qel::VertexItemPtr positions = chunk->GetItem(Qel::kItemPosition);
    const u16* indices = chunk->GetIndexArray();
    if (!positions.IsValid() || !indices || first + 2 >= chunk->GetMaxIndices()) return;
    for (u32 k = 0; k < 3; ++k) {
      const u32 v = indices[first + k];
      if (v < chunk->GetVertexCount()) corners[k] = positions.Get<Vector3>(v);
    }
  }

 private:
  KestroIndexedMeshDefinition& definition_;
};

u32 KestroIndexedMeshDefinition::ReadVector(Qel::MemoryFile& memory, Vector3& v) {
  memory.ReadF32(v.x);
  memory.ReadF32(v.y);
  memory.ReadF32(v.z);
  return memory.HasShortRead() ? RES_FILE_FORMAT_ERROR : RES_OK;
}

void KestroIndexedMeshDefinition::ReadPlacement(Qel::MemoryFile& memory) {
  ReadVector(memory, position_);
  memory.ReadF32(orientation_.x);
  memory.ReadF32(orientation_.y);
  memory.ReadF32(orientation_.z);
  memory.ReadF32(orientation_.w);
}

void KestroIndexedMeshDefinition::ReadBoneRecord(Qel::MemoryFile& memory,
                                                 Qel::InfluenceDefinition& bone) {
  ReadPaddedString(memory, bone.name);
  ReadPaddedString(memory, bone.parentName);
  ReadVector(memory, bone.position);
  f32 nine[9] = {};
  memory.Read(nine, sizeof nine);
  bone.orientation = Qel::Matrix::FromFloats(nine);
}

KestroIndexedMeshDefinition::KestroIndexedMeshDefinition(const KestroMeshSettings& settings)
    : settings_(settings) {
  orientation_.Normalise();
}

KestroIndexedMeshDefinition::~KestroIndexedMeshDefinition() {
  // The background build reads the chunks: it ends before they go.
  pendingTree_.reset();
  for (KestroPendingMaterial& pending : pendingMaterials_) Qel::ReleaseAndClear(pending.material);
}

void KestroIndexedMeshDefinition::SetLoadContext(Qel::Display* display,
                                                 Qel::MaterialManager* manager,
                                                 KestroGeometryBaseResource* resource,
                                                 u32 defaultColour) {
  display_ = display;
  manager_ = manager;
  resource_ = resource;
  defaultColour_ = defaultColour;
}

Qel::StandardChunkHint KestroIndexedMeshDefinition::MakeChunkHint(u32 textureSets) const {
  Qel::StandardChunkHint hint(2, 0);
  if (settings_.softwareLighting.IsSet()) hint.bits |= Qel::StandardChunkHint::kSoftwareLighting;
  hint.vertexUsage = settings_.dynamicVertex.present ? settings_.dynamicVertex.value : 2;
  hint.indexUsage = settings_.dynamicIndex.present ? settings_.dynamicIndex.value : 2;
  hint.textureSets = textureSets;
  hint.database = resource_ ? resource_->GetDatabase() : nullptr;
  return hint;
}

bool KestroIndexedMeshDefinition::InitialiseBlendData(Qel::GeometryChunk& chunk, u32 weights,
                                                      bool floatWeights) const {
  if (!hardwareSkinning_ || weights == 0) return true;
  // Float weights take the item of the file's weight count, packed ones the byte item.
  const u32 w = std::clamp(weights, 1u, 4u);
  const Qel::VertexItemPtr blend = chunk.GetUDwordArray(Qel::kItemBlendIndices);
  const Qel::VertexItemPtr weightItem =
      chunk.GetItem(floatWeights ? Qel::kItemWeight1 + w - 1 : Qel::kItemPackedWeights);
  if (!blend.IsValid() || !weightItem.IsValid()) return false;
  const f32 first[4] = {1.0f, 0.0f, 0.0f, 0.0f};
  for (u32 i = 0; i < chunk.GetVertexCount(); ++i) {
    if (floatWeights) {
      std::memcpy(weightItem.data + size_t(i) * weightItem.stride, first, 4 * w);
    } else {
      weightItem.Set<u32>(i, 0xFF000000u);
    }
    blend.Set<u32>(i, 0);
  }
  return true;
}

const Qel::PString& KestroIndexedMeshDefinition::GetChunkName(u32 chunk) const {
  static const Qel::PString kNone;
  return chunk < chunkNames_.size() ? chunkNames_[chunk] : kNone;
}

u32 KestroIndexedMeshDefinition::Load(Qel::Display* display, Qel::MaterialManager* manager,
                                      KestroGeometryBaseResource* resource, u32 /*argument*/,
                                      u32 defaultColour) {
  if (!manager) return RES_NO_MATERIAL_MANAGER;
  SetLoadContext(display, manager, resource, defaultColour);
  displayCapability_ = display && display->GetCapability(kCapabilityMatrixPalette);
  if (displayCapability_) matrixLimit_ = 24;
  if (memory_.GetSize() == 0) return RES_FILE_OPEN_ERROR;
  ChunkReader reader(memory_);
  if (u32 code = ReadHeadAndChunks(reader)) return code;
  if (reader.BytesLeft() > 0) ReadSkeletonOrInfluences(reader);
  if (reader.BytesLeft() > 0) ReadAttachments(reader);
  return FinishLoad(reader, true);
}

u32 KestroIndexedMeshDefinition::ReadHeadAndChunks(ChunkReader& reader) {
  if (u32 code = reader.OpenBody("IDXM")) return code;
  if (u32 code = ReadInfo(reader)) return code;
  chunks_ = ChunkArray::Make(chunkCount_);
  materials_ = MaterialArray::Make(chunkCount_);
  chunkNames_.assign(chunkCount_, Qel::PString());
  loadLow_ = Vector3(kFloatMax, kFloatMax, kFloatMax);
  loadHigh_ = Vector3(-kFloatMax, -kFloatMax, -kFloatMax);
  loadMipSum_ = std::make_unique<MipFactorSum>();
  for (u32 i = 0; i < chunkCount_;) {
    if (u32 code = ReadChunk(reader, i)) return code;
    Qel::GeometryChunk* chunk = chunks_.Get(i);
    if (!chunk || chunk->GetVertexCount() == 0 || chunk->GetMaxIndices() == 0 ||
        chunk->GetFaceCount() == 0) {
      DropLastChunk();
    } else {
      FoldLoadedChunk(*chunk);  // later steps move no position or texture coordinate
      ++i;
    }
  }
  return RES_OK;
}

void KestroIndexedMeshDefinition::DropLastChunk() {
  chunks_.RemoveLast();
  materials_.RemoveLast();
  chunkNames_.pop_back();
  --chunkCount_;
}

u32 KestroIndexedMeshDefinition::FinishLoad(ChunkReader& reader, bool mipFactor) {
  vertexTotal_ = faceTotal_ = 0;
  for (u32 i = 0; i < chunks_.Count(); ++i) {
    if (Qel::GeometryChunk* chunk = chunks_.Get(i)) {
      vertexTotal_ += chunk->GetVertexCount();
      faceTotal_ += chunk->GetFaceCount();
    }
  }
  if (u32 code = reader.CloseBody()) return code;
  if (!NeighboursInRange()) return RES_FILE_FORMAT_ERROR;
  BuildBonesFromInfluences();
  ApplyBoneInfluences();
  if (mipFactor && loadMipSum_) {
    boxMin_ = loadLow_;
    boxMax_ = loadHigh_;
    mipFactor_ = loadMipSum_->Finish();
  } else {
    ComputeBounds();
  }
  loadMipSum_.reset();
  orientedBox_ = Qel::OrientedBox::FromBounds(boxMin_, boxMax_);
  memory_.Clear();
  return RES_OK;
}

bool KestroIndexedMeshDefinition::NeighboursInRange() const {
  for (u32 i = 0; i < chunks_.Count(); ++i) {
    const Qel::GeometryChunk* chunk = chunks_.Get(i);
    const auto* neighbours = chunk ? chunk->GetFaceNeighborArray() : nullptr;
    if (!neighbours) continue;
    for (u32 entry : *neighbours) {
      if (entry == kNoNeighbour) continue;
      const Qel::GeometryChunk* other = chunks_.Get(entry >> 16);
      if (!other || (entry & 0xFFFF) >= other->GetFaceCount()) return false;
    }
  }
  return true;
}

u32 KestroIndexedMeshDefinition::ReadInfo(ChunkReader& reader) {
  ChunkHeader header;
  if (u32 code = reader.EnterChunk("INFO", Presence::kMandatory, 100, 104, header)) return code;
  Qel::MemoryFile& memory = reader.Memory();
  ReadPlacement(memory);
  orientation_.Normalise();
  u32 count = 0;
  memory.ReadU32(count);
  if (header.version >= 102) {
    memory.ReadU32(influencesPerVertex_);
    memory.ReadU32(matrixCount_);
  }
  if (header.version >= 104) memory.Skip(6 * 4);
  if (u32 code = reader.LeaveChunk(header)) return code;
  // Each chunk takes a CHNK of its own in what follows.
  if (!reader.FitsRecords(count, kMinChunkBytes)) return RES_FILE_FORMAT_ERROR;
  chunkCount_ = count;
  return RES_OK;
}

u32 KestroIndexedMeshDefinition::ReadChunk(ChunkReader& reader, u32 index) {
  ChunkHeader header;
  if (u32 code = reader.EnterChunk("CHNK", Presence::kMandatory, 100, 100, header)) return code;
  u32 unused = 0;
  reader.Memory().ReadU32(unused);
  if (u32 code = ReadChunkMaterial(reader, index)) return code;
  if (u32 code = ReadChunkGeometry(reader, index)) return code;
  if (reader.NextTagIs("NINF")) {
    if (u32 code = ReadChunkNeighbours(reader, index)) return code;
  }
  // Bytes after GEOM (and NINF) are left for the next reader.
  return reader.LeaveChunk(header, EndCheck::kNone);
}

u32 KestroIndexedMeshDefinition::ReadMaterialFields(ChunkReader& reader, Qel::String& name,
                                                    KestroMaterialDescription& description) const {
  Qel::MemoryFile& memory = reader.Memory();
  ReadPaddedString(memory, name);
  u32 propertyCount = 0;
  memory.ReadU32(propertyCount);
  if (!reader.FitsRecords(propertyCount, 2 * kMinPaddedString)) return RES_FILE_FORMAT_ERROR;
  for (u32 k = 0; k < propertyCount && !memory.HasShortRead(); ++k) {
    Qel::String key, value;
    ReadPaddedString(memory, key);
    ReadPaddedString(memory, value);
    description.properties.emplace_back(key, value);
  }
  u32 flag = 0;
  memory.ReadU32(flag);
  description.flag = flag != 0;
  memory.ReadF32(description.materialFloat);
  Qel::DisplayMaterial& display = description.display;
  for (Qel::ColourValue* colour :
       {&display.diffuse, &display.ambient, &display.specular, &display.emissive}) {
    memory.ReadF32(colour->r);
    memory.ReadF32(colour->g);
    memory.ReadF32(colour->b);
  }
  memory.ReadF32(display.power);
  u32 textureCount = 0;
  memory.ReadU32(textureCount);
  if (!reader.FitsRecords(textureCount, 8 + kMinPaddedString)) return RES_FILE_FORMAT_ERROR;
  const Qel::String folder =
      MeshFolderOf(resource_ ? resource_->GetName().View() : std::string_view());
  for (u32 k = 0; k < textureCount && !memory.HasShortRead(); ++k) {
    KestroMeshTexture texture;
    Qel::String path;
    memory.ReadU32(texture.stage);
    ReadPaddedString(memory, path);
    memory.ReadF32(texture.amount);
    texture.path = PlaceTextureInFolder(folder.View(), path.View());
    description.textures.push_back(texture);
  }
  // The stored emissive colour is twice the material's.
  display.emissive = display.emissive.Scaled(0.5f);
  return RES_OK;
}

u32 KestroIndexedMeshDefinition::ReadChunkMaterial(ChunkReader& reader, u32 index) {
  ChunkHeader header;
  if (u32 code = reader.EnterChunk("MATL", Presence::kMandatory, 102, 103, header)) return code;
  KestroMaterialDescription description;
  Qel::String name;
  if (u32 code = ReadMaterialFields(reader, name, description)) return code;
  const Qel::String folder =
      MeshFolderOf(resource_ ? resource_->GetName().View() : std::string_view());
  Qel::DisplayMaterial& display = description.display;
  if (u32 code = reader.LeaveChunk(header)) return code;
  if (header.version == 102) {
    display.specular = Qel::ColourValue{0.0f, 0.0f, 0.0f, 0.0f};
    display.power = 10.0f;
  } else if (display.power < 10.0f) {
    display.power = 10.0f;
  }
  Qel::String asked = resource_ ? Qel::String(resource_->GetOwnerName()) : Qel::String();
  asked += "*";
  asked += folder;
  asked += "*";
  asked += name;
  description.materialName = asked.ToPString();
  return CreateMaterialFromDescription(manager_, resource_, index, description);
}

u32 KestroIndexedMeshDefinition::ReadChunkGeometry(ChunkReader& reader, u32 index) {
  ChunkHeader header;
  if (u32 code = reader.EnterChunk("GEOM", Presence::kMandatory, 101, 201, header)) return code;
  const u32 version = header.version;
  Qel::MemoryFile& memory = reader.Memory();
  u32 primitiveCode = 0, extraFlags = 0, vertexCount = 0, primitiveCount = 0, indexCount = 0,
      faceCount = 0, textureSets = 1, weights = 0;
  f32 hintFloat = 0.0f;
  memory.ReadU32(primitiveCode);
  if (version == 201) memory.ReadU32(extraFlags);
  memory.ReadF32(hintFloat);
  memory.ReadU32(vertexCount);
  memory.ReadU32(primitiveCount);
  memory.ReadU32(indexCount);
  memory.ReadU32(faceCount);
  if (version >= 103 && version <= 199) memory.ReadU32(textureSets);
  if (version >= 102) memory.ReadU32(weights);
  Qel::String chunkName;
  if (version >= 200) ReadPaddedString(memory, chunkName);
  if (memory.HasShortRead()) return RES_FILE_FORMAT_ERROR;

  u32 primitive = 0;
  if (!Qel::GeometryChunk::PrimitiveFromFileCode(primitiveCode & 0x1F, primitive)) {
    return RES_FILE_FORMAT_ERROR;
  }
  if (textureSets > kMaxTextureSets) return RES_FILE_FORMAT_ERROR;
  // Everything the counts promise must be in the chunk before the chunk is made.
  const u64 v = vertexCount;
  const bool colours = version >= 104 && version <= 199;
  const bool further = version == 201 && (extraFlags & 1);
  const u64 needed = v * (12 + 8 * u64(textureSets)) + u64(indexCount) * 2 + v * 12 +
                     (colours ? v * 4 : 0) + u64(faceCount) * 12 + (further ? v * 12 : 0);
  if (needed > reader.BytesLeft()) return RES_FILE_FORMAT_ERROR;
  // An empty chunk is dropped once read, so its counts promise nothing to draw.
  const bool empty = vertexCount == 0 || indexCount == 0 || faceCount == 0;
  if (!empty && IsTrianglePrimitive(primitive)) {
    const u32 most = primitive == 0 ? indexCount / 3 : (indexCount >= 2 ? indexCount - 2 : 0);
    if (primitiveCount > most || faceCount < primitiveCount) return RES_FILE_FORMAT_ERROR;
  }

  Qel::StandardChunkHint hint = MakeChunkHint(textureSets);
  hint.hintFloat = hintFloat;
  // Every item of a generic record is written below (position, normal, colour, each texture set
  // and, for hardware skinning, the blend data), then every index and face normal. A read that
  // stops part way gives the chunk up.
  hint.recordsFilledByCaller = true;
  if (version >= 102 && influencesPerVertex_ > 0 && influencesPerVertex_ <= kInfluenceLimit &&
      (matrixCount_ <= matrixLimit_ || s_forceHardwareSkinning) &&
      (displayCapability_ || s_forceHardwareSkinning) && !settings_.softwareAnimation.IsSet()) {
    hardwareSkinning_ = true;
  }
  const bool floatWeights = settings_.hardwareAnimationFloatPrecision.IsSet();
  if (weights > 0) {
    hint.bits |= Qel::StandardChunkHint::kWeights;
    if (hardwareSkinning_) {
      hint.influenceCount = 4;
      hint.matrixCount = matrixLimit_;
      if (floatWeights) hint.bits |= Qel::StandardChunkHint::kFloatWeights;
    } else {
      hint.bits |= Qel::StandardChunkHint::kSoftwareSkinning;
    }
  }
  if (index < chunkNames_.size()) chunkNames_[index] = chunkName.ToPString();

  Qel::Material* material = materials_.Get(index);
  Qel::GeometryChunk* chunk =
      material ? material->CreateGeometryChunk(vertexCount, primitiveCount, indexCount, faceCount,
                                               primitive, hint)
               : nullptr;
  if (!chunk) return RES_FILE_FORMAT_ERROR;
  chunks_.Set(index, chunk);

  const Qel::VertexItemPtr positions = chunk->GetItem(Qel::kItemPosition);
  if (vertexCount > 0 &&
      (!InitialiseBlendData(*chunk, weights, floatWeights) || !positions.IsValid())) {
    chunks_.Set(index, nullptr);  // its records were never written
    return RES_FAIL_CHUNK_CREATE;
  }
  // The sizes were checked against the chunk above: the arrays are read straight from the file.
  const u8* at = memory.GetCursor();
  const Qel::VertexItemPtr colour = chunk->GetItem(Qel::kItemColour0);
  Qel::VertexItemPtr sets[kMaxTextureSets];
  for (u32 t = 0; t < textureSets; ++t) sets[t] = chunk->GetItem(Qel::kItemTexture0 + t);
  for (u32 i = 0; i < vertexCount; ++i, at += 12 + 8 * textureSets) {
    positions.Set(i, LoadVector(at));
    if (colour.IsValid()) colour.Set<u32>(i, defaultColour_);
    for (u32 t = 0; t < textureSets; ++t) {
      const f32 uv[2] = {ByteOrder::LoadLEF32(at + 12 + 8 * t),
                         ByteOrder::LoadLEF32(at + 16 + 8 * t)};
      if (sets[t].IsValid()) sets[t].Set(i, uv);
    }
  }
  u16* indices = chunk->GetIndexArray();
  if (indexCount > 0 && !indices) {
    chunks_.Set(index, nullptr);
    return RES_FAIL_CHUNK_CREATE;
  }
  for (u32 k = 0; k < indexCount; ++k, at += 2) {
    indices[k] = ByteOrder::LoadLE16(at);
    if (indices[k] >= vertexCount) {
      chunks_.Set(index, nullptr);  // its normals were never read
      return RES_FILE_FORMAT_ERROR;
    }
  }
  const Qel::VertexItemPtr normals = chunk->GetItem(Qel::kItemNormal);
  for (u32 i = 0; i < vertexCount; ++i, at += 12) {
    if (normals.IsValid()) normals.Set(i, LoadVector(at));
  }
  for (u32 i = 0; colours && i < vertexCount; ++i, at += 4) {
    if (colour.IsValid()) colour.Set(i, ByteOrder::LoadLE32(at));
  }
  f32* faceNormals = chunk->GetFaceNormalArray();
  if (faceCount > 0 && !faceNormals) {
    chunks_.Set(index, nullptr);
    return RES_FAIL_CHUNK_CREATE;
  }
  for (u32 k = 0; k < faceCount * 3; ++k, at += 4) faceNormals[k] = ByteOrder::LoadLEF32(at);
  memory.Skip(u32(at - memory.GetCursor()));
  // Further vectors (version 201) have no item in these chunks; the seek passes them.
  return reader.LeaveChunk(header, EndCheck::kSeekToEnd);
}

u32 KestroIndexedMeshDefinition::ReadChunkNeighbours(ChunkReader& reader, u32 index) {
  ChunkHeader header;
  if (u32 code = reader.EnterChunk("NINF", Presence::kMandatory, 100, 100, header)) return code;
  Qel::GeometryChunk* chunk = chunks_.Get(index);
  const u32 faces = chunk ? chunk->GetFaceCount() : 0;
  if (!reader.FitsRecords(faces, 12)) return RES_FILE_FORMAT_ERROR;
  if (faces > 0) {
    auto neighbours = std::make_shared<std::vector<u32>>(size_t(faces) * 3);
    for (u32& entry : *neighbours) reader.Memory().ReadU32(entry);
    chunk->SetFaceNeighborArray(std::move(neighbours));
  }
  return reader.LeaveChunk(header, EndCheck::kNone);
}

u32 KestroIndexedMeshDefinition::ReadSkeletonOrInfluences(ChunkReader& reader) {
  ChunkHeader header;
  if (reader.NextTagIs("SKEL")) {
    if (u32 code = reader.EnterChunk("SKEL", Presence::kMandatory, 100, 100, header)) return code;
    if (u32 code = ReadBone(reader, nullptr, 0)) return code;
    return reader.LeaveChunk(header);
  }
  if (!reader.NextTagIs("INFL")) return RES_OK;
  if (u32 code = reader.EnterChunk("INFL", Presence::kMandatory, 100, 100, header)) return code;
  Qel::MemoryFile& memory = reader.Memory();
  u32 boneCount = 0;
  memory.ReadU32(boneCount);
  if (boneCount >= kMaxInfluenceBones) boneCount = 0;
  if (!reader.FitsRecords(boneCount, 2 * kMinPaddedString + 12 + 36 + 4)) {
    return RES_FILE_FORMAT_ERROR;
  }
  std::vector<Qel::InfluenceDefinition> table(boneCount);
  for (Qel::InfluenceDefinition& bone : table) {
    ReadBoneRecord(memory, bone);
    u32 entryCount = 0;
    memory.ReadU32(entryCount);
    if (memory.HasShortRead() || !reader.FitsRecords(entryCount, 8)) {
      return RES_FILE_FORMAT_ERROR;
    }
    for (u32 e = 0; e < entryCount; ++e) {
      Qel::InfluenceChunkEntry entry;
      u32 weightCount = 0;
      memory.ReadU32(entry.chunk);
      memory.ReadU32(weightCount);
      if (memory.HasShortRead() || !reader.FitsRecords(weightCount, kWeightRecordBytes)) {
        return RES_FILE_FORMAT_ERROR;
      }
      if (weightCount == 0) continue;
      entry.weights.resize(weightCount);
      const u8* at = memory.GetCursor();
      if constexpr (std::endian::native == std::endian::little &&
                    sizeof(Qel::InfluenceWeight) == kWeightRecordBytes) {
        // The records are the file's bytes as they stand.
        std::memcpy(entry.weights.data(), at, size_t(weightCount) * kWeightRecordBytes);
      } else {
        for (Qel::InfluenceWeight& weight : entry.weights) {
          weight.vertex = ByteOrder::LoadLE32(at);
          for (u32 k = 0; k < 4; ++k) weight.weights[k] = ByteOrder::LoadLEF32(at + 4 + 4 * k);
          at += kWeightRecordBytes;
        }
      }
      memory.Skip(weightCount * kWeightRecordBytes);
      bone.entries.push_back(std::move(entry));
    }
  }
  if (u32 code = reader.LeaveChunk(header)) return code;
  influences_ = std::move(table);
  return RES_OK;
}

u32 KestroIndexedMeshDefinition::ReadBone(ChunkReader& reader, Qel::ParticleBone* parent,
                                          u32 depth) {
  if (depth >= kMaxBoneDepth) return RES_FILE_FORMAT_ERROR;
  if (!reader.NextTagIs("BONE")) return RES_FILE_FORMAT_ERROR;
  ChunkHeader header;
  if (u32 code = reader.EnterChunk("BONE", Presence::kMandatory, 1, 102, header)) return code;
  if (header.version != 1 && header.version != 20 && header.version != 50 &&
      header.version != 100 && header.version != 102) {
    return RES_FILE_VERSION_ERROR;
  }
  Qel::MemoryFile& memory = reader.Memory();
  Qel::String name;
  ReadPaddedString(memory, name);
  Vector3 position, axis;
  f32 angle = 0.0f;
  ReadVector(memory, position);
  ReadVector(memory, axis);
  memory.ReadF32(angle);
  u32 childCount = 0;
  memory.ReadU32(childCount);
  if (memory.HasShortRead() || !reader.FitsRecords(childCount, kMinBoneBytes)) {
    return RES_FILE_FORMAT_ERROR;
  }
  // The second vector is the rotation axis and the float its angle; no axis is no rotation.
  const Qel::Quaternion orientation =
      axis.LengthSquared() > 0.0f ? Qel::Quaternion::FromAxisAngle(axis, angle) : Qel::Quaternion();
  auto bone = std::make_unique<Qel::ParticleBone>();
  bone->SetName(name.ToPString());
  bone->SetReferenceFrame(position, orientation);
  bone->SetFramePosition(position);
  bone->SetFrameOrientation(orientation);
  bone->SetBox(Vector3(-0.01f, -0.01f, -0.01f), Vector3(0.01f, 0.01f, 0.01f));
  Qel::ParticleBone* placed = bone.get();
  if (parent) {
    parent->Add(bone.release());
  } else {
    rootBone_ = std::move(bone);
  }
  for (u32 c = 0; c < childCount; ++c) {
    if (u32 code = ReadBone(reader, placed, depth + 1)) return code;
  }
  return reader.LeaveChunk(header);
}

u32 KestroIndexedMeshDefinition::ReadAttachments(ChunkReader& reader) {
  ChunkHeader header;
  if (u32 code = reader.EnterChunk("ATCH", Presence::kOptional, 100, 100, header)) return code;
  if (!header.present) return RES_OK;
  Qel::MemoryFile& memory = reader.Memory();
  u32 count = 0;
  memory.ReadU32(count);
  if (!reader.FitsRecords(count, kMinPaddedString + kAttachmentBytes)) {
    return RES_FILE_FORMAT_ERROR;
  }
  std::vector<KestroAttachment> attachments(count);
  for (KestroAttachment& attachment : attachments) {
    Qel::String name;
    ReadPaddedString(memory, name);
    attachment.name = name.ToPString();
    f32 nine[9] = {};
    memory.Read(nine, sizeof nine);
    attachment.orientation = Qel::Matrix::FromFloats(nine);
    ReadVector(memory, attachment.position);
  }
  if (u32 code = reader.LeaveChunk(header)) return code;
  attachments_ = std::move(attachments);
  return RES_OK;
}

void KestroIndexedMeshDefinition::BuildBonesFromInfluences() {
  if (influences_.empty()) return;
  std::vector<Qel::ParticleBone*> bones;
  std::vector<std::unique_ptr<Qel::ParticleBone>> owned;
  Qel::ParticleBone* root = nullptr;
  for (Qel::InfluenceDefinition& entry : influences_) {
    auto bone = std::make_unique<Qel::ParticleBone>();
    const Qel::Quaternion orientation = QuaternionFromMatrix(entry.orientation);
    bone->SetName(entry.name.ToPString());
    bone->SetReferenceFrame(entry.position, orientation);
    bone->SetFramePosition(entry.position);
    bone->SetFrameOrientation(orientation);
    bone->SetBox(Vector3(-0.01f, -0.01f, -0.01f), Vector3(0.01f, 0.01f, 0.01f));
    if (entry.parentName.IsEmpty()) {
      if (!root) {
        root = bone.get();
      } else {
        entry.parentName = root->GetName().View();
      }
    }
    bones.push_back(bone.get());
    owned.push_back(std::move(bone));
  }
  if (!root) return;  // the bones go with `owned`
  for (size_t i = 0; i < influences_.size(); ++i) {
    if (bones[i] == root) continue;
    Qel::InfluenceDefinition& entry = influences_[i];
    Qel::ParticleBone* parent = nullptr;
    for (size_t j = 0; j < influences_.size() && !parent; ++j) {
      if (influences_[j].name.View() == entry.parentName.View()) parent = bones[j];
    }
    if (!parent) entry.parentName = root->GetName().View();
    // A bone naming itself or one of its descendants would close a loop: it hangs from the root.
    Qel::Particle* child = owned[i].release();
    if (!parent || !parent->Add(child)) root->Add(child);
  }
  for (size_t i = 0; i < owned.size(); ++i) {
    if (bones[i] == root) rootBone_.reset(owned[i].release());
  }
}

void KestroIndexedMeshDefinition::ApplyBoneInfluences() {
  if (influences_.empty()) return;
  const ChunkArray chunks = chunks_;  // held for the whole pass
  for (u32 b = 0; b < influences_.size(); ++b) {
    for (const Qel::InfluenceChunkEntry& entry : influences_[b].entries) {
      Qel::GeometryChunk* chunk = chunks.Get(entry.chunk);
      if (entry.weights.empty() || !chunk ||
          (chunk->GetFlags() & Qel::GeometryChunk::kSkinnedWithoutInfluence) ||
          entry.weights.size() > chunk->GetVertexCount()) {
        continue;
      }
      const Qel::VertexItemPtr blend = chunk->GetUDwordArray(Qel::kItemBlendIndices);
      Qel::VertexItemPtr items[5];
      const u32 order[5] = {Qel::kItemPackedWeights, Qel::kItemWeight1, Qel::kItemWeight2,
                            Qel::kItemWeight3, Qel::kItemWeight4};
      const Qel::VertexItemPtr* target = nullptr;
      u32 targetItem = 0;
      for (u32 k = 0; k < 5; ++k) {
        items[k] = chunk->GetItem(order[k]);
        if (!target && items[k].IsValid()) {
          target = &items[k];
          targetItem = order[k];
        }
      }
      if (!blend.IsValid() || !target) continue;
      const i32 matrix = chunk->AddInfluenceMatrix(b);
      if (matrix < 0) continue;
      const u32 m3 = 3 * u32(matrix);
      const u32 slots =
          targetItem == Qel::kItemPackedWeights ? 4 : targetItem - Qel::kItemWeight1 + 1;
      for (const Qel::InfluenceWeight& record : entry.weights) {
        const u32 v = record.vertex;
        if (v >= chunk->GetVertexCount()) continue;  // never outside the chunk's arrays
        const f32 x = record.weights[0];
        u32 index = blend.Get<u32>(v);
        u32 slot = 0;
        for (u32 k = slots - 1; k >= 1; --k) {
          if (((index >> (8 * k)) & 0xFF) == 0xFE) {
            slot = k;
            break;
          }
        }
        if (slots == 1) {
          target->Set(v, x);
          blend.Set<u32>(v, m3);
          continue;
        }
        if (slot > 0) {
          index = (index & ~(0xFFu << (8 * slot))) | (m3 << (8 * slot));
          if (slot + 1 < 4)
            index = (index & ~(0xFFu << (8 * (slot + 1)))) | (0xFEu << (8 * (slot + 1)));
        } else {
          index = m3 + 0xFE00;
        }
        if (targetItem == Qel::kItemPackedWeights) {
          const u32 byte = WeightByte(x);
          u32 packed = slot > 0 ? target->Get<u32>(v) : 0;
          packed = (packed & ~(0xFFu << (8 * slot))) | (byte << (8 * slot));
          target->Set(v, packed);
        } else {
          f32 values[4] = {};
          std::memcpy(values, target->data + size_t(v) * target->stride, 4 * slots);
          if (slot == 0) std::fill(values, values + 4, 0.0f);
          values[slot] = x;
          std::memcpy(target->data + size_t(v) * target->stride, values, 4 * slots);
        }
        blend.Set<u32>(v, index);
      }
    }
  }
}

u32 KestroIndexedMeshDefinition::GetMostInfluences(u32 chunk) const {
  std::vector<u32> counts;
  u32 most = 0;
  for (const Qel::InfluenceDefinition& bone : influences_) {
    for (const Qel::InfluenceChunkEntry& entry : bone.entries) {
      if (entry.chunk != chunk) continue;
      for (const Qel::InfluenceWeight& record : entry.weights) {
        const Qel::GeometryChunk* target = chunks_.Get(chunk);
        if (!target || record.vertex >= target->GetVertexCount()) continue;
        if (counts.size() <= record.vertex) counts.resize(target->GetVertexCount(), 0);
        most = std::max(most, ++counts[record.vertex]);
      }
    }
  }
  return most;
}

u32 KestroIndexedMeshDefinition::GetTextureSetCount(u32 chunk) const {
  Qel::GeometryChunk* target = chunks_.Get(chunk);
  u32 sets = 0;
  for (u32 t = 0; target && t < kMaxTextureSets; ++t) {
    if (target->GetItem(Qel::kItemTexture0 + t).IsValid()) ++sets;
  }
  return sets;
}

namespace {

void AddChunkBounds(Qel::GeometryChunk& chunk, Vector3& low, Vector3& high) {
  const Qel::VertexItemPtr positions = chunk.GetItem(Qel::kItemPosition);
  if (!positions.IsValid()) return;
  const u8* at = positions.data;
  for (u32 v = 0; v < chunk.GetVertexCount(); ++v, at += positions.stride) {
    f32 p[3];
    std::memcpy(p, at, sizeof p);
    low = Qel::Min(low, Vector3(p[0], p[1], p[2]));
    high = Qel::Max(high, Vector3(p[0], p[1], p[2]));
  }
}

void AddChunkMipSums(Qel::GeometryChunk& chunk, MipFactorSum& sum) {
  const Qel::VertexItemPtr positions = chunk.GetItem(Qel::kItemPosition);
  const Qel::VertexItemPtr uvs = chunk.GetItem(Qel::kItemTexture0);
  const u16* indices = chunk.GetIndexArray();
  if (!positions.IsValid() || !uvs.IsValid() || !indices) return;
  // Squared lengths throughout: the ratios and the area need three roots, all independent.
  // The coordinates are loaded one float at a time, straight from the vertex records.
  const auto at = [](const Qel::VertexItemPtr& item, u32 vertex, u32 k) {
    f32 value;
    std::memcpy(&value, item.data + size_t(vertex) * item.stride + 4 * k, sizeof value);
    return value;
  };
  for (u32 t = 0; t + 2 < chunk.GetMaxIndices(); t += 3) {
    const u32 a = indices[t], b = indices[t + 1], c = indices[t + 2];
    const f32 ax = at(positions, a, 0), ay = at(positions, a, 1), az = at(positions, a, 2);
    const f32 bx = at(positions, b, 0) - ax, by = at(positions, b, 1) - ay,
              bz = at(positions, b, 2) - az;
    const f32 cx = at(positions, c, 0) - ax, cy = at(positions, c, 1) - ay,
              cz = at(positions, c, 2) - az;
    const f32 world1 = bx * bx + by * by + bz * bz;
    const f32 world2 = cx * cx + cy * cy + cz * cz;
    const f32 u = at(uvs, a, 0), v = at(uvs, a, 1);
    const f32 bu = at(uvs, b, 0) - u, bv = at(uvs, b, 1) - v;
    const f32 cu = at(uvs, c, 0) - u, cv = at(uvs, c, 1) - v;
    const f32 texture1 = bu * bu + bv * bv;
    const f32 texture2 = cu * cu + cv * cv;
    // |l1 x l2| <= 0.00001, squared.
    if (texture1 * texture2 <= 1e-10f) continue;
    sum.Add(world1, world2, texture1, texture2);
  }
}

}  // namespace

void KestroIndexedMeshDefinition::ComputeBounds() {
  Vector3 low(kFloatMax, kFloatMax, kFloatMax);
  Vector3 high(-kFloatMax, -kFloatMax, -kFloatMax);
  for (u32 i = 0; i < chunks_.Count(); ++i) {
    if (Qel::GeometryChunk* chunk = chunks_.Get(i)) AddChunkBounds(*chunk, low, high);
  }
  boxMin_ = low;
  boxMax_ = high;
}

void KestroIndexedMeshDefinition::ComputeMipFactor() {
  MipFactorSum sum;
  for (u32 i = 0; i < chunks_.Count(); ++i) {
    if (Qel::GeometryChunk* chunk = chunks_.Get(i)) AddChunkMipSums(*chunk, sum);
  }
  mipFactor_ = sum.Finish();
}

void KestroIndexedMeshDefinition::FoldLoadedChunk(Qel::GeometryChunk& chunk) {
  AddChunkBounds(chunk, loadLow_, loadHigh_);
  AddChunkMipSums(chunk, *loadMipSum_);
}

void KestroIndexedMeshDefinition::AddAttachmentPoints(Qel::ParticleStructure& structure) const {
  for (const KestroAttachment& attachment : attachments_) {
    const std::string_view name = attachment.name.View();
    if (name.empty() || (name[0] != 'a' && name[0] != 'A')) continue;
    Vector3 position = attachment.position;
    Qel::Quaternion orientation = QuaternionFromMatrix(attachment.orientation);
    Qel::String first, rest;
    Qel::AttachmentPoint::GetSubNames(Qel::String(name), first, rest);
    auto* point = new Qel::AttachmentPoint(first, rest);
    if (!rootBone_) {
      if (!structure.AddAttachmentPoint(point, false)) {
        delete point;
        continue;
      }
      point->SetReferenceFrame(position, orientation);
    } else if (!structure.AddAttachmentPoint(point, true)) {
      point->SetReferenceFrame(position, orientation);
      if (!structure.Add(point)) delete point;
    } else {
      point->GlobalToLocal(position, orientation);
      point->SetReferenceFrame(position, orientation);
    }
  }
}

void KestroIndexedMeshDefinition::RequestCollisionTree() {
  OverlappedResourceSystem* system = OverlappedResourceSystem::GetGlobal();
  if (collisionTree_ || pendingTree_ || !system) return;
  pendingTree_ = std::make_unique<Overlapped>();
  OverlappedResourceSystem::Queue(system, *pendingTree_, fileName_.CStr(),
                                  reinterpret_cast<uintptr_t>(this), &ServeCollisionTree,
                                  &FinishCollisionTree);
}

bool KestroIndexedMeshDefinition::ServeCollisionTree(uintptr_t self) {
  auto& definition = *reinterpret_cast<KestroIndexedMeshDefinition*>(self);
  auto tree = std::make_unique<KQAxisBoxTree>();
  if (!definition.collisionSharing_) {
    definition.collisionSharing_ = std::make_unique<CollisionGeometrySharingInterface>(definition);
  }
  tree->BeginBuild(definition.collisionSharing_.get());
  for (u32 c = 0; c < definition.chunks_.Count(); ++c) {
    Qel::GeometryChunk* chunk = definition.chunks_.Get(c);
    if (!chunk || !chunk->GetItem(Qel::kItemPosition).IsValid() || !chunk->GetIndexArray()) {
      continue;
    }
    tree->AddChunk(c, chunk->GetMaxIndices() / 3, [chunk](u32 triangle, Vector3 corners[3]) {
      CollisionGeometrySharingInterface::Fetch(chunk, 3 * triangle, corners);
    });
  }
  tree->Build();
  definition.builtTree_ = std::move(tree);
  return true;
}

bool KestroIndexedMeshDefinition::FinishCollisionTree(uintptr_t self) {
  auto& definition = *reinterpret_cast<KestroIndexedMeshDefinition*>(self);
  if (definition.builtTree_) definition.collisionTree_ = std::move(definition.builtTree_);
  return true;
}

KQAxisBoxTree* KestroIndexedMeshDefinition::GetCollisionTree() {
  if (collisionTree_) return collisionTree_.get();
  RequestCollisionTree();
  if (pendingTree_) {
    OverlappedResource* request = pendingTree_->GetRequest();
    // A served build is completed here, which hands its tree over.
    if (request && request->GetState() == OverlappedResource::kServed) pendingTree_->Complete();
    request = pendingTree_->GetRequest();
    if (!request || request->GetState() == OverlappedResource::kIdle ||
        request->GetState() == OverlappedResource::kComplete) {
      pendingTree_.reset();
    }
  }
  return collisionTree_.get();
}

u32 KestroIndexedMeshDefinition::LoadFromText(const char* path, Qel::Display* display,
                                              Qel::MaterialManager* manager,
                                              KestroGeometryBaseResource* resource,
                                              u32 defaultColour) {
  Qel::ConfigParser parser;
  const u32 parsed = parser.ParseFile(path);
  if (parsed == 2 || parsed == 3 || parsed == 4) return parsed;
  if (parsed != 0) return RES_UNKNOWN;
  if (!parser.GetData()) return RES_FILE_FORMAT_ERROR;
  return LoadFromConfigData(display, manager, resource, *parser.GetData(), defaultColour);
}

u32 KestroIndexedMeshDefinition::LoadFromConfigData(Qel::Display* display,
                                                    Qel::MaterialManager* manager,
                                                    KestroGeometryBaseResource* resource,
                                                    const Qel::ConfigData& data,
                                                    u32 defaultColour) {
  if (!manager) return RES_NO_MATERIAL_MANAGER;
  SetLoadContext(display, manager, resource, defaultColour);
  Qel::GeometryConfigData source;
  if (!source.Load(data, Qel::GeometryConfigData::kLoadAll,
                   fileName_.IsEmpty() ? nullptr : fileName_.CStr()) &&
      source.GetMaxVertices() == 0) {
    return RES_FILE_FORMAT_ERROR;
  }
  displayCapability_ = display && display->GetCapability(kCapabilityMatrixPalette);
  position_ = source.GetPosition();
  orientation_ = source.GetOrientation();
  chunkCount_ = source.GetNumChunks();
  influencesPerVertex_ = source.GetInfluencesPerVertex();
  matrixCount_ = source.GetMatrixCount();
  chunks_ = ChunkArray::Make(0);
  materials_ = MaterialArray::Make(chunkCount_);
  chunkNames_.clear();
  for (u32 i = 0; i < chunkCount_; ++i) {
    chunkNames_.push_back(source.GetChunkName(i).ToPString());
    if (u32 code = CreateMaterial(manager, resource, source, i)) return code;
    if (u32 code = BuildChunkFromSource(source, i, defaultColour)) return code;
  }
  CopyInfluencesFromSource(source);
  CopyAttachmentsFromSource(source);
  vertexTotal_ = faceTotal_ = 0;
  for (u32 i = 0; i < chunks_.Count(); ++i) {
    vertexTotal_ += chunks_.Get(i)->GetVertexCount();
    faceTotal_ += chunks_.Get(i)->GetFaceCount();
  }
  BuildBonesFromInfluences();
  ApplyBoneInfluences();
  ComputeBounds();
  ComputeMipFactor();
  return RES_OK;
}

u32 KestroIndexedMeshDefinition::BuildChunkFromSource(const Qel::GeometryConfigData& source,
                                                      u32 index, u32 defaultColour) {
  const u32 vertexCount = source.GetVertexCount(index);
  const u32 indexCount = source.GetIndexCount(index);
  const u32 faceCount = source.GetFaceCount(index);
  const u32 textureSets = source.GetTextureSetCount(index);
  const u32 weights = source.GetWeightsPerVertex(index);
  Qel::StandardChunkHint hint = MakeChunkHint(textureSets);
  if (influencesPerVertex_ > 0 && influencesPerVertex_ <= kInfluenceLimit &&
      matrixCount_ <= matrixLimit_ && displayCapability_ && !settings_.softwareAnimation.IsSet()) {
    hardwareSkinning_ = true;
  }
  const bool floatWeights = settings_.hardwareAnimationFloatPrecision.IsSet();
  if (weights > 0) {
    hint.bits |= Qel::StandardChunkHint::kWeights;
    if (hardwareSkinning_) {
      hint.influenceCount = weights;
      hint.matrixCount = matrixCount_;
      if (floatWeights) hint.bits |= Qel::StandardChunkHint::kFloatWeights;
    } else {
      hint.bits |= Qel::StandardChunkHint::kWeights | Qel::StandardChunkHint::kSoftwareSkinning;
    }
  }
  Qel::Material* material = materials_.Get(index);
  Qel::GeometryChunk* chunk = material
                                  ? material->CreateGeometryChunk(vertexCount, indexCount / 3,
                                                                  indexCount, faceCount, 0, hint)
                                  : nullptr;
  if (!chunk) return RES_FILE_FORMAT_ERROR;
  chunks_.Resize(std::max(chunks_.Count(), index + 1));
  chunks_.Set(index, chunk);
  if (vertexCount > 0) {
    const Qel::VertexItemPtr positions = chunk->GetItem(Qel::kItemPosition);
    if (!InitialiseBlendData(*chunk, weights, floatWeights)) return RES_FAIL_CHUNK_CREATE;
    u16* indices = chunk->GetIndexArray();
    if (!positions.IsValid() || (indexCount > 0 && !indices)) return RES_FAIL_CHUNK_CREATE;
    source.CopyPositions(index, positions.data, positions.stride);
    for (u32 t = 0; t < textureSets; ++t) {
      const Qel::VertexItemPtr set = chunk->GetItem(Qel::kItemTexture0 + t);
      if (set.IsValid()) source.CopyTextureSet(index, t, set.data, set.stride);
    }
    if (indices) source.CopyIndices(index, indices);
    const Qel::VertexItemPtr normals = chunk->GetItem(Qel::kItemNormal);
    if (normals.IsValid()) source.CopyNormals(index, normals.data, normals.stride);
    const Qel::VertexItemPtr first = chunk->GetItem(Qel::kItemColour0);
    if (first.IsValid()) source.CopyColours(index, first.data, first.stride, defaultColour, true);
    const Qel::VertexItemPtr second = chunk->GetItem(Qel::kItemColour1);
    if (second.IsValid()) {
      source.CopyColours(index, second.data, second.stride, defaultColour, false);
    }
  }
  if (faceCount > 0) {
    if (!chunk->GetFaceNormalArray()) return RES_FAIL_CHUNK_CREATE;
    source.CopyFaceNormals(index, chunk->GetFaceNormalArray());
  }
  return RES_OK;
}

u32 KestroIndexedMeshDefinition::CopyInfluencesFromSource(const Qel::GeometryConfigData& source) {
  influences_.assign(source.GetBoneCount(), Qel::InfluenceDefinition());
  for (u32 b = 0; b < influences_.size(); ++b) {
    Qel::InfluenceDefinition& bone = influences_[b];
    bone.name = source.GetBoneName(b);
    bone.parentName = source.GetBoneParentName(b);
    bone.position = source.GetBonePosition(b);
    bone.orientation = Qel::Matrix::FromQuaternion(source.GetBoneOrientation(b));
    for (u32 e = 0; e < source.GetInfluencedChunkCount(b); ++e) {
      Qel::InfluenceChunkEntry entry;
      entry.chunk = source.GetInfluenceChunkIndex(b, e);
      const u32 count = source.GetInfluenceWeightCount(b, e);
      if (count == 0) continue;
      entry.weights.resize(count);
      source.CopyInfluenceWeights(b, e, entry.weights.data());
      bone.entries.push_back(std::move(entry));
    }
  }
  return RES_OK;
}

u32 KestroIndexedMeshDefinition::CopyAttachmentsFromSource(const Qel::GeometryConfigData& source) {
  attachments_.assign(source.GetAttachmentCount(), KestroAttachment());
  for (u32 a = 0; a < attachments_.size(); ++a) {
    attachments_[a].name = source.GetAttachmentName(a).ToPString();
    attachments_[a].orientation = Qel::Matrix::FromQuaternion(source.GetAttachmentOrientation(a));
    attachments_[a].position = source.GetAttachmentPosition(a);
  }
  return RES_OK;
}
