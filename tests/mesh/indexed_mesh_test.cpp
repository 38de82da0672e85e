#include <gtest/gtest.h>

#include <functional>

#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/kestro_progressive_mesh_definition.h"
#include "mesh/mesh_fixture.h"
#include "mesh/mesh_load_result.h"
#include "mesh/qel_get_plugins.h"
#include "qel/resource_database.h"
#include "qelgfx/geometry_chunk_template.h"
#include "qelgfx/resource_system.h"
#include "support/scratch_folder.h"
#include "support/test_images.h"

namespace {

using fixture::BoneSpec;
using fixture::Engine;
using fixture::MeshSpec;
using fixture::Quad;
using fixture::WriteMesh;

// A material kind whose chunks refuse their display buffers.
class RefusingChunk : public Qel::GeometryChunkTemplate<Qel::PackedVertexPNT> {
 public:
  using GeometryChunkTemplate::GeometryChunkTemplate;
  bool InitializeBuffers(Qel::Display&, bool) override { return false; }
};
class RefusingMaterial : public Qel::Material {
 public:
  using Material::Material;
  Qel::GeometryChunk* CreateGeometryChunk(u32 v, u32 p, u32 i, u32 f, u32,
                                          const Qel::StandardChunkHint&) override {
    return new RefusingChunk(v, p, i, f, 4);
  }
};
class RefusingPlugin : public Qel::MaterialPlugin {
 public:
  RefusingPlugin()
      : MaterialPlugin(Qel::PString("refusing"), Qel::UId("00000000-0000-0000-0000-0000000000AA")) {
  }

 protected:
  Qel::Material* MakeMaterial(Qel::MaterialManager* m) override { return new RefusingMaterial(m); }
};

using fixture::ResourceScene;

MeshSpec TwoQuads() {
  MeshSpec spec;
  spec.chunks = {Quad(0), Quad(2)};
  return spec;
}

TEST(IndexedMeshTest, LoadCodes) {
  RefusingPlugin refusing;
  struct Case {
    const char* name;
    u32 code;
    std::function<u32()> run;
  };
  auto load = [](MeshSpec spec, KestroMeshSettings settings = {}, bool capability = false) {
    Engine engine;
    engine.GetDisplay()->SetCapability(29, capability);
    KestroIndexedMeshDefinition definition(settings);
    return engine.Load(definition, WriteMesh(spec));
  };
  auto withChunk = [](std::function<void(fixture::ChunkSpec&)> edit) {
    MeshSpec spec = TwoQuads();
    edit(spec.chunks[1]);
    return spec;
  };
  auto viaResource = [](const std::string& bytes, bool context) {
    ResourceScene scene;
    return scene.Lock("m/a.im", bytes, context)->GetLastLoadCode();
  };
  KestroMeshSettings floats;
  floats.hardwareAnimationFloatPrecision = {1, 1};
  MeshSpec skinned = withChunk([](auto& c) { c.weights = 2; });
  skinned.infoVersion = 102;
  skinned.influences = 2;
  const Case cases[] = {
      {"loads", RES_OK, [&] { return load(TwoQuads()); }},
      {"no render context", RES_UNKNOWN, [&] { return viaResource(WriteMesh(TwoQuads()), false); }},
      {"no data", RES_FILE_OPEN_ERROR,
       [&] {
         Engine engine;
         KestroIndexedMeshDefinition definition;
         return engine.Load(definition, "");
       }},
      {"body tag", RES_FILE_FORMAT_ERROR,
       [&] {
         std::string bytes = WriteMesh(TwoQuads());
         bytes[11] = 'X';
         return viaResource(bytes, true);
       }},
      {"index equal to V", RES_FILE_FORMAT_ERROR,
       [&] { return load(withChunk([](auto& c) { c.indices[4] = 4; })); }},
      {"bytes after ATCH", RES_FILE_FORMAT_ERROR,
       [&] {
         MeshSpec spec = TwoQuads();
         spec.attachments = {"a.cab"};
         spec.tail = std::string(4, '\0');
         return load(spec);
       }},
      {"list primitives past I/3", RES_FILE_FORMAT_ERROR,
       [&] { return load(withChunk([](auto& c) { c.primitives = 3, c.faces = 3; })); }},
      {"faces below primitives", RES_FILE_FORMAT_ERROR,
       [&] { return load(withChunk([](auto& c) { c.faces = 1, c.primitives = 2; })); }},
      {"strip primitives past I-2", RES_FILE_FORMAT_ERROR,
       [&] {
         return load(withChunk([](auto& c) { c.primitive = 8, c.primitives = 5, c.faces = 5; }));
       }},
      {"INFO version", RES_FILE_VERSION_ERROR,
       [&] {
         MeshSpec spec = TwoQuads();
         spec.infoVersion = 105;
         return load(spec);
       }},
      {"no material manager", RES_NO_MATERIAL_MANAGER,
       [&] {
         KestroIndexedMeshDefinition definition;
         return definition.Load(nullptr, nullptr, nullptr, 0, 0);
       }},
      {"kind that cannot be made", RES_UNSUPPORTED_MATERIAL,
       [&] {
         Qel::RenderKernel bare(nullptr, 1.0f);
         KestroIndexedMeshDefinition definition;
         const std::string bytes = WriteMesh(TwoQuads());
         definition.GetMemoryFile().SetData(bytes.data(), u32(bytes.size()));
         return definition.Load(nullptr, &bare.GetMaterialManager(), nullptr, 0, 0);
       }},
      {"unknown kind", RES_UNKNOWN_MATERIAL,
       [&] { return load(withChunk([](auto& c) { c.material = "x.m.nosuchkind"; })); }},
      {"float weights without their item", RES_FAIL_CHUNK_CREATE,
       [&] { return load(skinned, floats, true); }},
      {"chunk refuses its buffers", RES_FILE_DATA_ERROR,
       [&] {
         return viaResource(WriteMesh(withChunk([](auto& c) { c.material = "r.m.refusing"; })),
                            true);
       }},
  };
  for (const Case& c : cases) EXPECT_EQ(c.code, c.run()) << c.name;
}

TEST(IndexedMeshTest, ChunksVersionsAndMaterials) {
  Engine engine;
  MeshSpec spec = TwoQuads();
  fixture::ChunkSpec empty;
  spec.chunks.insert(spec.chunks.begin() + 1, empty);
  spec.chunks[0].geomVersion = 200;  // named, one texture set, no colours
  spec.chunks[0].matlVersion = 102;
  spec.chunks[0].material = "old.m.onetex";
  spec.chunks[2].geomVersion = 104;  // colours
  spec.chunks[2].material = "other.m.onetex";
  KestroIndexedMeshDefinition definition;
  ASSERT_EQ(RES_OK, engine.Load(definition, WriteMesh(spec)));
  ASSERT_EQ(2u, definition.GetChunkCount());
  EXPECT_EQ("chunk", definition.GetChunkName(0).View());
  EXPECT_TRUE(definition.GetChunkName(1).IsEmpty());
  EXPECT_EQ(8u, definition.GetVertexTotal());
  EXPECT_EQ(4u, definition.GetFaceTotal());
  Qel::GeometryChunk* first = definition.GetChunks().Get(0);
  Qel::GeometryChunk* second = definition.GetChunks().Get(1);
  EXPECT_EQ(0xFFAABBCCu, first->GetItem(Qel::kItemColour0).Get<u32>(0));
  EXPECT_EQ(0xFF102030u, second->GetItem(Qel::kItemColour0).Get<u32>(0));
  const Qel::Material* old = definition.GetMaterials().Get(0);
  const Qel::Material* newer = definition.GetMaterials().Get(1);
  EXPECT_EQ("**old.m.onetex", old->GetName().View());
  EXPECT_EQ(0.0f, old->GetDisplayMaterial().specular.r);
  EXPECT_EQ(10.0f, old->GetDisplayMaterial().power);
  EXPECT_EQ(10.0f, newer->GetDisplayMaterial().power);  // 4.0 is raised
  EXPECT_EQ(0.25f, newer->GetDisplayMaterial().emissive.r);
  EXPECT_EQ("0.5", newer->GetPropertyString(Qel::PString("RustAge")).View());
  EXPECT_EQ(Qel::Vector3(3, 1, 0), definition.GetBoxMax());
  EXPECT_FLOAT_EQ(1.0f, definition.GetMipFactor());
  MeshSpec flat = TwoQuads();
  for (auto& chunk : flat.chunks) {
    for (auto& vertex : chunk.vertices) vertex[3] = vertex[4] = 0.5f;
  }
  KestroIndexedMeshDefinition untextured;
  ASSERT_EQ(RES_OK, engine.Load(untextured, WriteMesh(flat)));
  EXPECT_EQ(0.0f, untextured.GetMipFactor());
}

// An empty chunk goes before its other counts are held against each other.
TEST(IndexedMeshTest, EmptyChunksAreDroppedWhateverTheyPromise) {
  const struct {
    const char* name;
    std::function<void(fixture::ChunkSpec&)> edit;
  } cases[] = {
      {"no faces, one primitive", [](auto& c) { c.faces = 0, c.primitives = 1; }},
      {"no faces, strip primitives",
       [](auto& c) { c.faces = 0, c.primitive = 8, c.primitives = 4; }},
      {"no indices, one primitive",
       [](auto& c) { c.indices.clear(), c.faces = 0, c.primitives = 1; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Engine engine;
    MeshSpec spec = TwoQuads();
    c.edit(spec.chunks[0]);
    KestroIndexedMeshDefinition definition;
    ASSERT_EQ(RES_OK, engine.Load(definition, WriteMesh(spec)));
    EXPECT_EQ(1u, definition.GetChunkCount());
    EXPECT_EQ(2u, definition.GetFaceTotal());
  }
}

TEST(IndexedMeshTest, InfluencesPackIntoBlendData) {
  Engine engine;
  engine.GetDisplay()->SetCapability(29, true);
  MeshSpec spec;
  spec.infoVersion = 102;
  spec.influences = 4;
  spec.matrices = 8;
  spec.chunks = {Quad(0)};
  spec.chunks[0].weights = 4;
  // Bones 0..6 take matrix numbers 0..6 in chunk 0; vertex 0 gets bones 2 and 5, vertex 1 five.
  const std::vector<std::pair<u32, f32>> uses[7] = {{{1, 0.2f}, {2, 0.999f}},
                                                    {{1, 0.2f}, {3, 1.0f}},
                                                    {{0, 0.6f}},
                                                    {{1, 0.2f}},
                                                    {{1, 0.2f}},
                                                    {{0, 0.4f}, {100, 1.0f}},
                                                    {{1, 0.5f}}};
  for (int b = 0; b < 7; ++b) {
    BoneSpec bone{"b" + std::to_string(b), b == 0 ? "" : "b0", {}};
    std::vector<fixture::Weight> weights;
    for (auto [vertex, weight] : uses[b]) weights.push_back({vertex, weight});
    bone.chunks.push_back({0, weights});
    spec.bones.push_back(bone);
  }
  KestroIndexedMeshDefinition definition;
  ASSERT_EQ(RES_OK, engine.Load(definition, WriteMesh(spec)));
  ASSERT_TRUE(definition.IsHardwareSkinned());
  Qel::GeometryChunk* chunk = definition.GetChunks().Get(0);
  const Qel::VertexItemPtr index = chunk->GetItem(Qel::kItemBlendIndices);
  const Qel::VertexItemPtr packed = chunk->GetItem(Qel::kItemPackedWeights);
  // Vertex 1's index holds the fifth influence alone.
  EXPECT_EQ((std::vector<u32>{0x00FE0F06, 0x0000FE12}),
            (std::vector<u32>{index.Get<u32>(0), index.Get<u32>(1)}));
  EXPECT_EQ((std::vector<u32>{0x6699, 127, 254, 255}),
            (std::vector<u32>{packed.Get<u32>(0), packed.Get<u32>(1), packed.Get<u32>(2),
                              packed.Get<u32>(3)}));
  EXPECT_EQ(5u, definition.GetMostInfluences(0));
  ASSERT_NE(nullptr, definition.GetRootBone());
  EXPECT_EQ(6u, definition.GetRootBone()->GetChildCount());
}

TEST(IndexedMeshTest, SkeletonFromInfluenceTable) {
  struct Case {
    std::vector<std::pair<const char*, const char*>> bones;  // name, parent
    const char* root;
    const char* underRoot;  // names hanging directly from the root
  };
  const Case cases[] = {
      {{{"r", ""}, {"s", ""}, {"c", "nobody"}}, "r", "s c"},
      {{{"r", ""}, {"self", "self"}}, "r", "self"},
      {{{"r", ""}, {"x", "y"}, {"y", "x"}}, "r", "y"},
      {{{"x", "y"}, {"y", "x"}}, nullptr, ""},
  };
  for (const Case& c : cases) {
    Engine engine;
    MeshSpec spec = TwoQuads();
    for (auto [name, parent] : c.bones) spec.bones.push_back({name, parent, {}});
    KestroIndexedMeshDefinition definition;
    ASSERT_EQ(RES_OK, engine.Load(definition, WriteMesh(spec)));
    Qel::ParticleBone* root = definition.GetRootBone();
    ASSERT_EQ(c.root == nullptr, root == nullptr) << c.bones[0].first;
    if (!root) continue;
    EXPECT_EQ(c.root, root->GetName().View());
    std::string under;
    for (u32 i = 0; i < root->GetChildCount(); ++i) {
      under += (i ? " " : "") + std::string(root->GetChild(i)->GetName().View());
    }
    EXPECT_EQ(c.underRoot, under);
  }
}

TEST(IndexedMeshTest, ResourcesProgressiveMeshesAndTextures) {
  ResourceScene scene;
  EXPECT_NE(Qel::ResourceTypeBase::FindForName(Qel::PString("a.im"))->GetId(),
            Qel::ResourceTypeBase::FindForName(Qel::PString("a.pm"))->GetId());
  MeshSpec spec = TwoQuads();
  spec.chunks[0].textures = {"Textures\\Body.texture", "missing.texture"};
  spec.attachments = {"a.cab", "p.light"};
  scene.folder.Put("m/body.texture", test_images::CompiledTexture());
  KestroGeometryBaseResource* im = scene.Lock("m/a.im", WriteMesh(spec));
  ASSERT_NE(nullptr, im->GetMeshDefinition());
  EXPECT_EQ(2u, im->GetMeshDefinition()->GetAttachments().size());
  EXPECT_EQ(0u, im->GetMeshDefinition()->GetPendingMaterialCount());
  ASSERT_EQ(1u, im->GetMeshDefinition()->GetTextureFailures().size());
  EXPECT_EQ("m/missing.texture", im->GetMeshDefinition()->GetTextureFailures()[0].View());
  struct Case {
    bool pmin;
    std::string tail;
    u32 code;
  };
  fixture::Bytes after;
  after.Begin("XTRA", 1).End();
  for (const Case& c : {Case{false, "", RES_OK}, Case{true, "", RES_OK},
                        Case{true, after.out, RES_FILE_FORMAT_ERROR}}) {
    MeshSpec pm = TwoQuads();
    pm.attachments = {"a.x"};
    pm.pmin = c.pmin;
    pm.tail = c.tail;
    const std::string name = "m/p" + std::to_string(c.pmin) + std::to_string(c.tail.size()) + ".pm";
    EXPECT_EQ(c.code, scene.Lock(name, WriteMesh(pm))->GetLastLoadCode()) << name;
  }
}

TEST(IndexedMeshTest, TextMeshesBuildFromConfigData) {
  constexpr const char* kText = R"(version 1.0
influences-per-vertex 1
matrix-count 2
chunks
{
  chunk "body"
  {
    primitive 4
    weights-per-vertex 1
    material "body.m.onetex" { textures { texture "Body.texture" { stage 0 } } }
    vertices
    {
      vertex { position 0,0,0
        uv0 0,0 }
      vertex { position 2,0,0
        uv0 1,0 }
      vertex { position 0,2,0
        uv0 0,1 }
    }
    indices 0,1,2
  }
  chunk
  {
    material plain { }
    vertices { vertex { position 0,0,5 }
      vertex { position 1,0,5 }
      vertex { position 0,1,5 } }
    indices 0,1,2
  }
}
bones { bone "root" { position 0,0,1 } }
influences { influence "root" { chunk 0
    weights 2,1,0,0,0 } }
attachments { attachment "a.cab" { position 0,0,4 } }
)";
  scratch::Folder folder;
  folder.Put("m/text.imtxt", kText);
  folder.Put("m/broken.imtxt", "chunks { chunk { indices 7 } }");
  Engine engine;
  Qel::String names[2];
  for (Qel::String& name : names) {
    KestroIndexedMeshDefinition definition;
    definition.SetFileName("m/text.imtxt");
    ASSERT_EQ(RES_OK,
              definition.LoadFromText(folder.At("m/text.imtxt").c_str(), engine.GetDisplay(),
                                      engine.GetManager(), nullptr, 0xFF000000));
    EXPECT_EQ(2u, definition.GetChunkCount());
    EXPECT_EQ(6u, definition.GetVertexTotal());
    EXPECT_EQ(Qel::Vector3(2, 2, 5), definition.GetBoxMax());
    EXPECT_FLOAT_EQ(2.0f, definition.GetMipFactor());
    ASSERT_NE(nullptr, definition.GetRootBone());
    EXPECT_EQ(1u, definition.GetAttachments().size());
    EXPECT_EQ(2u, definition.GetPendingMaterialCount());
    name = Qel::String(definition.GetMaterials().Get(1)->GetName());
    EXPECT_EQ(0u, name.View().find("KestroIndexedMeshDefinition::CreateMaterial> *text*"));
    // Decorated by the texture count of the whole mesh.
    EXPECT_TRUE(name.View().ends_with("*plain*.m.onetex")) << name.CStr();
  }
  EXPECT_NE(names[0].View(), names[1].View());  // the random part tells them apart
  KestroIndexedMeshDefinition broken, missing;
  EXPECT_EQ(RES_FILE_FORMAT_ERROR,
            broken.LoadFromText(folder.At("m/broken.imtxt").c_str(), engine.GetDisplay(),
                                engine.GetManager(), nullptr, 0));
  EXPECT_EQ(RES_FILE_OPEN_ERROR,
            missing.LoadFromText(folder.At("none").c_str(), engine.GetDisplay(),
                                 engine.GetManager(), nullptr, 0));
}

}  // namespace

TEST(IndexedMeshTest, DataQueriesAnswerFromChunksMaterialsBonesAndAttachments) {
  Engine engine;
  MeshSpec spec;
  spec.chunks = {Quad(0), Quad(2)};
  spec.bones = {{"root", "", {{1, {{2, 0.5f, {1, 2, 3}}}}}}};
  spec.attachments = {"a.cab"};
  KestroIndexedMeshDefinition d;
  ASSERT_EQ(0u, engine.Load(d, WriteMesh(spec)));
  EXPECT_EQ((std::array<u32, 4>{4, 6, 2, 1}),
            (std::array<u32, 4>{d.GetChunkVertexCount(1), d.GetChunkIndexCount(1),
                                d.GetChunkPrimitiveCount(1), d.GetMostInfluences(1)}));
  EXPECT_EQ(0u, d.GetChunkVertexCount(5) + d.GetMostInfluences(0) + d.GetBoneChunkCount(3));
  f32 positions[4][4] = {}, uvs[4][2] = {}, faceNormals[6] = {};
  u16 indices[6] = {};
  u32 colours[2][4] = {};
  d.CopyPositions(1, positions, 16);
  d.CopyTextureSet(1, 0, uvs, 8);
  d.CopyIndices(1, indices);
  d.CopyFaceNormals(1, faceNormals);
  d.CopyColours(1, true, 7, colours[0], 4);
  d.CopyColours(1, false, 7, colours[1], 4);  // no second colour: the fixed one
  // The stride's gap (positions[1][3]) is left alone.
  EXPECT_EQ((std::vector<f32>{3, 0, 1, 1}),
            (std::vector<f32>{positions[1][0], positions[1][3], uvs[2][1], faceNormals[5]}));
  EXPECT_EQ((std::vector<u32>{3, 0xFFAABBCC, 7}),
            (std::vector<u32>{indices[5], colours[0][3], colours[1][3]}));

  ASSERT_EQ(1u, d.GetMaterialPropertyCount(0));
  EXPECT_EQ("RustAge=0.5", std::string(d.GetMaterialProperty(0, 0, false).View()) + "=" +
                               std::string(d.GetMaterialProperty(0, 0, true).View()));
  EXPECT_TRUE(d.GetMaterialProperty(0, 1, true).IsEmpty());
  EXPECT_FALSE(d.GetMaterialFlag(0));
  EXPECT_EQ(1.0f, d.GetMaterialFloat(0));
  EXPECT_TRUE(d.GetMaterialName(9).IsEmpty());

  EXPECT_EQ(Qel::PString("root"), d.GetBoneName(0));
  EXPECT_TRUE(d.GetBoneParentName(0).IsEmpty());
  ASSERT_EQ((std::array<u32, 3>{1, 1, 1}),
            (std::array<u32, 3>{d.GetBoneChunkCount(0), d.GetBoneEntryChunk(0, 0),
                                d.GetBoneEntryWeightCount(0, 0)}));
  Qel::InfluenceWeight weight;
  d.CopyBoneWeights(0, 0, &weight);
  EXPECT_EQ(std::pair(2u, 0.5f), std::pair(weight.vertex, weight.weights[0]));
  EXPECT_EQ(Qel::PString("a.cab"), d.GetAttachmentName(0));
  EXPECT_TRUE(d.GetAttachmentName(1).IsEmpty());
}
