// Geometry chunks: the vertices, indices and face normals of one material's share of a mesh.
// Vertices are records of the chunk's vertex type, held in a block that copies of a chunk share
// until one of them duplicates it. The generic chunk lays its record out from a creation hint;
// the single-stream templates (geometry_chunk_template.h) use a fixed packed layout.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "qel/pstring.h"
#include "qel/reference_count.h"
#include "qel/types.h"
#include "qelgfx/default_init_allocator.h"
#include "qelgfx/display.h"
#include "qelgfx/matrix4.h"
#include "qelgfx/render_inputs.h"
#include "qelgfx/vertex_type.h"

namespace Qel {

class ResourceDatabase;

// A strided view of one vertex item; no data when the chunk lacks the item.
struct VertexItemPtr {
  u8* data = nullptr;
  u32 stride = 0;

  bool IsValid() const { return data != nullptr; }
  template <typename T>
  T Get(u32 i) const {
    T value;
    std::memcpy(&value, data + size_t(i) * stride, sizeof value);
    return value;
  }
  template <typename T>
  void Set(u32 i, const T& value) const {
    std::memcpy(data + size_t(i) * stride, &value, sizeof value);
  }
};

struct GeometryChunkCreateHint {
  virtual ~GeometryChunkCreateHint() = default;
};

// What a mesh asks of a new chunk.
struct StandardChunkHint : GeometryChunkCreateHint {
  enum Bits : u32 {
    kSoftwareLighting = 0x1,
    kWeights = 0x2,
    kSoftwareSkinning = 0x4,
    kFloatWeights = 0x8,  // hardware weights as floats rather than packed bytes
  };
  StandardChunkHint(u32 version, u32 hintBits) : hintVersion(version), bits(hintBits) {}
  u32 hintVersion;
  u32 bits;
  u32 vertexUsage = 2;
  u32 indexUsage = 2;
  u32 textureSets = 1;
  f32 hintFloat = 0.0f;
  ResourceDatabase* database = nullptr;
  u32 influenceCount = 0;
  u32 matrixCount = 0;
  // The caller writes every item of every vertex record, every index and every face normal
  // before anything reads them, so a generic chunk's arrays are not zeroed first.
  bool recordsFilledByCaller = false;
};

// One vertex block: the holder count is the shared pointer's.
struct VertexBlock {
  explicit VertexBlock(size_t bytes, bool zeroed = true) : records(bytes) {
    if (zeroed) std::fill(records.begin(), records.end(), u8(0));
  }
  std::vector<u8, DefaultInitAllocator<u8>> records;
};

class GeometryChunk : public ReferenceCount {
 public:
  enum Flags : u32 {
    kPrimitiveMask = 0x1F,  // the file's primitive code
    kCompatible = 0x04,
    kSkinnedWithoutInfluence = 0x40,
    kNoStaticIndexBuffer = 0x100,
    kPerInstanceCopy = 0x1000,
    kNoStaticVertexBuffer = 0x10000,
  };
  static constexpr u32 kMaxInfluenceMatrices = 85;
  // Engine primitives: 0 triangle list, 1 strip, 2 fan, 3 to 5 the line and point kinds.
  static constexpr u32 kPrimitiveLimit = 6;

  // The engine primitive of a file's primitive code (0, 1, 2, 4, 8, 16); false for another code.
  static bool PrimitiveFromFileCode(u32 code, u32& primitive);
  // The file's code of an engine primitive; kPrimitiveMask past the engine's primitives.
  static u32 FileCodeFromPrimitive(u32 primitive);

  // A generic chunk of an engine primitive, laid out from the hint: position, normal, the first
  // colour, the hint's texture sets and, for hardware weights, a weight item and the blend indices.
  // Null for counts that do not fit.
  static GeometryChunk* Create(u32 vertexCount, u32 primitiveCount, u32 indexCount, u32 faceCount,
                               u32 primitive, const StandardChunkHint& hint);

  u32 GetFlags() const { return flags_; }
  void SetFlags(u32 flags) { flags_ = flags; }
  // The engine primitive; the flags hold the file's code for it.
  u32 GetPrimitive() const { return primitive_; }
  u32 GetVertexCount() const { return vertexCount_; }
  u32 GetVertexCapacity() const { return vertexCapacity_; }
  u32 GetMaxIndices() const { return u32(indices_.size()); }
  u32 GetPrimitiveCount() const { return primitiveCount_; }
  u32 GetFaceCount() const { return u32(faceNormals_.size() / 3); }
  u16* GetIndexArray() { return indices_.empty() ? nullptr : indices_.data(); }
  f32* GetFaceNormalArray() { return faceNormals_.empty() ? nullptr : faceNormals_.data(); }
  // Three entries a face: 0xFFFFFFFF for none, else the chunk in bits 16-31 and the face below.
  // Copies of a chunk share it.
  const std::vector<u32>* GetFaceNeighborArray() const { return faceNeighbours_.get(); }
  void SetFaceNeighborArray(std::shared_ptr<const std::vector<u32>> neighbours) {
    faceNeighbours_ = std::move(neighbours);
  }

  const VertexType* GetVertexType() const { return vertexType_; }
  // A layout of the same record size that the chunk is drawn with instead of its own.
  void SetVertexType(const VertexType* type) {
    vertexType_ = type;
    typeAssigned_ = false;
  }
  virtual u32 GetVertexTypeID() const { return vertexType_ ? vertexType_->id : 0; }
  virtual u32 GetVertexSize() const { return vertexType_ ? vertexType_->size : 0; }
  virtual i32 GetItemOffset(u32 item) const;
  // The vertex type the display draws with; chosen on first use.
  virtual const VertexType* AssignVertexType(Display& display);

  u8* GetVertexArray() { return block_ ? block_->records.data() : nullptr; }
  const u8* GetVertexArray() const { return block_ ? block_->records.data() : nullptr; }
  long GetVertexBlockHolders() const { return block_.use_count(); }

  virtual VertexItemPtr GetItem(u32 item);
  VertexItemPtr GetFloatArray(u32 item) { return GetItem(item); }
  VertexItemPtr GetVector2Array(u32 item) { return GetItem(item); }
  VertexItemPtr GetVector3Array(u32 item) { return GetItem(item); }
  VertexItemPtr GetVector4Array(u32 item) { return GetItem(item); }
  VertexItemPtr GetUDwordArray(u32 item) { return GetItem(item); }

  // A new, empty chunk of the same kind, or a copy sharing this one's vertex block.
  virtual GeometryChunk* CreateInstance(u32 vertexCount, u32 indexCount, u32 flags) const;
  virtual GeometryChunk* CreateInstance() const;

  // A private vertex block for this chunk; the copies keep the old one.
  virtual void DuplicateVertexArray(Display& display);
  // To n vertices: the first records kept, added ones zeroed.
  virtual void ResizeVertexArray(Display& display, u32 n);
  virtual bool InitializeBuffers(Display& display, bool upload);
  virtual bool LoadBuffers(Display& display);
  // Appends the other chunk's vertices (item by item) and indices (moved past this chunk's
  // vertices). False when the indices would no longer fit 16 bits.
  virtual bool AppendChunk(Display& display, GeometryChunk& other);

  // Named float properties that materials keep per chunk; copies carry them. Adding a name twice
  // keeps one; setting or reading an absent name fails.
  bool AddChunkProperty(const PString& name);
  bool SetChunkProperty(const PString& name, f32 value);
  bool GetChunkProperty(const PString& name, f32& value) const;

  // The vertex program the chunk is drawn with on a display; 0 for the fixed pipeline.
  u32 GetVertexProgram(const Display& /*display*/) const { return vertexProgram_; }
  void SetVertexProgram(u32 handle) { vertexProgram_ = handle; }

  // Buffer-usage hints a material gives a new chunk: vertex data rewritten often (dynamic) or
  // kept apart from the chunk's copies (not shared), and indices rewritten often. `item` is the
  // engine's item selector (0 all, -2 positions, -3 the generated texture set).
  struct DataUsage {
    u32 stream = 0;
    i32 item = 0;
    bool on = false;
  };
  void SetVertexDataDynamic(u32 stream, i32 item, bool dynamic);
  void SetVertexDataShared(u32 stream, i32 item, bool shared);
  void SetIndexDataDynamic() { indexDynamic_ = true; }
  const std::vector<DataUsage>& GetVertexDynamicUsage() const { return vertexDynamic_; }
  const std::vector<DataUsage>& GetVertexSharedUsage() const { return vertexShared_; }
  bool IsIndexDataDynamic() const { return indexDynamic_; }

  // Draws the whole chunk in its own order, with a vertex program when one is given.
  void RenderGeometry(Display& display, u32 vertexProgram = 0);
  // Draws primitives from the range's indices, which the caller keeps below the vertex count.
  void RenderPrimitives(Display& display, const PrimitiveRange& range);

  // The opacity the chunk is drawn with (traced).
  virtual void SetOpacity(Display& display, f32 opacity);
  f32 GetOpacity() const { return opacity_; }

  // Takes the other chunk's vertices, indices, face normals and neighbours (a copy of each) and
  // sets its buffers up again; false unless both have the same vertex type.
  virtual bool CopyGeometry(Display& display, const GeometryChunk& other);

  // This chunk's matrix number for a bone, added on first use; -1 past the matrix limit.
  i32 AddInfluenceMatrix(u32 bone);
  const std::vector<u32>& GetInfluenceMatrices() const { return influenceMatrices_; }
  // Forgets the bones and the matrices handed to their slots.
  void ResetMatrixArray();
  // The skinning matrix of a slot, drawn with the chunk (traced as "InfluenceMatrix"). A copy is
  // kept, so a chunk shared between instances never points into one that has gone; each instance
  // hands its matrices over again before it draws. Slots past the bone list are ignored.
  void AssignInfluenceMatrix(u32 slot, const Matrix4& matrix);
  // The matrices handed over, one a slot (identity where none was).
  const std::vector<Matrix4>& GetAssignedMatrices() const { return assignedMatrices_; }
  // Traces the handed-over matrices: slot, then the first three columns of each row.
  void TraceInfluenceMatrices(Display& display) const;

  StaticBuffer* GetStaticVertexBuffer() const { return vertexBuffer_.get(); }
  StaticBuffer* GetStaticIndexBuffer() const { return indexBuffer_.get(); }
  void SetStaticVertexBuffer(StaticBufferPtr buffer) { vertexBuffer_ = std::move(buffer); }
  void SetStaticIndexBuffer(StaticBufferPtr buffer) { indexBuffer_ = std::move(buffer); }

 protected:
  GeometryChunk(const VertexType* type, u32 vertexCount, u32 primitiveCount, u32 indexCount,
                u32 faceCount, u32 flags, bool zeroed = true);
  GeometryChunk(const GeometryChunk& shared);  // shares the vertex block
  void ReplaceBlock(std::shared_ptr<VertexBlock> block);
  void DropVertexBuffer(Display& display);

  const VertexType* vertexType_;
  std::shared_ptr<VertexBlock> block_;
  u32 flags_;
  u32 primitive_;
  u32 vertexCount_;
  u32 vertexCapacity_;
  u32 primitiveCount_;
  bool typeAssigned_ = false;
  std::vector<u16, DefaultInitAllocator<u16>> indices_;
  std::vector<f32, DefaultInitAllocator<f32>> faceNormals_;
  std::vector<u32> influenceMatrices_;
  std::vector<Matrix4> assignedMatrices_;
  f32 opacity_ = 1.0f;
  u32 vertexProgram_ = 0;
  std::vector<DataUsage> vertexDynamic_;
  std::vector<DataUsage> vertexShared_;
  bool indexDynamic_ = false;
  std::shared_ptr<const std::vector<u32>> faceNeighbours_;
  std::vector<std::pair<PString, f32>> properties_;
  StaticBufferPtr vertexBuffer_;
  StaticBufferPtr indexBuffer_;
};

// The engine's single-stream chunk: a fixed packed layout.
class GeometryChunkSingleStream : public GeometryChunk {
 protected:
  using GeometryChunk::GeometryChunk;
};

}  // namespace Qel
