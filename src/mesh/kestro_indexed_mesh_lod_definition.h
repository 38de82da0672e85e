// The shared content of a level-of-detail mesh: several indexed meshes of falling detail, each
// drawn from its switch distance on, and named meshes kept for special purposes ("collision" and
// the like), all sharing one material table, one attachment list and one bone table. Loaded from
// the LODM body of a QIRF file (".lm") or built from the text description ("lm.txt"), and written
// back as a ".lm" file: Save writes exactly what Load reads.
//
// Distance-switched levels come first, named levels after them. The summary fields of the indexed
// mesh base (chunks, materials, totals) are those of the last distance-switched level.
#pragma once

#include <vector>

#include "core/chunked_list.h"
#include "mesh/kestro_indexed_mesh_definition.h"

class ChunkWriter;

namespace Qel {
class ConfigData;
}  // namespace Qel

// What a level keeps of each chunk beside the chunk itself, for writing it back.
struct KestroLODChunkInfo {
  Qel::PString name;
  f32 scalar = 0.0f;
  u32 influences = 0;  // non-zero for a skinned chunk
};

struct KestroLODLevel {
  u32 chunkCount = 0;
  u32 vertexTotal = 0;
  u32 faceTotal = 0;
  bool hardwareSkinning = false;
  ChunkArray chunks;
  MaterialArray materials;
  std::vector<KestroLODChunkInfo> chunkInfo;
  // Per bone of the table, the bone's influence entries on this level's chunks.
  std::vector<std::vector<Qel::InfluenceChunkEntry>> boneEntries;
};

struct KestroNamedMesh {
  Qel::PString name;  // the purpose, lower case
  u32 level = 0;
  bool animated = false;
};

class KestroIndexedMeshLODDefinition : public KestroIndexedMeshDefinition {
 public:
  enum CalcPoint : u32 { kCalcCenter = 0, kCalcNear = 1, kCalcFar = 2 };
  // The marker that flags an attachment for the attachment cut-off.
  static constexpr const char* kCullSuffix = ":Cull";

  using KestroIndexedMeshDefinition::KestroIndexedMeshDefinition;
  ~KestroIndexedMeshLODDefinition() override;

  // A ".lm" file held in the memory file.
  u32 Load(Qel::Display* display, Qel::MaterialManager* manager,
           KestroGeometryBaseResource* resource, u32 argument, u32 defaultColour) override;
  u32 ReadInfo(ChunkReader& reader) override;
  void ApplyBoneInfluences() override;

  // The text description in a file, or already parsed. The meshes it names resolve through the
  // resource's database, relative to the resource's folder.
  u32 LoadText(const char* path, Qel::Display* display, Qel::MaterialManager* manager,
               KestroGeometryBaseResource* resource, u32 defaultColour);
  u32 LoadParsedText(const Qel::ConfigData& data, f32 version, const Qel::PString& name,
                     Qel::Display* display, Qel::MaterialManager* manager,
                     KestroGeometryBaseResource* resource, u32 defaultColour);
  // Writes a ".lm" file: 0 when written whole, 1 without levels, 2 when the file cannot be
  // written (nothing is left at the path then).
  u32 Save(const char* path) const;

  // Each material of a level that equals one of an earlier level (the same kind, the material's
  // own equality test and the same texture requests, loaded or not) is replaced by that one, so
  // that equal materials are shared.
  void ShareEqualMaterials();
  const std::vector<KestroLODLevel>& GetLevels() const { return levels_; }
  u32 GetLevelCount() const { return u32(levels_.size()); }
  const std::vector<f32>& GetSwitchDistances() const { return switchDistances_; }
  const std::vector<KestroNamedMesh>& GetNamedMeshes() const { return namedMeshes_; }
  // The level of the named mesh of that purpose, or -1.
  i32 FindNamedLevel(std::string_view purpose) const;
  u32 GetCalcPoint() const { return calcPoint_; }
  f32 GetOffset() const { return offset_; }
  f32 GetMultiplier() const { return multiplier_; }
  f32 GetAnimationCutOff() const { return animationCutOff_; }
  f32 GetRenderCutOff() const { return renderCutOff_; }
  f32 GetAttachmentCutOff() const { return attachmentCutOff_; }
  const std::vector<Qel::PString>& GetCullList() const { return cullList_; }

 private:
  void Clear();
  void DeleteAllLoadedMeshes();
  // The position of the named mesh that names this level, or -1.
  i32 FindNamedLevelIndex(u32 level) const;
  u32 ReadMaterialTable(ChunkReader& reader);
  u32 ReadMaterial(ChunkReader& reader, u32 index);
  // A BONT table or an RBOT tree when the chunk is there: at most `limit` records.
  u32 ReadBoneRecords(ChunkReader& reader, const char* tag, u32 limit,
                      std::vector<Qel::InfluenceDefinition>& records);
  u32 ReadBoneTree(ChunkReader& reader);
  u32 ReadMesh(ChunkReader& reader, u32 level);
  u32 ReadLevelBones(ChunkReader& reader, KestroLODLevel& level);
  u32 ReadLevelChunk(ChunkReader& reader, KestroLODLevel& level, std::vector<bool>& seen);
  u32 ReadGeometry(ChunkReader& reader, KestroLODLevel& level, u32 chunk);
  // Drops the chunks without vertices, faces or indices, renumbering the influences.
  void DropEmptyChunks(KestroLODLevel& level);
  // The level totals and the summary fields once the levels are in.
  void FinishLevels();
  void ComputeLevelBounds();
  void TakeCullMarkers();
  // The textures a material was given, as the writer stores them.
  void RememberTextures(const Qel::Material* material, std::vector<KestroMeshTexture> textures);
  // What RememberTextures holds for the material: empty when nothing.
  const std::vector<KestroMeshTexture>& RememberedTextures(const Qel::Material* material) const;

  u32 LoadLevelMesh(const Qel::String& name, bool reference);
  // The skeleton's bones as the RBOT records that Save writes.
  void RecordBoneTree(const Qel::Particle& node, const Qel::PString& parent);
  void MergeBoneInfluences(const KestroIndexedMeshDefinition& mesh, KestroLODLevel& level);

  void WriteInfo(ChunkWriter& writer) const;
  void WriteMaterialTable(ChunkWriter& writer, const std::vector<Qel::Material*>& table) const;
  void WriteMaterial(ChunkWriter& writer, const Qel::Material& material) const;
  // A BONT table or an RBOT tree: the bones' names, parents, positions and orientations.
  static void WriteBoneRecords(ChunkWriter& writer, const char* tag,
                               const std::vector<Qel::InfluenceDefinition>& records);
  void WriteAttachments(ChunkWriter& writer) const;
  void WriteMesh(ChunkWriter& writer, u32 level, const std::vector<Qel::Material*>& table) const;
  void WriteLevelBones(ChunkWriter& writer, const KestroLODLevel& level) const;
  void WriteLevelChunk(ChunkWriter& writer, const KestroLODLevel& level, u32 chunk,
                       u32 material) const;
  void WriteGeometry(ChunkWriter& writer, const KestroLODLevel& level, u32 chunk) const;

  std::vector<KestroLODLevel> levels_;
  u32 levelCount_ = 0;  // as INFO gives it
  std::vector<f32> switchDistances_;
  std::vector<KestroNamedMesh> namedMeshes_;
  u32 calcPoint_ = kCalcCenter;
  f32 offset_ = 0.0f;
  f32 multiplier_ = 1.0f;
  f32 animationCutOff_ = 0.0f;
  f32 renderCutOff_ = 0.0f;
  f32 attachmentCutOff_ = 0.0f;
  std::vector<Qel::PString> cullList_;
  MaterialArray materialTable_;  // the MATT table while a file is read
  std::vector<std::pair<const Qel::Material*, std::vector<KestroMeshTexture>>> textures_;
  std::vector<Qel::InfluenceDefinition> boneTree_;  // the skeleton's records, without entries
  bool skinningCapability_ = false;
  // The indexed meshes the text loader has open; emptied when a load ends or starts over.
  ChunkedList<KestroIndexedMeshDefinition*, 8> loadedMeshes_;
};
