// A small writer of IDXM and PMIN mesh files for the tests (the program only reads them), with the
// engine objects a definition loads against.
#pragma once

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/kestro_indexed_mesh_definition.h"
#include "mesh/qel_get_plugins.h"
#include "qel/resource_database.h"
#include "qelgfx/display.h"
#include "qelgfx/render_kernel.h"
#include "qelgfx/resource_system.h"
#include "support/scratch_folder.h"

namespace fixture {

class Bytes {
 public:
  Bytes& U32(u32 v) { return Raw(&v, 4); }
  Bytes& F32(f32 v) { return Raw(&v, 4); }
  Bytes& U16(u16 v) { return Raw(&v, 2); }
  Bytes& Tag(const char* tag) { return Raw(tag, 4); }
  Bytes& Raw(const void* p, size_t n) {
    out.append(static_cast<const char*>(p), n);
    return *this;
  }
  Bytes& Str(const std::string& text) {
    U32(u32(text.size() + 1)).Raw(text.c_str(), text.size() + 1);
    while (out.size() % 4) out.push_back('\0');
    return *this;
  }
  // A chunk (or, without a version, the QIRF length) whose size is patched by End.
  Bytes& Begin(const char* tag, u32 version) {
    Tag(tag);
    marks_.push_back(out.size());
    return U32(0).U32(version);
  }
  Bytes& End() {
    const u32 size = u32(out.size() - marks_.back() - 4);
    std::memcpy(&out[marks_.back()], &size, 4);
    marks_.pop_back();
    return *this;
  }
  std::string out;

 private:
  std::vector<size_t> marks_;
};

struct Weight {
  u32 vertex;
  f32 weight;
  std::array<f32, 3> rest = {};  // the vertex in the bone's space
};
struct BoneSpec {
  std::string name, parent;
  std::vector<std::pair<u32, std::vector<Weight>>> chunks;
};
struct ChunkSpec {
  std::string material = "body.m.onetex";
  u32 matlVersion = 103;
  u32 geomVersion = 103;
  u32 primitive = 4;
  std::vector<std::array<f32, 5>> vertices;  // position, uv
  std::vector<u16> indices;
  i32 faces = -1;  // default: a face per index triple
  i32 primitives = -1;
  u32 weights = 0;
  u32 textureSets = 1;
  std::vector<u32> neighbours;  // written as an NINF when not empty
  std::vector<std::string> textures;
  f32 power = 4.0f;
};
struct MeshSpec {
  u32 infoVersion = 103;
  u32 influences = 0;
  u32 matrices = 0;
  std::vector<ChunkSpec> chunks;
  std::vector<BoneSpec> bones;
  std::string skeleton;  // a SKEL chunk (SkeletonChunk), written where the bones go
  std::vector<std::string> attachments;
  bool pmin = false;
  std::string tail;  // raw bytes appended to the body
};

// A SKEL chunk of a bone chain, each bone the only child of the one before; the root at
// `rootFrame` (position, rotation axis, angle), the others at their parent's place.
inline std::string SkeletonChunk(const std::vector<std::string>& chain,
                                 const std::array<f32, 7>& rootFrame = {}) {
  Bytes skel;
  skel.Begin("SKEL", 100);
  for (size_t b = 0; b < chain.size(); ++b) {
    skel.Begin("BONE", 100).Str(chain[b]);
    for (size_t k = 0; k < 7; ++k) skel.F32(b == 0 ? rootFrame[k] : 0.0f);
    skel.U32(b + 1 < chain.size() ? 1 : 0);
  }
  for (size_t b = 0; b <= chain.size(); ++b) skel.End();
  return skel.out;
}

// A unit quad at x offset `x`, two triangles.
inline ChunkSpec Quad(f32 x, const char* material = "body.m.onetex") {
  ChunkSpec c;
  c.material = material;
  c.vertices = {{x, 0, 0, 0, 0}, {x + 1, 0, 0, 1, 0}, {x + 1, 1, 0, 1, 1}, {x, 1, 0, 0, 1}};
  c.indices = {0, 1, 2, 0, 2, 3};
  return c;
}

inline void WriteChunk(Bytes& b, const ChunkSpec& c) {
  const u32 faces = c.faces >= 0 ? u32(c.faces) : u32(c.indices.size() / 3);
  b.Begin("CHNK", 100).U32(0);
  b.Begin("MATL", c.matlVersion).Str(c.material).U32(1).Str("RustAge").Str("0.5");
  b.U32(0).F32(1.0f);
  for (int k = 0; k < 12; ++k) b.F32(k < 6 ? 1.0f : 0.5f);
  b.F32(c.power).U32(u32(c.textures.size()));
  for (size_t t = 0; t < c.textures.size(); ++t) b.U32(u32(t)).Str(c.textures[t]).F32(1.0f);
  b.End();
  const u32 v = c.geomVersion;
  b.Begin("GEOM", v).U32(c.primitive);
  if (v == 201) b.U32(0);
  b.F32(0.0f).U32(u32(c.vertices.size()));
  b.U32(c.primitives >= 0 ? u32(c.primitives) : faces).U32(u32(c.indices.size())).U32(faces);
  if (v >= 103 && v <= 199) b.U32(c.textureSets);
  if (v >= 102) b.U32(c.weights);
  if (v >= 200) b.Str("chunk");
  for (const auto& vertex : c.vertices) {
    b.Raw(vertex.data(), 12);
    for (u32 t = 0; t < c.textureSets; ++t) b.Raw(&vertex[3], 8);
  }
  for (u16 i : c.indices) b.U16(i);
  for (size_t i = 0; i < c.vertices.size(); ++i) b.F32(0).F32(0).F32(1);
  if (v >= 104 && v <= 199) {
    for (size_t i = 0; i < c.vertices.size(); ++i) b.U32(0xFF102030);
  }
  for (u32 f = 0; f < faces; ++f) b.F32(0).F32(0).F32(1);
  b.End();
  if (!c.neighbours.empty()) {
    b.Begin("NINF", 100);
    for (u32 n : c.neighbours) b.U32(n);
    b.End();
  }
  b.End();
}

inline std::string WriteMesh(const MeshSpec& spec) {
  Bytes b;
  b.Tag("QIRF").U32(0).Tag("IDXM");
  b.Begin("INFO", spec.infoVersion).F32(0).F32(0).F32(0).F32(0).F32(0).F32(0).F32(1);
  b.U32(u32(spec.chunks.size()));
  if (spec.infoVersion >= 102) b.U32(spec.influences).U32(spec.matrices);
  if (spec.infoVersion >= 104) {
    for (int k = 0; k < 6; ++k) b.F32(0);
  }
  b.End();
  for (const ChunkSpec& c : spec.chunks) WriteChunk(b, c);
  if (!spec.bones.empty()) {
    b.Begin("INFL", 100).U32(u32(spec.bones.size()));
    for (const BoneSpec& bone : spec.bones) {
      b.Str(bone.name).Str(bone.parent).F32(0).F32(0).F32(0);
      for (int k = 0; k < 9; ++k) b.F32(k % 4 == 0 ? 1.0f : 0.0f);
      b.U32(u32(bone.chunks.size()));
      for (const auto& [chunk, weights] : bone.chunks) {
        b.U32(chunk).U32(u32(weights.size()));
        for (const Weight& w : weights) b.U32(w.vertex).F32(w.weight).Raw(w.rest.data(), 12);
      }
    }
    b.End();
  }
  b.out += spec.skeleton;
  if (!spec.attachments.empty()) {
    b.Begin("ATCH", 100).U32(u32(spec.attachments.size()));
    for (const std::string& name : spec.attachments) {
      b.Str(name);
      for (int k = 0; k < 9; ++k) b.F32(k % 4 == 0 ? 1.0f : 0.0f);
      b.F32(0).F32(0).F32(2);
    }
    b.End();
  }
  if (spec.pmin) b.Begin("PMIN", 101).U32(0).U32(0).U32(0).U32(0).End();
  b.out += spec.tail;
  const u32 length = u32(b.out.size() - 8);
  std::memcpy(&b.out[4], &length, 4);
  return b.out;
}

// A kernel with the modest display and its material manager.
struct Engine {
  Engine() : kernel(nullptr, 1.0f) { kernel.SetDisplay(Qel::Display::CreateModest()); }
  Qel::Display* GetDisplay() { return kernel.GetDisplay(); }
  Qel::MaterialManager* GetManager() { return &kernel.GetMaterialManager(); }
  u32 Load(KestroIndexedMeshDefinition& definition, const std::string& bytes) {
    definition.GetMemoryFile().SetData(bytes.data(), u32(bytes.size()));
    return definition.Load(GetDisplay(), GetManager(), nullptr, 0, 0xFFAABBCC);
  }
  Qel::RenderKernel kernel;
};

// A database over a scratch folder and a resource system with the mesh types.
struct ResourceScene {
  ResourceScene() : database(Qel::PString("scene"), folder.path()) {
    QelGetPlugins();
    QelGetPlugins();  // a second call registers nothing more
    context.display = engine.GetDisplay();
    context.materialManager = engine.GetManager();
  }
  KestroGeometryBaseResource* Lock(const std::string& name, const std::string& bytes,
                                   bool withContext = true) {
    folder.Put(name, bytes);
    auto* resource = static_cast<KestroGeometryBaseResource*>(
        system.FindResource(Qel::PString(name.c_str()), &database));
    if (withContext) resource->SetRenderContext(&context);
    resource->Lock();
    held.emplace_back(resource);
    return resource;
  }
  struct Release {
    void operator()(Qel::Resource* r) const { r->ReleaseReference(); }
  };
  scratch::Folder folder;
  Qel::ResourceDatabase database;
  Qel::ResourceSystem system;
  Engine engine;
  KestroRenderContext context;
  std::vector<std::unique_ptr<Qel::Resource, Release>> held;
};

}  // namespace fixture
