// An indexed mesh written as configuration text ("imtxt"), read into the arrays a mesh definition
// copies its chunks, materials, skeleton and attachments from.
//
//   version 1.0
//   position 0,0,0                      optional, the mesh's place
//   orientation 0,0,0,1                 optional, a quaternion x,y,z,w
//   influences-per-vertex 0             optional
//   matrix-count 0                      optional
//   chunks
//   {
//     chunk "body"                      the value is the chunk's name, which may be empty
//     {
//       primitive 0                     the file's primitive code: 0, 1, 2, 4, 8 or 16
//       weights-per-vertex 0            optional
//       material "body.m.onetex"        a decorated name, or a plain one to be decorated
//       {
//         flag 0                        optional, as every key of a material
//         float 1.0
//         diffuse 1,1,1,1               four colours of 3 or 4 numbers, then the power
//         ambient 1,1,1,1
//         specular 0,0,0,1
//         emissive 0,0,0,1
//         power 10
//         properties { RustAge 0.5 }    name and value pairs, in order
//         textures
//         {
//           texture "body.texture"
//           {
//             stage 0
//             amount 1.0
//           }
//         }
//       }
//       vertices
//       {
//         vertex
//         {
//           position 0,0,0
//           normal 0,0,1
//           uv0 0,0
//           colour 0xFF808080
//         }
//       }
//       indices 0,1,2
//     }
//   }
//   bones
//   {
//     bone "root"                     a bone without "parent" is a root
//     {
//       position 0,0,0
//       orientation 0,0,0,1
//     }
//   }
//   influences
//   {
//     influence "root"
//     {
//       chunk 0
//       weights 0,1,0,0,0, 1,1,0,0,0
//     }
//   }
//   attachments
//   {
//     attachment "a.cab"
//     {
//       position 0,0,1
//       orientation 0,0,0,1
//     }
//   }
//
// A value runs to the end of its line, so every key takes a line of its own. A vertex has a
// position, and optionally a normal (else 0,0,0), texture sets uv0 to uv7 and a colour (u32,
// written decimal or 0x hex). The first vertex of a chunk fixes which texture sets and whether a
// colour the chunk has; every later vertex must carry the same texture sets. Indices are 16 bits
// and below the chunk's vertex count; the faces are the index triples, and their normals are
// computed from the positions. Weights come in records of five numbers: the vertex (below the
// chunk's vertex count) and four weights. Lists are numbers separated by commas or blanks. Anything
// else that does not fit refuses the whole text.
#pragma once

#include <vector>

#include "qel/config_data.h"
#include "qel/string.h"
#include "qel/types.h"
#include "qelgfx/display_material.h"
#include "qelgfx/quaternion.h"
#include "qelgfx/vector3.h"

namespace Qel {

// One weight record of a bone on a chunk: the vertex and four weights, the first of which is the
// vertex's weight for that bone.
struct InfluenceWeight {
  u32 vertex = 0;
  f32 weights[4] = {};
};

struct MaterialTextureEntry {
  u32 stage = 0;
  String path;
  f32 amount = 1.0f;
};

class GeometryConfigData {
 public:
  enum LoadOption : u32 {
    kLoadGeometry = 0x1,  // chunks and their materials
    kLoadBones = 0x2,     // bones and influences
    kLoadAttachments = 0x4,
    kLoadAll = 0x7,
  };
  static constexpr u32 kMaxTextureSets = 8;
  // Indices are 16 bits, so a chunk holds no more vertices than they can name.
  static constexpr u32 kMaxChunkVertices = 0x10000;

  // Reads the items of a configuration text. False, with everything emptied and the reason in
  // GetError (prefixed with `name` when given), for text that breaks the schema above.
  bool Load(const ConfigData& data, u32 options = kLoadAll, const char* name = nullptr);
  void Clear();
  const String& GetError() const { return error_; }

  u32 GetMaxVertices() const;
  const Vector3& GetPosition() const { return position_; }
  const Quaternion& GetOrientation() const { return orientation_; }
  u32 GetInfluencesPerVertex() const { return influencesPerVertex_; }
  u32 GetMatrixCount() const { return matrixCount_; }

  // Chunks; an index past the count answers 0, or false for the copies.
  u32 GetNumChunks() const { return u32(chunks_.size()); }
  const String& GetChunkName(u32 c) const;
  u32 GetPrimitive(u32 c) const;
  u32 GetVertexCount(u32 c) const;
  u32 GetIndexCount(u32 c) const;
  u32 GetFaceCount(u32 c) const;
  u32 GetTextureSetCount(u32 c) const;
  u32 GetWeightsPerVertex(u32 c) const;
  // Into strided targets of vertex-count entries.
  bool CopyPositions(u32 c, void* target, u32 stride) const;
  bool CopyTextureSet(u32 c, u32 set, void* target, u32 stride) const;
  bool CopyNormals(u32 c, void* target, u32 stride) const;
  // `first` selects the first colour item, the one this text can hold; the other item, and a
  // chunk without colours, take the default colour.
  bool CopyColours(u32 c, void* target, u32 stride, u32 defaultColour, bool first) const;
  bool CopyIndices(u32 c, u16* target) const;
  // Face count x three floats.
  bool CopyFaceNormals(u32 c, f32* target) const;

  // Materials, one a chunk.
  u32 GetMaterialCount() const { return GetNumChunks(); }
  const String& GetMaterialName(u32 m) const;
  const std::vector<MaterialTextureEntry>& GetTextureList(u32 m) const;
  u32 GetTotalTextureCount() const;
  bool GetMaterialFlag(u32 m) const;
  f32 GetMaterialFloat(u32 m) const;
  DisplayMaterial GetDisplayMaterial(u32 m) const;
  u32 GetPropertyCount(u32 m) const;
  // The name, or with `value` set the value, of property k; empty past the count.
  String GetProperty(u32 m, u32 k, bool value) const;

  u32 GetBoneCount() const { return u32(bones_.size()); }
  const String& GetBoneName(u32 b) const;
  const String& GetBoneParentName(u32 b) const;
  Vector3 GetBonePosition(u32 b) const;
  Quaternion GetBoneOrientation(u32 b) const;
  u32 GetInfluencedChunkCount(u32 b) const;
  u32 GetInfluenceChunkIndex(u32 b, u32 e) const;
  u32 GetInfluenceWeightCount(u32 b, u32 e) const;
  bool CopyInfluenceWeights(u32 b, u32 e, InfluenceWeight* target) const;

  u32 GetAttachmentCount() const { return u32(attachments_.size()); }
  const String& GetAttachmentName(u32 a) const;
  Quaternion GetAttachmentOrientation(u32 a) const;
  Vector3 GetAttachmentPosition(u32 a) const;

 private:
  struct Material {
    String name;
    bool flag = false;
    f32 materialFloat = 1.0f;
    DisplayMaterial display;
    std::vector<std::pair<String, String>> properties;
    std::vector<MaterialTextureEntry> textures;
  };
  struct Chunk {
    String name;
    u32 primitive = 0;
    u32 weightsPerVertex = 0;
    u32 textureSets = 0;
    bool hasColour = false;
    std::vector<Vector3> positions;
    std::vector<Vector3> normals;
    std::vector<f32> uvs;  // textureSets pairs a vertex
    std::vector<u32> colours;
    std::vector<u16> indices;
    Material material;
  };
  struct InfluenceEntry {
    u32 chunk = 0;
    std::vector<InfluenceWeight> weights;
  };
  struct Bone {
    String name;
    String parent;
    Vector3 position;
    Quaternion orientation;
    std::vector<InfluenceEntry> entries;
  };
  struct Attachment {
    String name;
    Vector3 position;
    Quaternion orientation;
  };

  class Reader;

  const Chunk* FindChunk(u32 c) const { return c < chunks_.size() ? &chunks_[c] : nullptr; }
  const InfluenceEntry* FindEntry(u32 b, u32 e) const;

  String error_;
  Vector3 position_;
  Quaternion orientation_;
  u32 influencesPerVertex_ = 0;
  u32 matrixCount_ = 0;
  std::vector<Chunk> chunks_;
  std::vector<Bone> bones_;
  std::vector<Attachment> attachments_;
};

}  // namespace Qel
