#include <gtest/gtest.h>

#include "mesh/kestro_dynamic_mesh_instance.h"
#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/kestro_indexed_mesh_lod_instance.h"
#include "mesh/kq_axis_box_tree.h"
#include "mesh/mesh_fixture.h"
#include "mesh/overlapped_resource_system.h"
#include "qelgfx/texture.h"
#include "support/thread_watchdog.h"

namespace {

using fixture::MeshSpec;
using fixture::Quad;
using fixture::ResourceScene;
using fixture::WriteMesh;
using Qel::Vector3;

struct InstanceDeleter {
  void operator()(KestroIndexedMeshInstance* instance) const { delete instance; }
};
using InstancePtr = std::unique_ptr<KestroIndexedMeshInstance, InstanceDeleter>;

// Draws the instance at the origin, seen in frame `frame`.
void RenderAt(KestroIndexedMeshInstance& instance, Qel::Display& display, u32 frame) {
  Qel::ViewPoint view;
  view.SetFrame(frame);
  Qel::Matrix4 matrix;
  instance.Render(display, view, matrix);
}

Vector3 PositionOf(const KestroIndexedMeshInstance& instance, u32 chunk, u32 vertex) {
  return instance.GetChunks().Get(chunk)->GetItem(Qel::kItemPosition).Get<Vector3>(vertex);
}

// Two quads moved in software by two bones: every vertex rests at (1, 2, 3) in its bone's space.
MeshSpec SkinnedQuads(u32 matrices) {
  MeshSpec spec;
  spec.infoVersion = 102;
  spec.influences = 1;
  spec.matrices = matrices;
  spec.chunks = {Quad(0), Quad(2)};
  std::vector<fixture::Weight> all;
  for (u32 v = 0; v < 4; ++v) all.push_back({v, 1.0f, {1, 2, 3}});
  spec.bones = {{"root", "", {{0, all}}}, {"arm", "root", {{1, all}}}};
  for (auto& chunk : spec.chunks) chunk.weights = 1;
  return spec;
}

TEST(MeshInstanceTest, SoftwareSkinningMovesEveryChunkOncePerStamp) {
  ResourceScene scene;
  KestroGeometryBaseResource* resource = scene.Lock("m/s.im", WriteMesh(SkinnedQuads(2)));
  InstancePtr instance(resource->CreateMeshInstance());
  ASSERT_NE(nullptr, instance);
  EXPECT_EQ(18u, instance->GetID());
  Qel::Display& display = *scene.engine.GetDisplay();
  RenderAt(*instance, display, 5);
  for (u32 chunk = 0; chunk < 2; ++chunk) {
    for (u32 v = 0; v < 4; ++v) EXPECT_EQ(Vector3(1, 2, 3), PositionOf(*instance, chunk, v));
  }
  instance->GetChunks().Get(1)->GetItem(Qel::kItemPosition).Set(0, Vector3(9, 9, 9));
  RenderAt(*instance, display, 5);
  EXPECT_EQ(Vector3(9, 9, 9), PositionOf(*instance, 1, 0));  // skinned once for stamp 5
  RenderAt(*instance, display, 6);
  EXPECT_EQ(Vector3(1, 2, 3), PositionOf(*instance, 1, 0));

  InstancePtr copy(instance->CreateInstance());
  ASSERT_NE(nullptr, copy->GetSkeleton());
  EXPECT_NE(instance->GetSkeleton(), copy->GetSkeleton());
  copy->GetSkeleton()->SetReferenceFrame(Vector3(10, 0, 0), Qel::Quaternion());
  RenderAt(*copy, display, 7);
  RenderAt(*instance, display, 7);
  EXPECT_EQ(Vector3(11, 2, 3), PositionOf(*copy, 0, 0));
  EXPECT_EQ(Vector3(11, 2, 3), PositionOf(*copy, 1, 0));  // the arm hangs from the root
  EXPECT_EQ(Vector3(1, 2, 3), PositionOf(*instance, 0, 0));
  // The definition's own chunks keep their file positions.
  EXPECT_EQ(Vector3(0, 0, 0),
            resource->GetMeshDefinition()->GetChunks().Get(0)->GetItem(1).Get<Vector3>(0));
}

// The translation row of the first matrix each chunk draws with, from the display trace.
std::vector<std::string> DrawnMatrices(Qel::Display& display) {
  std::vector<std::string> rows;
  for (const Qel::String& entry : display.GetTrace()) {
    const std::string text = entry.CStr();
    if (text.rfind("InfluenceMatrix 0 ", 0) != 0) continue;
    size_t at = text.size();
    for (int n = 0; n < 3; ++n) at = text.rfind(' ', at - 1);
    rows.push_back(text.substr(at + 1));
  }
  display.ClearTrace();
  return rows;
}

TEST(MeshInstanceTest, SkinningScalesHandsOverMatricesAndTakesInChunks) {
  ResourceScene scene;
  KestroGeometryBaseResource* resource = scene.Lock("m/s.im", WriteMesh(SkinnedQuads(2)));
  Qel::Display& display = *scene.engine.GetDisplay();
  using Dynamic = KestroDynamicIndexedMeshInstance;
  std::unique_ptr<Dynamic, InstanceDeleter> instance(
      static_cast<Dynamic*>(resource->CreateMeshInstance()));

  // A scaling particle scales its bone's rest positions while its scale is on.
  struct {
    bool disabled;
    Vector3 expected;
  } const scales[] = {{false, {2, 4, 6}}, {true, {1, 2, 3}}};
  u32 stamp = 10;
  for (const auto& row : scales) {
    auto* root = new Qel::ParticleScaled;
    root->SetName(Qel::PString("root"));
    root->SetScale(Vector3(2, 2, 2));
    root->SetScaleDisabled(row.disabled);
    std::unique_ptr<Qel::Particle> skeleton(root);
    instance->Bind(skeleton.get());
    RenderAt(*instance, display, ++stamp);
    EXPECT_EQ(row.expected, PositionOf(*instance, 0, 0));
    instance->Bind(instance->GetSkeleton());
  }

  // Chunks of another mesh with the same bone names come in with their weights; a mesh whose
  // weighted bones this one lacks is refused.
  MeshSpec otherSpec = SkinnedQuads(2);
  otherSpec.chunks[1] = Quad(5);
  KestroIndexedMeshDefinition& other =
      *scene.Lock("m/o.im", WriteMesh(otherSpec))->GetMeshDefinition();
  MeshSpec strangerSpec = SkinnedQuads(2);
  strangerSpec.bones[1].name = "leg";
  KestroIndexedMeshDefinition& stranger =
      *scene.Lock("m/x.im", WriteMesh(strangerSpec))->GetMeshDefinition();
  Qel::Material* material = instance->GetMaterials().Get(0);
  EXPECT_FALSE(instance->AddSkinnedChunk(stranger.GetChunks().Get(1), material, stranger, 1));
  ASSERT_TRUE(instance->AddSkinnedChunk(other.GetChunks().Get(1), material, other, 1));
  ASSERT_TRUE(instance->ReplaceSkinnedChunkGeometry(other.GetChunks().Get(1), 0, other, 1));
  EXPECT_FALSE(instance->ReplaceSkinnedChunkGeometry(stranger.GetChunks().Get(1), 1, stranger, 1));
  EXPECT_EQ(3u, instance->GetChunkCount());
  instance->GetSkeleton()->SetReferenceFrame(Vector3(10, 0, 0), Qel::Quaternion());
  RenderAt(*instance, display, ++stamp);
  for (u32 chunk = 0; chunk < 3; ++chunk)
    EXPECT_EQ(Vector3(11, 2, 3), PositionOf(*instance, chunk, 3));
  EXPECT_EQ(Vector3(5, 0, 0), other.GetChunks().Get(1)->GetItem(1).Get<Vector3>(0));

  // Hardware chunks draw with the drawing instance's bones, though copies share the chunks.
  KestroIndexedMeshDefinition::s_forceHardwareSkinning = true;
  KestroGeometryBaseResource* hardware = scene.Lock("m/h.im", WriteMesh(SkinnedQuads(2)));
  KestroIndexedMeshDefinition::s_forceHardwareSkinning = false;
  InstancePtr first(hardware->CreateMeshInstance());
  InstancePtr second(first->CreateInstance());
  second->GetSkeleton()->SetReferenceFrame(Vector3(10, 0, 0), Qel::Quaternion());
  display.ClearTrace();
  RenderAt(*first, display, 1);
  RenderAt(*second, display, 1);
  EXPECT_EQ((std::vector<std::string>{"0 0 0", "0 0 0", "10 0 0", "10 0 0"}),
            DrawnMatrices(display));
}

TEST(MeshInstanceTest, InstanceKindsCopiesAndRays) {
  ResourceScene scene;
  // Bones without matrices place a plain instance; matrices without a root bone place none.
  MeshSpec rootless = SkinnedQuads(2);
  rootless.bones[0].parent = "arm";
  EXPECT_EQ(nullptr, scene.Lock("m/r.im", WriteMesh(rootless))->CreateMeshInstance());
  MeshSpec spec = SkinnedQuads(0);
  spec.attachments = {"p.lamp", "xp", "a.cab"};
  InstancePtr plain(scene.Lock("m/p.im", WriteMesh(spec))->CreateMeshInstance());
  ASSERT_NE(nullptr, plain);
  EXPECT_EQ(17u, plain->GetID());
  plain->GetResource()->Unlock();                // the scene's own lock
  EXPECT_FALSE(plain->GetResource()->Unload());  // its instance still reads the definition
  EXPECT_NE(nullptr, plain->FindByName(Qel::PString("p")));
  EXPECT_EQ(nullptr, plain->FindByName(Qel::PString("xp")));
  EXPECT_NE(nullptr, plain->FindByName(Qel::PString("a.cab")));  // no bone "a": on the structure

  struct Ray {
    Vector3 origin, direction;
    Vector3 scale;
    bool hit;
    f32 distance;
    u32 chunk;
  };
  const Ray rays[] = {
      {{2.5f, 0.5f, 5}, {0, 0, -1}, {1, 1, 1}, true, 5, 1},
      {{0.5f, 0.5f, -5}, {0, 0, -1}, {1, 1, 1}, false, 0, 0},  // behind the origin
      {{0.5f, 0.5f, 5}, {0, 0, 1}, {1, 1, 1}, false, 0, 0},
      {{0.5f, 0.5f, 5}, {0, 0, -1}, {1, 0, 1}, false, 0, 0},  // a zero scale
      {{5, 0.5f, 5}, {0, 0, -1}, {2, 1, 1}, true, 5, 1},
  };
  for (const Ray& ray : rays) {
    plain->SetScale(ray.scale);
    f32 distance = 100.0f;
    KestroFace face;
    ASSERT_EQ(ray.hit, plain->TestCollisionGeometry(ray.origin, ray.direction, distance, face))
        << ray.origin.x << " " << ray.origin.z;
    if (!ray.hit) continue;
    EXPECT_FLOAT_EQ(ray.distance, distance);
    EXPECT_EQ(ray.chunk, face.chunk);
  }
  plain->SetScale(Vector3(1, 1, 1));
  EXPECT_FALSE(plain->IsScaled());
  EXPECT_EQ(Vector3(1.5f, 0.5f, 0), plain->GetBoundingVolume().halfExtents);

  InstancePtr copy(plain->CreateInstance());
  EXPECT_TRUE(copy->GetChunks().SharesBlockWith(plain->GetChunks()));
  EXPECT_EQ(plain->GetMipFactor(), copy->GetMipFactor());
  EXPECT_EQ(plain->GetBoundingVolume().centre, copy->GetBoundingVolume().centre);
  copy->MakeChunksUnique();
  copy->CloneChunk(0);
  EXPECT_NE(copy->GetChunks().Get(0), plain->GetChunks().Get(0));
  EXPECT_EQ(copy->GetChunks().Get(1), plain->GetChunks().Get(1));

  MeshSpec progressiveSpec = SkinnedQuads(0);
  progressiveSpec.pmin = true;
  InstancePtr progressive(scene.Lock("m/q.pm", WriteMesh(progressiveSpec))->CreateMeshInstance());
  ASSERT_NE(nullptr, progressive);
  EXPECT_EQ(19u, progressive->GetID());
  EXPECT_FALSE(progressive->AddChunk(plain->GetChunks().Get(0), plain->GetMaterials().Get(0)));
  EXPECT_EQ(2u, progressive->GetChunkCount());
  InstancePtr progressiveCopy(progressive->CreateInstance());
  for (u32 i = 0; i < 2; ++i) {
    EXPECT_NE(progressive->GetChunks().Get(i), progressiveCopy->GetChunks().Get(i));
  }
}

// An instance of kind `id` (17 to 22) with the reference point "p", the attachment "a.cab" on the
// structure and "arm.lamp" under the bone "arm"; each chunk is drawn at the bone "chunk". The
// level-of-detail kinds have two levels and mark both attachments for the attachment cut-off of
// 100.
KestroIndexedMeshInstance* PlaceWithPoints(ResourceScene& scene, u32 id) {
  const bool lod = id >= 21;
  MeshSpec spec = SkinnedQuads(id % 2 == 0 ? 2 : 0);
  spec.bones.push_back({"chunk", "arm", {}});
  if (id == 21) {  // the plain level-of-detail kind takes a skeleton without influences
    spec = MeshSpec();
    spec.chunks = {Quad(0), Quad(2)};
    spec.skeleton = fixture::SkeletonChunk({"root", "arm", "chunk"});
  }
  for (auto& chunk : spec.chunks) chunk.geomVersion = 200;  // named after their bone
  spec.pmin = id == 19 || id == 20;
  const std::string cull = lod ? ":CULL" : "";
  spec.attachments = {"p.ref", "a.cab" + cull, "arm.lamp" + cull};
  const std::string name = "k" + std::to_string(id);
  if (!lod) {
    return scene.Lock("m/" + name + (spec.pmin ? ".pm" : ".im"), WriteMesh(spec))
        ->CreateMeshInstance();
  }
  scene.folder.Put("m/" + name + "a.im", WriteMesh(spec));
  scene.folder.Put("m/" + name + "b.im", WriteMesh(spec));
  return scene
      .Lock("m/" + name + ".lm.txt", "version 1.0\nmesh 0\n{\n  name \"" + name +
                                         "a.im\"\n}\nmesh 50\n{\n  name \"" + name +
                                         "b.im\"\n}\nattachmentCutOff 100\n")
      ->CreateMeshInstance();
}

TEST(MeshInstanceTest, CopiesCarryTheSourcesParticlesAndLights) {
  ResourceScene scene;
  const Qel::PString arm("arm"), chunk("chunk"), cab("a.cab"), lamp("arm.lamp");
  const Vector3 where(1, 2, 3);
  const Qel::Quaternion turn = Qel::Quaternion::FromAxisAngle(Vector3(0, 0, 1), 0.5f);
  for (u32 id = 17; id <= 22; ++id) {
    SCOPED_TRACE(id);
    InstancePtr source(PlaceWithPoints(scene, id));
    ASSERT_NE(nullptr, source);
    ASSERT_EQ(id, source->GetID());
    source->SetReferenceFrame(where, turn);
    source->SetFlags(0x10);
    Qel::LightList lights(2);
    source->SetLightSource(&lights);
    source->UpdateLighting(false);
    const u32 points = source->GetAttachmentPointCount();
    const bool dirty = source->IsLightingDirty();
    InstancePtr copy(source->CreateInstance());
    source.reset();  // the copy's particles are its own

    ASSERT_EQ(id, copy->GetID());
    EXPECT_EQ(where, copy->GetPosition());
    EXPECT_EQ(turn.z, copy->GetOrientation().z);
    EXPECT_EQ(turn.w, copy->GetOrientation().w);
    EXPECT_EQ(0x10u, copy->GetFlags());
    EXPECT_EQ(1u, points);  // the one under a bone
    EXPECT_EQ(points, copy->GetAttachmentPointCount());
    Qel::Particle* point = copy->FindByName(Qel::PString("p"));
    ASSERT_NE(nullptr, point);
    EXPECT_NE(nullptr, dynamic_cast<Qel::ReferencePoint*>(point));
    EXPECT_EQ(copy.get(), point->GetParent());
    // One skeleton, the copy's child, holding the chunks' bone and the attachment under "arm".
    Qel::Particle* skeleton = copy->GetSkeleton();
    ASSERT_NE(nullptr, skeleton);
    EXPECT_EQ(copy.get(), skeleton->GetParent());
    u32 skeletons = 0;
    for (u32 c = 0; c < copy->GetChildCount(); ++c) {
      skeletons += copy->GetChild(c)->GetName() == skeleton->GetName();
    }
    EXPECT_EQ(1u, skeletons);
    Qel::Particle* onStructure = copy->FindByName(cab);
    Qel::Particle* onBone = copy->FindByName(lamp);
    ASSERT_NE(nullptr, onStructure);
    ASSERT_NE(nullptr, onBone);
    EXPECT_EQ(copy.get(), onStructure->GetParent());
    EXPECT_EQ(skeleton->FindByName(arm), onBone->GetParent());
    EXPECT_NE(nullptr, dynamic_cast<Qel::AttachmentPoint*>(onBone));
    // Skinned chunks move with the bones, and the level-of-detail kinds bind level by level.
    EXPECT_EQ(id == 17 || id == 19 || id == 20 ? 2u : 0u, copy->GetChunkBones().size());
    for (Qel::Particle* bone : copy->GetChunkBones()) {
      EXPECT_EQ(skeleton->FindByName(chunk), bone);
    }
    // The lights as the source had them, from the source's scene.
    EXPECT_EQ(dirty, copy->IsLightingDirty());
    EXPECT_EQ(2u, copy->GetLightList().size());
    lights.resize(3);
    copy->UpdateLighting(true);
    EXPECT_EQ(3u, copy->GetLightList().size());

    auto* lod = dynamic_cast<KestroIndexedMeshLODInstance*>(copy.get());
    if (!lod) continue;
    EXPECT_EQ(std::vector<Qel::Particle*>({onStructure, onBone}), lod->GetAttachmentChildren());
    for (f32 measure : {150.0f, 50.0f}) {
      Qel::ViewPoint view;
      view.SetReferenceFrame(lod->GetBoundingVolume().centre + Vector3(measure, 0, 0), {});
      lod->Cull(view, Qel::Matrix4());
      for (const Qel::Particle* child : lod->GetAttachmentChildren()) {
        EXPECT_EQ(measure > 100, (child->GetFlags() & 2) != 0) << measure;
      }
    }
  }
}

TEST(MeshInstanceTest, FaceQueriesProjectionTexturesAndOpacity) {
  ResourceScene scene;
  MeshSpec spec;
  spec.chunks = {Quad(0), Quad(2)};
  spec.chunks[0].neighbours = {~0u, 1, ~0u, 0, ~0u, ~0u};
  spec.chunks[0].textures = {"red.bmp"};
  // A 1 x 1, 24-bit image: three channels, display format 3.
  fixture::Bytes bmp;
  bmp.Raw("BM", 2).U32(58).U32(0).U32(54).U32(40).U32(1).U32(1).U16(1).U16(24);
  bmp.U32(0).U32(4).U32(0).U32(0).U32(0).U32(0).U32(0x00FF8040);
  scene.folder.Put("m/red.bmp", bmp.out);
  const std::string image = scene.folder.path() + "/m/red.bmp";
  InstancePtr instance(scene.Lock("m/f.im", WriteMesh(spec))->CreateMeshInstance());
  ASSERT_NE(nullptr, instance);
  struct {
    KestroFace face;
    u32 edge;
    bool found;
    u32 neighbour;
  } const edges[] = {{{nullptr, 0, 0}, 1, true, 1},
                     {{nullptr, 0, 0}, 0, false, 0},
                     {{nullptr, 1, 0}, 2, false, 0},
                     {{nullptr, 0, 1}, 1, false, 0}};
  for (const auto& row : edges) {
    KestroFace neighbour;
    EXPECT_EQ(row.found, instance->GetNeighbourFace(row.face, row.edge, neighbour));
    if (row.found) {
      EXPECT_EQ(row.neighbour, neighbour.face);
    }
  }
  Vector3 centre, normal;
  instance->GetFaceCentre({nullptr, 0, 1}, centre);
  EXPECT_FLOAT_EQ(8.0f / 3.0f, centre.x);
  EXPECT_FLOAT_EQ(1.0f / 3.0f, centre.y);
  EXPECT_EQ(Vector3(0, 0, 1), instance->GetFaceNormal({nullptr, 1, 1}, normal));

  // Rows swap x and y; every vertex of both chunks lands, moved by the offset.
  Qel::Matrix swap;
  swap.m[0][0] = swap.m[1][1] = 0.0f;
  swap.m[0][1] = swap.m[1][0] = 1.0f;
  std::vector<std::array<f32, 2>> points;
  instance->CollectProjectedVertices(points, swap, Vector3(10, 20, 0));
  ASSERT_EQ(8u, points.size());
  EXPECT_EQ((std::array<f32, 2>{10, 23}), points[5]);

  EXPECT_FALSE(instance->LoadTextureFromFile(0, 0, 0, 0, "/no/such.bmp"));
  EXPECT_FALSE(instance->LoadTextureFromFile(0, 0, 0, 5, image.c_str()));  // no texture there
  EXPECT_FALSE(instance->LoadTextureFromFile(0, 0, 9, 0, image.c_str()));
  ASSERT_TRUE(instance->LoadTextureFromFile(1, 2, 0, 0, image.c_str()));
  EXPECT_EQ(3u, instance->GetMaterials().Get(0)->GetTexture(0)->GetDisplayFormat());

  scene.engine.GetDisplay()->ClearTrace();
  instance->SetOpacity(0.5f);
  EXPECT_EQ(0.5f, instance->GetOpacity());
  for (u32 i = 0; i < 2; ++i) EXPECT_EQ(0.5f, instance->GetChunks().Get(i)->GetOpacity());
}

TEST(MeshInstanceTest, CollisionTreeIsDeliveredOnceServed) {
  fixture::Engine engine;
  MeshSpec spec;
  spec.chunks = {Quad(0)};
  auto system = std::make_unique<OverlappedResourceSystem>();
  {
    // A definition that goes with its build still pending ends the build first.
    KestroIndexedMeshDefinition pending;
    ASSERT_EQ(0u, engine.Load(pending, WriteMesh(spec)));
    pending.RequestCollisionTree();
  }
  KestroIndexedMeshDefinition definition;
  ASSERT_EQ(0u, engine.Load(definition, WriteMesh(spec)));
  EXPECT_TRUE(watchdog::Eventually([&] { return definition.GetCollisionTree() != nullptr; }));
  EXPECT_FALSE(definition.HasPendingCollisionTree());
  system.reset();
  KestroIndexedMeshDefinition without;
  ASSERT_EQ(0u, engine.Load(without, WriteMesh(spec)));
  EXPECT_EQ(nullptr, without.GetCollisionTree());
  EXPECT_FALSE(without.HasPendingCollisionTree());
}

}  // namespace
