// The shared, read-only content of one indexed mesh (".im"): geometry chunks and their materials,
// the skeleton or the bone influences, attachment points, bounds and the collision tree. Loaded
// from the IDXM body of a QIRF file, or built from configuration data (imtxt).
//
// Every count in a file is checked against the bytes left before anything is sized by it, every
// size ends inside its parent chunk, every index is checked against its table, and bone nesting is
// limited: a hostile file ends with RES_FILE_FORMAT_ERROR or RES_FILE_VERSION_ERROR.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "mesh/chunk_reader.h"
#include "mesh/kestro_mesh_material.h"
#include "mesh/kestro_mesh_settings.h"
#include "mesh/ref_ptr_array.h"
#include "qel/memory_file.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qelgfx/geometry_chunk.h"
#include "qelgfx/geometry_config_data.h"
#include "qelgfx/material.h"
#include "qelgfx/matrix.h"
#include "qelgfx/mesh_file_support.h"
#include "qelgfx/oriented_box.h"
#include "qelgfx/particle.h"
#include "qelgfx/quaternion.h"
#include "qelgfx/vector3.h"

namespace Qel {
class ConfigData;
class Display;
class MaterialManager;
}  // namespace Qel
class KQAxisBoxTree;
class Overlapped;
class KestroGeometryBaseResource;
class MipFactorSum;

using ChunkArray = RefPtrArray<Qel::GeometryChunk>;
using MaterialArray = RefPtrArray<Qel::Material>;

namespace Qel {

// One bone of an influence table and the vertices it moves.
struct InfluenceChunkEntry {
  u32 chunk = 0;
  std::vector<InfluenceWeight> weights;
};

struct InfluenceDefinition {
  String name;
  String parentName;  // empty for a bone without parent
  Vector3 position;
  Matrix orientation;
  std::vector<InfluenceChunkEntry> entries;
};

}  // namespace Qel

struct KestroAttachment {
  Qel::Matrix orientation;
  Qel::Vector3 position;
  Qel::PString name;
};

// The back pointer through which a collision tree fetches its triangles from the definition.
class CollisionGeometrySharingInterface;

class KestroIndexedMeshDefinition : public Qel::MeshFileSupport {
 public:
  static constexpr u32 kInfluenceLimit = 4;
  static constexpr u32 kMatrixLimit = 25;
  static constexpr u32 kMaxTextureSets = 8;
  // Deeper SKEL bone trees are refused rather than recursed into.
  static constexpr u32 kMaxBoneDepth = 256;
  // INFL bone counts at or above this are read as no bones.
  static constexpr u32 kMaxInfluenceBones = 1024;
  // The display capability that hardware skinning needs.
  static constexpr u32 kCapabilityMatrixPalette = 29;
  // Smallest records of both mesh files, for checking counts against the bytes left before
  // sizing anything by them. A padded string is its count and its NUL: padding runs to a boundary
  // of the file offset, and a string that starts off one (after a byte field) may end on one
  // without any.
  static constexpr u32 kMinPaddedString = 5;
  static constexpr u32 kWeightRecordBytes = 20;
  // Lets hardware skinning past the matrix limit and without the display's capability.
  static bool s_forceHardwareSkinning;  // NOLINT(readability-identifier-naming): engine switch

  explicit KestroIndexedMeshDefinition(const KestroMeshSettings& settings = {});
  virtual ~KestroIndexedMeshDefinition();
  KestroIndexedMeshDefinition(const KestroIndexedMeshDefinition&) = delete;
  KestroIndexedMeshDefinition& operator=(const KestroIndexedMeshDefinition&) = delete;

  // From the file held in the memory file. `resource` may be null (no owner, folder or database).
  virtual u32 Load(Qel::Display* display, Qel::MaterialManager* manager,
                   KestroGeometryBaseResource* resource, u32 argument, u32 defaultColour);
  virtual u32 LoadFromConfigData(Qel::Display* display, Qel::MaterialManager* manager,
                                 KestroGeometryBaseResource* resource, const Qel::ConfigData& data,
                                 u32 defaultColour);
  virtual u32 LoadFromText(const char* path, Qel::Display* display, Qel::MaterialManager* manager,
                           KestroGeometryBaseResource* resource, u32 defaultColour);

  // Chunk readers; each returns a load code.
  virtual void ApplyBoneInfluences();
  virtual u32 ReadInfo(ChunkReader& reader);
  virtual u32 ReadChunk(ChunkReader& reader, u32 index);
  virtual u32 ReadChunkGeometry(ChunkReader& reader, u32 index);
  virtual u32 ReadChunkMaterial(ChunkReader& reader, u32 index);
  virtual u32 CreateMaterialFromDescription(Qel::MaterialManager* manager,
                                            KestroGeometryBaseResource* resource, u32 index,
                                            const KestroMaterialDescription& description);
  virtual u32 ReadChunkNeighbours(ChunkReader& reader, u32 index);
  virtual u32 ReadAttachments(ChunkReader& reader);
  virtual u32 ReadSkeletonOrInfluences(ChunkReader& reader);
  virtual u32 ReadBone(ChunkReader& reader, Qel::ParticleBone* parent, u32 depth);
  virtual u32 CreateMaterial(Qel::MaterialManager* manager, KestroGeometryBaseResource* resource,
                             const Qel::GeometryConfigData& source, u32 index);
  virtual u32 BuildChunkFromSource(const Qel::GeometryConfigData& source, u32 index,
                                   u32 defaultColour);
  virtual u32 CopyInfluencesFromSource(const Qel::GeometryConfigData& source);
  virtual u32 CopyAttachmentsFromSource(const Qel::GeometryConfigData& source);

  // Gives the pending materials their textures; failures are kept in GetTextureFailures.
  void FinishPendingMaterials();
  // Attachments whose names begin with 'a' or 'A' become attachment points of the structure.
  void AddAttachmentPoints(Qel::ParticleStructure& structure) const;
  void RequestCollisionTree();
  // The tree once its build has been delivered; a served build is completed here.
  KQAxisBoxTree* GetCollisionTree();
  bool HasPendingCollisionTree() const { return pendingTree_ != nullptr; }

  // The mesh-data queries the engine asks of a definition. Indices out of range answer 0, the
  // empty text or nothing copied. Copies go to a caller's buffer of one record a vertex (or an
  // index, or a face), `stride` bytes apart.
  // The largest number of weight records naming one vertex of chunk c.
  u32 GetMostInfluences(u32 chunk) const;
  u32 GetTextureSetCount(u32 chunk) const;
  u32 GetChunkVertexCount(u32 chunk) const;
  u32 GetChunkIndexCount(u32 chunk) const;
  u32 GetChunkPrimitiveCount(u32 chunk) const;
  void CopyPositions(u32 chunk, void* out, u32 stride) const;
  void CopyTextureSet(u32 chunk, u32 set, void* out, u32 stride) const;
  void CopyIndices(u32 chunk, u16* out) const;
  void CopyNormals(u32 chunk, void* out, u32 stride) const;
  // The first colour item when `first`, else the second; `fixed` where the chunk has none.
  void CopyColours(u32 chunk, bool first, u32 fixed, void* out, u32 stride) const;
  void CopyFaceNormals(u32 chunk, f32* out) const;
  Qel::PString GetMaterialName(u32 material) const;
  std::vector<Qel::PString> GetMaterialTextures(u32 material) const;
  bool GetMaterialFlag(u32 material) const;
  f32 GetMaterialFloat(u32 material) const;
  Qel::DisplayMaterial GetMaterialDisplay(u32 material) const;
  u32 GetMaterialPropertyCount(u32 material) const;
  // Property k's value when `value`, else its name.
  Qel::String GetMaterialProperty(u32 material, u32 k, bool value) const;
  Qel::PString GetBoneName(u32 bone) const;
  Qel::PString GetBoneParentName(u32 bone) const;
  Qel::Vector3 GetBonePosition(u32 bone) const;
  Qel::Quaternion GetBoneOrientation(u32 bone) const;
  u32 GetBoneChunkCount(u32 bone) const;
  u32 GetBoneEntryChunk(u32 bone, u32 entry) const;
  u32 GetBoneEntryWeightCount(u32 bone, u32 entry) const;
  void CopyBoneWeights(u32 bone, u32 entry, Qel::InfluenceWeight* out) const;
  Qel::PString GetAttachmentName(u32 attachment) const;
  Qel::Quaternion GetAttachmentOrientation(u32 attachment) const;
  Qel::Vector3 GetAttachmentPosition(u32 attachment) const;

  Qel::MemoryFile& GetMemoryFile() { return memory_; }
  const Qel::String& GetFileName() const { return fileName_; }
  void SetFileName(const Qel::String& name) { fileName_ = name; }
  const KestroMeshSettings& GetSettings() const { return settings_; }

  u32 GetChunkCount() const { return chunkCount_; }
  const ChunkArray& GetChunks() const { return chunks_; }
  // A new holder of the shared material array.
  MaterialArray GetMaterials() const { return materials_; }
  const Qel::PString& GetChunkName(u32 chunk) const;
  u32 GetVertexTotal() const { return vertexTotal_; }
  u32 GetFaceTotal() const { return faceTotal_; }
  u32 GetInfluencesPerVertex() const { return influencesPerVertex_; }
  u32 GetMatrixCount() const { return matrixCount_; }
  u32 GetMatrixLimit() const { return matrixLimit_; }
  bool IsHardwareSkinned() const { return hardwareSkinning_; }
  u32 GetBoneCount() const { return u32(influences_.size()); }
  const std::vector<Qel::InfluenceDefinition>& GetInfluences() const { return influences_; }
  bool HasInfluenceTable() const { return !influences_.empty(); }
  Qel::ParticleBone* GetRootBone() const { return rootBone_.get(); }
  const std::vector<KestroAttachment>& GetAttachments() const { return attachments_; }
  const Qel::Vector3& GetPosition() const { return position_; }
  const Qel::Quaternion& GetOrientation() const { return orientation_; }
  const Qel::Vector3& GetBoxMin() const { return boxMin_; }
  const Qel::Vector3& GetBoxMax() const { return boxMax_; }
  const Qel::OrientedBox& GetOrientedBox() const { return orientedBox_; }
  f32 GetMipFactor() const { return mipFactor_; }
  Qel::Display* GetDisplay() const { return display_; }
  const std::vector<Qel::PString>& GetTextureFailures() const { return textureFailures_; }
  u32 GetPendingMaterialCount() const { return u32(pendingMaterials_.size()); }
  // Hands the materials still waiting for their textures to another definition.
  std::vector<KestroPendingMaterial> TakePendingMaterials() {
    return std::exchange(pendingMaterials_, {});
  }

 protected:
  // The creation hint of a chunk from the mesh settings.
  Qel::StandardChunkHint MakeChunkHint(u32 textureSets) const;
  // Every vertex bound to matrix 0 with full weight; false when the chunk lacks the items.
  bool InitialiseBlendData(Qel::GeometryChunk& chunk, u32 weights, bool floatWeights) const;
  static u32 ReadVector(Qel::MemoryFile& memory, Qel::Vector3& v);
  // The position and the orientation quaternion (x, y, z, w), as INFO stores them.
  void ReadPlacement(Qel::MemoryFile& memory);
  // Name, parent name, position and the nine floats of the orientation.
  static void ReadBoneRecord(Qel::MemoryFile& memory, Qel::InfluenceDefinition& bone);
  // The fields of a MATL body: the name, the properties, the flag and scalar, the colours and
  // power (the emissive colour halved, as files store it doubled), and the textures placed in the
  // mesh's folder by their file parts. RES_FILE_FORMAT_ERROR for counts the chunk cannot hold.
  u32 ReadMaterialFields(ChunkReader& reader, Qel::String& name,
                         KestroMaterialDescription& description) const;
  void SetLoadContext(Qel::Display* display, Qel::MaterialManager* manager,
                      KestroGeometryBaseResource* resource, u32 defaultColour);
  // QIRF, the IDXM body tag, INFO and the CHNKs with their empty ones dropped.
  u32 ReadHeadAndChunks(ChunkReader& reader);
  // The totals, the body's end, bones, influences, bounds; the mip factor when asked.
  u32 FinishLoad(ChunkReader& reader, bool mipFactor);
  void BuildBonesFromInfluences();
  void ComputeBounds();
  void ComputeMipFactor();
  // Adds a kept chunk to the bounds and mip sums of the load while its records are in cache.
  void FoldLoadedChunk(Qel::GeometryChunk& chunk);
  // Neighbour entries naming a chunk or face that is not there.
  bool NeighboursInRange() const;
  void DropLastChunk();

  KestroMeshSettings settings_;
  Qel::Display* display_ = nullptr;
  Qel::MaterialManager* manager_ = nullptr;
  KestroGeometryBaseResource* resource_ = nullptr;
  u32 defaultColour_ = 0xFFFFFFFF;

  Qel::Vector3 position_;
  Qel::Quaternion orientation_;
  Qel::Vector3 boxMin_;
  Qel::Vector3 boxMax_;
  // What FoldLoadedChunk gathered during ReadHeadAndChunks.
  Qel::Vector3 loadLow_;
  Qel::Vector3 loadHigh_;
  std::unique_ptr<MipFactorSum> loadMipSum_;
  u32 chunkCount_ = 0;
  u32 vertexTotal_ = 0;
  u32 faceTotal_ = 0;
  u32 influencesPerVertex_ = 0;
  u32 matrixCount_ = 0;
  u32 matrixLimit_ = kMatrixLimit;
  bool hardwareSkinning_ = false;
  bool displayCapability_ = false;
  ChunkArray chunks_;
  MaterialArray materials_;
  std::vector<KestroAttachment> attachments_;
  Qel::MemoryFile memory_;
  Qel::String fileName_;
  std::vector<Qel::PString> chunkNames_;
  std::vector<Qel::InfluenceDefinition> influences_;
  std::unique_ptr<Qel::ParticleBone> rootBone_;
  std::vector<KestroPendingMaterial> pendingMaterials_;
  std::vector<Qel::PString> textureFailures_;
  f32 mipFactor_ = 0.0f;
  Qel::OrientedBox orientedBox_;

  std::unique_ptr<KQAxisBoxTree> collisionTree_;
  std::unique_ptr<KQAxisBoxTree> builtTree_;  // handed over by the finish step
  std::unique_ptr<CollisionGeometrySharingInterface> collisionSharing_;
  std::unique_ptr<Overlapped> pendingTree_;

 private:
  static bool ServeCollisionTree(uintptr_t self);
  static bool FinishCollisionTree(uintptr_t self);
};
