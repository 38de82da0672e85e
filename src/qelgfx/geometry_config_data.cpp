#include "qelgfx/geometry_config_data.h"

#include <cstring>

#include "qelgfx/config_tokens.h"

namespace Qel {

namespace {

void Normalise(Vector3& v) { v.Normalise(); }

}  // namespace

// Reads one text into a fresh object; the first fault stops it with a message naming the item.
class GeometryConfigData::Reader {
 public:
  explicit Reader(GeometryConfigData& out) : out_(out) {}

  bool Read(const ConfigData& data, u32 options) {
    if (!ReadVector(data, "position", out_.position_) ||
        !ReadQuaternion(data, "orientation", out_.orientation_) ||
        !ReadCount(data, "influences-per-vertex", out_.influencesPerVertex_) ||
        !ReadCount(data, "matrix-count", out_.matrixCount_)) {
      return false;
    }
    if ((options & kLoadGeometry) && !ReadBlock(data, "chunks", "chunk", &Reader::ReadChunk)) {
      return false;
    }
    if (options & kLoadBones) {
      if (!ReadBlock(data, "bones", "bone", &Reader::ReadBone)) return false;
      if (!ReadBlock(data, "influences", "influence", &Reader::ReadInfluence)) return false;
    }
    if (options & kLoadAttachments) {
      return ReadBlock(data, "attachments", "attachment", &Reader::ReadAttachment);
    }
    return true;
  }

  String TakeError() { return std::move(error_); }

 private:
  using ItemReader = bool (Reader::*)(const ConfigData&);

  bool Fail(const String& where, const char* what) {
    error_ = where + ": " + what;
    return false;
  }

  // Every child of the block must be an item of the one kind.
  bool ReadBlock(const ConfigData& data, const char* blockKey, const char* itemKey,
                 ItemReader reader) {
    if (data.CountChildren(blockKey) > 1) return Fail(blockKey, "appears more than once");
    const ConfigData* block = data.FindChild(blockKey);
    if (!block) return true;
    for (u32 i = 0; i < block->GetChildCount(); ++i) {
      const ConfigData& item = block->GetChild(i);
      where_ = String::Format("%s %u", itemKey, i);
      if (!item.GetKey().EqualsIgnoreCase(itemKey)) return Fail(where_, "unexpected item");
      if (!(this->*reader)(item)) return false;
    }
    return true;
  }

  // Exactly `count` numbers (or `minimum` to `count`), read from the first child of that key.
  bool ReadFloats(const ConfigData& data, const char* key, f32* target, u32 minimum, u32 count,
                  bool required = false) {
    const ConfigData* child = data.FindChild(key);
    if (!child) return !required || Fail(where_ + " " + key, "is missing");
    u32 n = 0;
    f32 values[8] = {};
    const bool ok = ForEachConfigToken(child->GetValue(), [&](const std::string& token) {
      return n < count && ParseConfigFloat(token, values[n++]);
    });
    if (!ok || n < minimum) {
      return Fail(where_ + " " + key, String::Format("needs %u numbers", count).CStr());
    }
    for (u32 i = 0; i < n; ++i) target[i] = values[i];
    return true;
  }
  bool ReadVector(const ConfigData& data, const char* key, Vector3& v, bool required = false) {
    f32 values[3] = {v.x, v.y, v.z};
    if (!ReadFloats(data, key, values, 3, 3, required)) return false;
    v = {values[0], values[1], values[2]};
    return true;
  }
  bool ReadQuaternion(const ConfigData& data, const char* key, Quaternion& q) {
    f32 values[4] = {q.x, q.y, q.z, q.w};
    if (!ReadFloats(data, key, values, 4, 4)) return false;
    q = {values[0], values[1], values[2], values[3]};
    q.Normalise();
    return true;
  }
  bool ReadColour(const ConfigData& data, const char* key, ColourValue& c) {
    f32 values[4] = {c.r, c.g, c.b, c.a};
    if (!ReadFloats(data, key, values, 3, 4)) return false;
    c = {values[0], values[1], values[2], values[3]};
    return true;
  }
  bool ReadCount(const ConfigData& data, const char* key, u32& value) {
    const ConfigData* child = data.FindChild(key);
    if (!child) return true;
    String text = child->GetValue();
    text.TrimLeft();
    text.TrimRight();
    if (!ParseConfigU32(text.Std(), value)) return Fail(where_ + " " + key, "is not a count");
    return true;
  }

  bool ReadChunk(const ConfigData& item) {
    Chunk& chunk = out_.chunks_.emplace_back();
    chunk.name = item.GetValue();
    if (!ReadCount(item, "primitive", chunk.primitive) ||
        !ReadCount(item, "weights-per-vertex", chunk.weightsPerVertex)) {
      return false;
    }
    switch (chunk.primitive) {
      case 0:
      case 1:
      case 2:
      case 4:
      case 8:
      case 16:
        break;
      default:
        return Fail(where_ + " primitive", "is not a primitive code");
    }
    if (chunk.weightsPerVertex > 4) return Fail(where_, "weights-per-vertex is above 4");
    const ConfigData* material = item.FindChild("material");
    if (!material) return Fail(where_, "has no material");
    if (!ReadMaterial(*material, chunk.material)) return false;
    const ConfigData* vertices = item.FindChild("vertices");
    if (vertices) {
      const String chunkWhere = where_;
      for (u32 v = 0; v < vertices->GetChildCount(); ++v) {
        where_ = chunkWhere + String::Format(" vertex %u", v);
        if (!ReadVertex(vertices->GetChild(v), chunk, v == 0)) return false;
      }
      where_ = chunkWhere;
    }
    return ReadIndices(item, chunk);
  }

  bool ReadVertex(const ConfigData& vertex, Chunk& chunk, bool first) {
    if (!vertex.GetKey().EqualsIgnoreCase("vertex")) return Fail(where_, "unexpected item");
    if (chunk.positions.size() >= kMaxChunkVertices) return Fail(where_, "too many vertices");
    Vector3 position;
    Vector3 normal;
    if (!ReadVector(vertex, "position", position, true) || !ReadVector(vertex, "normal", normal)) {
      return false;
    }
    if (first) {
      while (chunk.textureSets < kMaxTextureSets &&
             vertex.FindChild(String::Format("uv%u", chunk.textureSets).CStr())) {
        ++chunk.textureSets;
      }
      chunk.hasColour = vertex.FindChild("colour") != nullptr;
    }
    for (u32 t = 0; t < chunk.textureSets; ++t) {
      f32 uv[2] = {};
      if (!ReadFloats(vertex, String::Format("uv%u", t).CStr(), uv, 2, 2, true)) return false;
      chunk.uvs.push_back(uv[0]);
      chunk.uvs.push_back(uv[1]);
    }
    u32 colour = 0xFFFFFFFFu;
    if (chunk.hasColour && !ReadCount(vertex, "colour", colour)) return false;
    chunk.positions.push_back(position);
    chunk.normals.push_back(normal);
    if (chunk.hasColour) chunk.colours.push_back(colour);
    return true;
  }

  bool ReadIndices(const ConfigData& item, Chunk& chunk) {
    const ConfigData* indices = item.FindChild("indices");
    if (!indices) return true;
    const size_t vertexCount = chunk.positions.size();
    bool inRange = true;
    const bool ok = ForEachConfigToken(indices->GetValue(), [&](const std::string& token) {
      u32 index = 0;
      if (!ParseConfigU32(token, index)) return false;
      inRange = index < vertexCount;
      if (inRange) chunk.indices.push_back(u16(index));
      return inRange;
    });
    if (!inRange) return Fail(where_ + " indices", "name a vertex the chunk does not have");
    if (!ok) return Fail(where_ + " indices", "are not counts");
    return true;
  }

  bool ReadMaterial(const ConfigData& data, Material& material) {
    const String chunkWhere = where_;
    where_ += " material";
    material.name = data.GetValue();
    u32 flag = 0;
    if (!ReadCount(data, "flag", flag) ||
        !ReadFloats(data, "float", &material.materialFloat, 1, 1) ||
        !ReadColour(data, "diffuse", material.display.diffuse) ||
        !ReadColour(data, "ambient", material.display.ambient) ||
        !ReadColour(data, "specular", material.display.specular) ||
        !ReadColour(data, "emissive", material.display.emissive) ||
        !ReadFloats(data, "power", &material.display.power, 1, 1)) {
      return false;
    }
    material.flag = flag != 0;
    if (const ConfigData* properties = data.FindChild("properties")) {
      for (u32 k = 0; k < properties->GetChildCount(); ++k) {
        const ConfigData& p = properties->GetChild(k);
        material.properties.emplace_back(p.GetKey(), p.GetValue());
      }
    }
    if (const ConfigData* textures = data.FindChild("textures")) {
      for (u32 t = 0; t < textures->GetChildCount(); ++t) {
        const ConfigData& texture = textures->GetChild(t);
        where_ = chunkWhere + String::Format(" texture %u", t);
        if (!texture.GetKey().EqualsIgnoreCase("texture")) return Fail(where_, "unexpected item");
        if (texture.GetValue().IsEmpty()) return Fail(where_, "names no file");
        MaterialTextureEntry entry;
        entry.path = texture.GetValue();
        if (!ReadCount(texture, "stage", entry.stage) ||
            !ReadFloats(texture, "amount", &entry.amount, 1, 1)) {
          return false;
        }
        material.textures.push_back(std::move(entry));
      }
    }
    where_ = chunkWhere;
    return true;
  }

  bool ReadBone(const ConfigData& item) {
    Bone& bone = out_.bones_.emplace_back();
    bone.name = item.GetValue();
    bone.parent = item.GetText("parent");
    if (bone.name.IsEmpty()) return Fail(where_, "has no name");
    return ReadVector(item, "position", bone.position) &&
           ReadQuaternion(item, "orientation", bone.orientation);
  }

  bool ReadInfluence(const ConfigData& item) {
    Bone* bone = nullptr;
    for (Bone& b : out_.bones_) {
      if (b.name == item.GetValue()) bone = &b;
    }
    if (!bone) return Fail(where_, "names no bone");
    InfluenceEntry entry;
    const ConfigData* chunkItem = item.FindChild("chunk");
    if (!chunkItem) return Fail(where_, "names no chunk");
    if (!ReadCount(item, "chunk", entry.chunk)) return false;
    // Without geometry the chunk counts cannot be checked; the definition checks them again.
    const Chunk* chunk = out_.FindChunk(entry.chunk);
    if (!out_.chunks_.empty() && !chunk) return Fail(where_, "names a chunk that does not exist");
    const u32 vertexLimit = chunk ? u32(chunk->positions.size()) : ~0u;
    u32 n = 0;
    InfluenceWeight record;
    bool vertexOk = true;
    const ConfigData* weights = item.FindChild("weights");
    const bool ok = !weights || ForEachConfigToken(weights->GetValue(), [&](const std::string& token) {
      const u32 slot = n++ % 5;
      if (slot == 0) {
        vertexOk = ParseConfigU32(token, record.vertex) && record.vertex < vertexLimit;
        return vertexOk;
      }
      if (!ParseConfigFloat(token, record.weights[slot - 1])) return false;
      if (slot == 4) entry.weights.push_back(record);
      return true;
    });
    if (!vertexOk) return Fail(where_, "weights name a vertex the chunk does not have");
    if (!ok || n % 5 != 0) return Fail(where_, "weights are not records of five numbers");
    bone->entries.push_back(std::move(entry));
    return true;
  }

  bool ReadAttachment(const ConfigData& item) {
    Attachment& attachment = out_.attachments_.emplace_back();
    attachment.name = item.GetValue();
    return ReadVector(item, "position", attachment.position) &&
           ReadQuaternion(item, "orientation", attachment.orientation);
  }

  GeometryConfigData& out_;
  String where_;
  String error_;
};

bool GeometryConfigData::Load(const ConfigData& data, u32 options, const char* name) {
  Clear();
  Reader reader(*this);
  if (reader.Read(data, options)) return true;
  const String error = reader.TakeError();
  Clear();
  error_ = name && *name ? String(name) + ": " + error : error;
  return false;
}

void GeometryConfigData::Clear() {
  error_.Clear();
  position_ = {};
  orientation_ = {};
  influencesPerVertex_ = 0;
  matrixCount_ = 0;
  chunks_.clear();
  bones_.clear();
  attachments_.clear();
}

u32 GeometryConfigData::GetMaxVertices() const {
  u32 total = 0;
  for (const Chunk& chunk : chunks_) total += u32(chunk.positions.size());
  return total;
}

namespace {

const String& EmptyText() {
  static const String* empty = new String;
  return *empty;
}

// Writes `count` values of T, `stride` bytes apart.
template <typename T, typename Fn>
void Scatter(void* target, u32 stride, size_t count, Fn&& value) {
  u8* at = static_cast<u8*>(target);
  for (size_t i = 0; i < count; ++i, at += stride) {
    const T v = value(i);
    std::memcpy(at, &v, sizeof v);
  }
}

}  // namespace

const String& GeometryConfigData::GetChunkName(u32 c) const {
  return FindChunk(c) ? FindChunk(c)->name : EmptyText();
}
u32 GeometryConfigData::GetPrimitive(u32 c) const {
  return FindChunk(c) ? FindChunk(c)->primitive : 0;
}
u32 GeometryConfigData::GetVertexCount(u32 c) const {
  return FindChunk(c) ? u32(FindChunk(c)->positions.size()) : 0;
}
u32 GeometryConfigData::GetIndexCount(u32 c) const {
  return FindChunk(c) ? u32(FindChunk(c)->indices.size()) : 0;
}
u32 GeometryConfigData::GetFaceCount(u32 c) const { return GetIndexCount(c) / 3; }
u32 GeometryConfigData::GetTextureSetCount(u32 c) const {
  return FindChunk(c) ? FindChunk(c)->textureSets : 0;
}
u32 GeometryConfigData::GetWeightsPerVertex(u32 c) const {
  return FindChunk(c) ? FindChunk(c)->weightsPerVertex : 0;
}

bool GeometryConfigData::CopyPositions(u32 c, void* target, u32 stride) const {
  const Chunk* chunk = FindChunk(c);
  if (!chunk || !target) return false;
  Scatter<Vector3>(target, stride, chunk->positions.size(),
                   [&](size_t i) { return chunk->positions[i]; });
  return true;
}

bool GeometryConfigData::CopyTextureSet(u32 c, u32 set, void* target, u32 stride) const {
  const Chunk* chunk = FindChunk(c);
  if (!chunk || !target || set >= chunk->textureSets) return false;
  struct Uv {
    f32 u, v;
  };
  Scatter<Uv>(target, stride, chunk->positions.size(), [&](size_t i) {
    const size_t at = (i * chunk->textureSets + set) * 2;
    return Uv{chunk->uvs[at], chunk->uvs[at + 1]};
  });
  return true;
}

bool GeometryConfigData::CopyNormals(u32 c, void* target, u32 stride) const {
  const Chunk* chunk = FindChunk(c);
  if (!chunk || !target) return false;
  Scatter<Vector3>(target, stride, chunk->normals.size(),
                   [&](size_t i) { return chunk->normals[i]; });
  return true;
}

bool GeometryConfigData::CopyColours(u32 c, void* target, u32 stride, u32 defaultColour,
                                     bool first) const {
  const Chunk* chunk = FindChunk(c);
  if (!chunk || !target) return false;
  const bool own = first && chunk->hasColour;
  Scatter<u32>(target, stride, chunk->positions.size(),
               [&](size_t i) { return own ? chunk->colours[i] : defaultColour; });
  return true;
}

bool GeometryConfigData::CopyIndices(u32 c, u16* target) const {
  const Chunk* chunk = FindChunk(c);
  if (!chunk || !target) return false;
  if (!chunk->indices.empty()) {
    std::memcpy(target, chunk->indices.data(), chunk->indices.size() * sizeof(u16));
  }
  return true;
}

bool GeometryConfigData::CopyFaceNormals(u32 c, f32* target) const {
  const Chunk* chunk = FindChunk(c);
  if (!chunk || !target) return false;
  for (u32 f = 0; f < GetFaceCount(c); ++f) {
    const Vector3& a = chunk->positions[chunk->indices[3 * f]];
    const Vector3& b = chunk->positions[chunk->indices[3 * f + 1]];
    const Vector3& p = chunk->positions[chunk->indices[3 * f + 2]];
    Vector3 n = (b - a).Cross(p - a);
    Normalise(n);
    target[3 * f] = n.x;
    target[3 * f + 1] = n.y;
    target[3 * f + 2] = n.z;
  }
  return true;
}

const String& GeometryConfigData::GetMaterialName(u32 m) const {
  return FindChunk(m) ? FindChunk(m)->material.name : EmptyText();
}

const std::vector<MaterialTextureEntry>& GeometryConfigData::GetTextureList(u32 m) const {
  static const auto* none = new std::vector<MaterialTextureEntry>;
  return FindChunk(m) ? FindChunk(m)->material.textures : *none;
}

u32 GeometryConfigData::GetTotalTextureCount() const {
  u32 total = 0;
  for (const Chunk& chunk : chunks_) total += u32(chunk.material.textures.size());
  return total;
}

bool GeometryConfigData::GetMaterialFlag(u32 m) const {
  return FindChunk(m) && FindChunk(m)->material.flag;
}
f32 GeometryConfigData::GetMaterialFloat(u32 m) const {
  return FindChunk(m) ? FindChunk(m)->material.materialFloat : 1.0f;
}
DisplayMaterial GeometryConfigData::GetDisplayMaterial(u32 m) const {
  return FindChunk(m) ? FindChunk(m)->material.display : DisplayMaterial();
}
u32 GeometryConfigData::GetPropertyCount(u32 m) const {
  return FindChunk(m) ? u32(FindChunk(m)->material.properties.size()) : 0;
}
String GeometryConfigData::GetProperty(u32 m, u32 k, bool value) const {
  if (k >= GetPropertyCount(m)) return String();
  const auto& pair = FindChunk(m)->material.properties[k];
  return value ? pair.second : pair.first;
}

const String& GeometryConfigData::GetBoneName(u32 b) const {
  return b < bones_.size() ? bones_[b].name : EmptyText();
}
const String& GeometryConfigData::GetBoneParentName(u32 b) const {
  return b < bones_.size() ? bones_[b].parent : EmptyText();
}
Vector3 GeometryConfigData::GetBonePosition(u32 b) const {
  return b < bones_.size() ? bones_[b].position : Vector3();
}
Quaternion GeometryConfigData::GetBoneOrientation(u32 b) const {
  return b < bones_.size() ? bones_[b].orientation : Quaternion();
}
u32 GeometryConfigData::GetInfluencedChunkCount(u32 b) const {
  return b < bones_.size() ? u32(bones_[b].entries.size()) : 0;
}

const GeometryConfigData::InfluenceEntry* GeometryConfigData::FindEntry(u32 b, u32 e) const {
  return e < GetInfluencedChunkCount(b) ? &bones_[b].entries[e] : nullptr;
}
u32 GeometryConfigData::GetInfluenceChunkIndex(u32 b, u32 e) const {
  return FindEntry(b, e) ? FindEntry(b, e)->chunk : 0;
}
u32 GeometryConfigData::GetInfluenceWeightCount(u32 b, u32 e) const {
  return FindEntry(b, e) ? u32(FindEntry(b, e)->weights.size()) : 0;
}
bool GeometryConfigData::CopyInfluenceWeights(u32 b, u32 e, InfluenceWeight* target) const {
  const InfluenceEntry* entry = FindEntry(b, e);
  if (!entry || !target) return false;
  for (size_t i = 0; i < entry->weights.size(); ++i) target[i] = entry->weights[i];
  return true;
}

const String& GeometryConfigData::GetAttachmentName(u32 a) const {
  return a < attachments_.size() ? attachments_[a].name : EmptyText();
}
Quaternion GeometryConfigData::GetAttachmentOrientation(u32 a) const {
  return a < attachments_.size() ? attachments_[a].orientation : Quaternion();
}
Vector3 GeometryConfigData::GetAttachmentPosition(u32 a) const {
  return a < attachments_.size() ? attachments_[a].position : Vector3();
}

}  // namespace Qel
