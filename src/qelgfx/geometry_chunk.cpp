#include "qelgfx/geometry_chunk.h"

#include <algorithm>

namespace Qel {

namespace {

// Vertices a chunk can hold: its indices are 16 bits.
constexpr u32 kMaxVertices = 0x10000;
// File primitive codes by engine primitive.
constexpr u32 kFileCodes[GeometryChunk::kPrimitiveLimit] = {4, 8, 16, 1, 2, 0};

}  // namespace

GeometryChunk::GeometryChunk(const VertexType* type, u32 vertexCount, u32 primitiveCount,
                             u32 indexCount, u32 faceCount, u32 flags, bool zeroed)
    : vertexType_(type),
      block_(std::make_shared<VertexBlock>(size_t(vertexCount) * (type ? type->size : 0), zeroed)),
      flags_(flags),
      primitive_(0),
      vertexCount_(vertexCount),
      vertexCapacity_(vertexCount),
      primitiveCount_(primitiveCount),
      indices_(indexCount),
      faceNormals_(size_t(faceCount) * 3) {
  if (zeroed) {
    std::fill(indices_.begin(), indices_.end(), u16(0));
    std::fill(faceNormals_.begin(), faceNormals_.end(), 0.0f);
  }
  PrimitiveFromFileCode(flags & kPrimitiveMask, primitive_);
}

bool GeometryChunk::PrimitiveFromFileCode(u32 code, u32& primitive) {
  for (u32 p = 0; p < kPrimitiveLimit; ++p) {
    if (kFileCodes[p] == code) {
      primitive = p;
      return true;
    }
  }
  return false;
}

u32 GeometryChunk::FileCodeFromPrimitive(u32 primitive) {
  return primitive < kPrimitiveLimit ? kFileCodes[primitive] : u32(kPrimitiveMask);
}

GeometryChunk::GeometryChunk(const GeometryChunk& shared)
    : ReferenceCount(),
      vertexType_(shared.vertexType_),
      block_(shared.block_),
      flags_(shared.flags_),
      primitive_(shared.primitive_),
      vertexCount_(shared.vertexCount_),
      vertexCapacity_(shared.vertexCapacity_),
      primitiveCount_(shared.primitiveCount_),
      indices_(shared.indices_),
      faceNormals_(shared.faceNormals_),
      influenceMatrices_(shared.influenceMatrices_),
      assignedMatrices_(shared.assignedMatrices_),
      opacity_(shared.opacity_),
      vertexProgram_(shared.vertexProgram_),
      vertexDynamic_(shared.vertexDynamic_),
      vertexShared_(shared.vertexShared_),
      indexDynamic_(shared.indexDynamic_),
      faceNeighbours_(shared.faceNeighbours_),
      properties_(shared.properties_) {}

bool GeometryChunk::AddChunkProperty(const PString& name) {
  if (name.IsEmpty()) return false;
  f32 value = 0.0f;
  if (!GetChunkProperty(name, value)) properties_.emplace_back(name, 0.0f);
  return true;
}

bool GeometryChunk::SetChunkProperty(const PString& name, f32 value) {
  for (auto& [key, held] : properties_) {
    if (key == name) {
      held = value;
      return true;
    }
  }
  return false;
}

bool GeometryChunk::GetChunkProperty(const PString& name, f32& value) const {
  for (const auto& [key, held] : properties_) {
    if (key == name) {
      value = held;
      return true;
    }
  }
  return false;
}

namespace {

void RecordUsage(std::vector<GeometryChunk::DataUsage>& usages, u32 stream, i32 item, bool on) {
  for (GeometryChunk::DataUsage& usage : usages) {
    if (usage.stream == stream && usage.item == item) {
      usage.on = on;
      return;
    }
  }
  usages.push_back({stream, item, on});
}

}  // namespace

void GeometryChunk::SetVertexDataDynamic(u32 stream, i32 item, bool dynamic) {
  RecordUsage(vertexDynamic_, stream, item, dynamic);
}

void GeometryChunk::SetVertexDataShared(u32 stream, i32 item, bool shared) {
  RecordUsage(vertexShared_, stream, item, shared);
}

void GeometryChunk::RenderGeometry(Display& display, u32 vertexProgram) {
  AssignVertexType(display);
  if (vertexProgram) display.SetProgram(vertexProgram);
  TraceInfluenceMatrices(display);
  display.DrawIndexedPrimitive(primitive_, vertexCount_, GetMaxIndices());
}

void GeometryChunk::RenderPrimitives(Display& display, const PrimitiveRange& range) {
  AssignVertexType(display);
  // Enough of the order to follow it on the trace without a line the size of the chunk.
  constexpr u32 kTracedIndices = 24;
  String entry = String::Format("DrawPrimitives %u %u", range.primitiveKind, range.primitiveCount);
  const u32 indexCount = range.indices ? 3 * range.primitiveCount : 0;
  for (u32 i = 0; i < indexCount && i < kTracedIndices; ++i) {
    entry += String::Format(" %u", range.indices[i]);
  }
  display.Trace(entry);
}

GeometryChunk* GeometryChunk::Create(u32 vertexCount, u32 primitiveCount, u32 indexCount,
                                     u32 faceCount, u32 primitive, const StandardChunkHint& hint) {
  if (vertexCount > kMaxVertices || hint.textureSets > 8 || primitive >= kPrimitiveLimit) {
    return nullptr;
  }
  VertexType layout(0);
  layout.Add(kItemPosition).Add(kItemNormal).Add(kItemColour0);
  for (u32 t = 0; t < hint.textureSets; ++t) layout.Add(kItemTexture0 + t);
  const bool hardwareWeights = (hint.bits & StandardChunkHint::kWeights) &&
                               !(hint.bits & StandardChunkHint::kSoftwareSkinning);
  if (hardwareWeights) {
    const u32 influences = std::clamp(hint.influenceCount, 1u, 4u);
    layout.Add((hint.bits & StandardChunkHint::kFloatWeights) ? kItemWeight1 + influences - 1
                                                              : u32(kItemPackedWeights));
    layout.Add(kItemBlendIndices);
  }
  return new GeometryChunk(VertexType::Intern(layout), vertexCount, primitiveCount, indexCount,
                           faceCount, FileCodeFromPrimitive(primitive),
                           !hint.recordsFilledByCaller);
}

i32 GeometryChunk::GetItemOffset(u32 item) const {
  return vertexType_ && item < kVertexItemLimit ? vertexType_->vertexItemOffset[item] : -1;
}

const VertexType* GeometryChunk::AssignVertexType(Display& display) {
  if (!typeAssigned_ && vertexType_) {
    display.SetVertexType(vertexType_);
    typeAssigned_ = true;
  }
  return vertexType_;
}

VertexItemPtr GeometryChunk::GetItem(u32 item) {
  const i32 offset = GetItemOffset(item);
  if (offset < 0 || !block_ || block_->records.empty()) return {};
  return {block_->records.data() + offset, GetVertexSize()};
}

GeometryChunk* GeometryChunk::CreateInstance(u32 vertexCount, u32 indexCount, u32 flags) const {
  if (vertexCount > kMaxVertices) return nullptr;
  return new GeometryChunk(vertexType_, vertexCount, indexCount / 3, indexCount, 0, flags);
}

GeometryChunk* GeometryChunk::CreateInstance() const { return new GeometryChunk(*this); }

void GeometryChunk::ReplaceBlock(std::shared_ptr<VertexBlock> block) { block_ = std::move(block); }

void GeometryChunk::DropVertexBuffer(Display& display) {
  if (!vertexBuffer_) return;
  vertexBuffer_.reset();
  InitializeBuffers(display, false);
}

void GeometryChunk::DuplicateVertexArray(Display& display) {
  if (!block_) return;
  ReplaceBlock(std::make_shared<VertexBlock>(*block_));
  DropVertexBuffer(display);
}

void GeometryChunk::ResizeVertexArray(Display& display, u32 n) {
  auto block = std::make_shared<VertexBlock>(size_t(n) * GetVertexSize());
  if (block_) {
    const size_t keep = std::min(block_->records.size(), block->records.size());
    std::copy_n(block_->records.begin(), keep, block->records.begin());
  }
  ReplaceBlock(std::move(block));
  vertexCount_ = vertexCapacity_ = n;
  DropVertexBuffer(display);
}

bool GeometryChunk::InitializeBuffers(Display& display, bool upload) {
  if (!(flags_ & kNoStaticVertexBuffer) && !vertexBuffer_) {
    const VertexType* type = AssignVertexType(display);
    if (!type) return false;
    StaticBufferPtr buffer = display.CreateStaticVertexBuffer(vertexCapacity_, type->size, !upload);
    if (!buffer) return false;
    if (upload && display.CopyToBuffer(*buffer, GetVertexArray(), vertexCapacity_) < 0) {
      return false;
    }
    buffer->dirty = !upload;
    vertexBuffer_ = std::move(buffer);
  }
  if (!(flags_ & kNoStaticIndexBuffer) && !indexBuffer_) {
    StaticBufferPtr buffer = display.CreateIndexBuffer(GetMaxIndices(), !upload);
    if (!buffer) return false;
    if (upload && display.CopyToBuffer(*buffer, GetIndexArray(), GetMaxIndices()) < 0) {
      return false;
    }
    buffer->dirty = !upload;
    indexBuffer_ = std::move(buffer);
  }
  return true;
}

bool GeometryChunk::LoadBuffers(Display& display) {
  if (!(flags_ & kNoStaticVertexBuffer)) {
    if (!vertexBuffer_ ||
        display.CopyToBuffer(*vertexBuffer_, GetVertexArray(), vertexCount_) < 0) {
      return false;
    }
  }
  if (!(flags_ & kNoStaticIndexBuffer)) {
    if (!indexBuffer_ ||
        display.CopyToBuffer(*indexBuffer_, GetIndexArray(), GetMaxIndices()) < 0) {
      return false;
    }
  }
  return true;
}

bool GeometryChunk::AppendChunk(Display& display, GeometryChunk& other) {
  const u32 base = vertexCount_;
  const u32 added = other.GetVertexCount();
  if (u64(base) + added > kMaxVertices) return false;
  if (GetVertexBlockHolders() > 1) DuplicateVertexArray(display);
  ResizeVertexArray(display, base + added);
  for (u32 item = 1; item < kVertexItemLimit; ++item) {
    const VertexItemPtr to = GetItem(item);
    const VertexItemPtr from = other.GetItem(item);
    if (!to.IsValid() || !from.IsValid()) continue;
    const u32 size = VertexItemSize(item);
    for (u32 v = 0; v < added; ++v) {
      std::memcpy(to.data + size_t(base + v) * to.stride, from.data + size_t(v) * from.stride,
                  size);
    }
  }
  // Copied out first: the other chunk may be this one.
  const u16* otherIndices = other.GetIndexArray();
  const std::vector<u16> addedIndices(otherIndices, otherIndices + other.GetMaxIndices());
  const f32* otherFaces = other.GetFaceNormalArray();
  const std::vector<f32> addedFaces(otherFaces, otherFaces + other.GetFaceCount() * 3);
  for (u16 index : addedIndices) indices_.push_back(u16(index + base));
  faceNormals_.insert(faceNormals_.end(), addedFaces.begin(), addedFaces.end());
  primitiveCount_ += other.GetPrimitiveCount();
  indexBuffer_.reset();
  return true;
}

i32 GeometryChunk::AddInfluenceMatrix(u32 bone) {
  for (size_t m = 0; m < influenceMatrices_.size(); ++m) {
    if (influenceMatrices_[m] == bone) return i32(m);
  }
  if (influenceMatrices_.size() >= kMaxInfluenceMatrices) return -1;
  influenceMatrices_.push_back(bone);
  return i32(influenceMatrices_.size() - 1);
}

void GeometryChunk::SetOpacity(Display& display, f32 opacity) {
  opacity_ = opacity;
  display.Trace(String::Format("ChunkOpacity %g", opacity));
}

bool GeometryChunk::CopyGeometry(Display& display, const GeometryChunk& other) {
  if (other.vertexType_ != vertexType_) return false;
  if (&other == this) return true;
  ReplaceBlock(other.block_ ? std::make_shared<VertexBlock>(*other.block_) : nullptr);
  vertexCount_ = other.vertexCount_;
  vertexCapacity_ = other.vertexCapacity_;
  primitiveCount_ = other.primitiveCount_;
  indices_ = other.indices_;
  faceNormals_ = other.faceNormals_;
  faceNeighbours_ = other.faceNeighbours_;
  vertexBuffer_.reset();
  indexBuffer_.reset();
  return InitializeBuffers(display, true);
}

void GeometryChunk::ResetMatrixArray() {
  influenceMatrices_.clear();
  assignedMatrices_.clear();
}

void GeometryChunk::AssignInfluenceMatrix(u32 slot, const Matrix4& matrix) {
  if (slot >= influenceMatrices_.size()) return;
  if (assignedMatrices_.size() <= slot) assignedMatrices_.resize(influenceMatrices_.size());
  assignedMatrices_[slot] = matrix;
}

void GeometryChunk::TraceInfluenceMatrices(Display& display) const {
  for (size_t slot = 0; slot < assignedMatrices_.size(); ++slot) {
    const auto& m = assignedMatrices_[slot].m;
    display.Trace(String::Format("InfluenceMatrix %zu %g %g %g %g %g %g %g %g %g %g %g %g", slot,
                                 m[0][0], m[0][1], m[0][2], m[1][0], m[1][1], m[1][2], m[2][0],
                                 m[2][1], m[2][2], m[3][0], m[3][1], m[3][2]));
  }
}

}  // namespace Qel
