#include <gtest/gtest.h>

#include "mesh/kestro_indexed_mesh_lod_instance.h"
#include "mesh/lod_fixture.h"
#include "mesh/mesh_load_result.h"
#include "platform/byte_order.h"
#include "qelgfx/texture.h"

namespace {

using fixture::LockLodText;
using fixture::ResourceScene;
using Qel::Vector3;

struct InstanceDeleter {
  void operator()(KestroIndexedMeshInstance* instance) const { delete instance; }
};
using LodInstancePtr = std::unique_ptr<KestroIndexedMeshLODInstance, InstanceDeleter>;

LodInstancePtr MakeInstance(KestroIndexedMeshLODResource* resource) {
  return LodInstancePtr(static_cast<KestroIndexedMeshLODInstance*>(resource->CreateMeshInstance()));
}

// Culls from an eye on the x axis at `measure` from the sphere's centre: true when listed.
bool CullFrom(KestroIndexedMeshLODInstance& instance, f32 measure) {
  Qel::ViewPoint view;
  view.SetReferenceFrame(instance.GetBoundingVolume().centre + Vector3(measure, 0, 0), {});
  instance.Cull(view, Qel::Matrix4());
  return !view.GetRenderList().empty();
}

TEST(LodMeshTest, TextSavesAndReloadsByteForByte) {
  ResourceScene scene;
  KestroIndexedMeshLODResource* text =
      LockLodText(scene,
                  "offset 2\nmultiplier 1.5\nanimationCutOff 100\nrenderCutOff 3\n"
                  "attachmentCutOff 40\ncalcPoint NEAR\n");
  ASSERT_NE(nullptr, text->GetLODDefinition()) << text->GetLastLoadCode();
  ASSERT_EQ(RES_OK, text->GetLODDefinition()->Save(scene.folder.At("a.lm").c_str()));
  KestroIndexedMeshLODResource* binary =
      static_cast<KestroIndexedMeshLODResource*>(scene.Lock("b.lm", scene.folder.Read("a.lm")));
  const KestroIndexedMeshLODDefinition* d = binary->GetLODDefinition();
  ASSERT_NE(nullptr, d) << binary->GetLastLoadCode();
  ASSERT_EQ(RES_OK, d->Save(scene.folder.At("c.lm").c_str()));
  EXPECT_EQ(scene.folder.Read("a.lm"), scene.folder.Read("c.lm"));
  ASSERT_EQ(RES_OK, d->Save(scene.folder.At("c.lm").c_str()));  // over the older file
  EXPECT_EQ(std::set<std::string>(
                {"a.lm", "b.lm", "c.lm", "car.lm.txt", "near.im", "mid.im", "far.im", "box.im"}),
            scene.folder.Names());

  EXPECT_EQ(4u, d->GetLevelCount());
  EXPECT_EQ(std::vector<f32>({0, 50, 200}), d->GetSwitchDistances());
  ASSERT_EQ(2u, d->GetNamedMeshes().size());
  EXPECT_EQ("collision", d->GetNamedMeshes()[0].name.View());
  EXPECT_EQ(3u, d->GetNamedMeshes()[0].level);
  EXPECT_FALSE(d->GetNamedMeshes()[0].animated);
  EXPECT_EQ("shadow", d->GetNamedMeshes()[1].name.View());
  EXPECT_EQ(0u, d->GetNamedMeshes()[1].level);  // the file of level 0 again
  EXPECT_TRUE(d->GetNamedMeshes()[1].animated);
  EXPECT_EQ(std::vector<f32>({2, 1.5f, 100, 3, 40}),
            std::vector<f32>({d->GetOffset(), d->GetMultiplier(), d->GetAnimationCutOff(),
                              d->GetRenderCutOff(), d->GetAttachmentCutOff()}));
  EXPECT_EQ(u32(KestroIndexedMeshLODDefinition::kCalcNear), d->GetCalcPoint());
  EXPECT_EQ(std::vector<Qel::PString>({Qel::PString("a.lamp")}), d->GetCullList());
  EXPECT_NE(std::string::npos, scene.folder.Read("a.lm").find("a.lamp:Cull"));
  ASSERT_EQ(2u, d->GetBoneCount());
  EXPECT_EQ("b.arm", d->GetInfluences()[1].name.View());
  EXPECT_EQ("b.root", d->GetInfluences()[1].parentName.View());
  ASSERT_NE(nullptr, d->GetRootBone());
  for (const KestroLODLevel& level : d->GetLevels()) {
    ASSERT_EQ(2u, level.chunkCount);
    EXPECT_EQ(2u, level.boneEntries[0][0].weights.size());
    EXPECT_EQ(1u, level.chunkInfo[0].influences);
    EXPECT_NE(nullptr, level.chunks.Get(0)->GetFaceNeighborArray());
  }
  // The texture is kept by its file part, in the mesh's folder.
  EXPECT_NE(std::string::npos, scene.folder.Read("a.lm").find("body.tga"));
  EXPECT_EQ(std::string::npos, scene.folder.Read("a.lm").find("maps"));
}

TEST(LodMeshTest, ASkeletonWithoutInfluencesSavesAsABoneTree) {
  ResourceScene scene;
  KestroIndexedMeshLODResource* text = LockLodText(scene, "", fixture::kLodText, true);
  ASSERT_NE(nullptr, text->GetLODDefinition()) << text->GetLastLoadCode();
  ASSERT_EQ(RES_OK, text->GetLODDefinition()->Save(scene.folder.At("a.lm").c_str()));
  const KestroIndexedMeshLODDefinition* d =
      static_cast<KestroIndexedMeshLODResource*>(scene.Lock("b.lm", scene.folder.Read("a.lm")))
          ->GetLODDefinition();
  ASSERT_NE(nullptr, d);
  ASSERT_EQ(RES_OK, d->Save(scene.folder.At("c.lm").c_str()));
  EXPECT_EQ(scene.folder.Read("a.lm"), scene.folder.Read("c.lm"));
  EXPECT_NE(std::string::npos, scene.folder.Read("a.lm").find("RBOT"));
  EXPECT_EQ(0u, d->GetBoneCount());
  ASSERT_NE(nullptr, d->GetRootBone());
  EXPECT_NE(nullptr, d->GetRootBone()->FindByName(Qel::PString("b.arm")));
}

TEST(LodMeshTest, StructureErrorsFailWithTheirCodes) {
  const struct {
    const char* name;
    std::string text;
    u32 code = RES_FILE_FORMAT_ERROR;
  } cases[] = {
      {"equal distances",
       "version 1.0\nmesh 0\n{\nname near.im\n}\nmesh 50\n{\nname mid.im\n}\n"
       "mesh 50\n{\nname far.im\n}\n"},
      {"a distance after a named mesh",
       "version 1.0\nmesh 0\n{\nname near.im\n}\nmesh collision\n{\nname box.im\n}\n"
       "mesh 50\n{\nname mid.im\n}\n"},
      {"a named mesh first", "version 1.0\nmesh collision\n{\nname box.im\n}\n"},
      {"a purpose twice",
       "version 1.0\nmesh 0\n{\nname near.im\n}\nmesh Shadow\n{\nname mid.im\n}\n"
       "mesh shadow\n{\nname far.im\n}\n"},
      {"a level outside the folder", "version 1.0\nmesh 0\n{\nname ../near.im\n}\n",
       RES_FILE_OPEN_ERROR},
      {"a level that is not there", "version 1.0\nmesh 0\n{\nname gone.im\n}\n",
       RES_FILE_OPEN_ERROR},
      {"a level without a name", "version 1.0\nmesh 0\n{\n}\n"},
  };
  for (const auto& c : cases) {
    ResourceScene scene;
    KestroIndexedMeshLODResource* resource = LockLodText(scene, "", c.text);
    EXPECT_EQ(nullptr, resource->GetLODDefinition()) << c.name;
    EXPECT_EQ(c.code, resource->GetLastLoadCode()) << c.name;
  }
}

TEST(LodMeshTest, LevelChoiceAndRenderCutOff) {
  ResourceScene scene;
  LodInstancePtr instance =
      MakeInstance(LockLodText(scene, "renderCutOff 50\nattachmentCutOff 100\n"));
  ASSERT_NE(nullptr, instance);
  ASSERT_EQ(1u, instance->GetAttachmentChildren().size());
  const Qel::Particle& lamp = *instance->GetAttachmentChildren()[0];
  EXPECT_EQ(22u, instance->GetID());
  EXPECT_EQ(3u, instance->GetHeldLevel());  // the collision level
  const struct {
    f32 measure;
    u32 level;
    bool drawn;
  } cases[] = {{0, 0, false},     {30, 0, false},    {49.99f, 0, false}, {50, 1, true},
               {50.01f, 1, true}, {199.9f, 1, true}, {200, 2, true},     {5000, 2, true}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.drawn, CullFrom(*instance, c.measure)) << c.measure;
    EXPECT_EQ(c.level, instance->GetDrawnLevel()) << c.measure;
    EXPECT_EQ(3u, instance->GetHeldLevel());
    EXPECT_EQ(c.measure > 100, (lamp.GetFlags() & 2) != 0) << c.measure;
  }
  instance->SetLODLevel(4);  // past the table: nothing changes
  EXPECT_EQ(3u, instance->GetHeldLevel());
  EXPECT_FALSE(instance->AddChunk(nullptr, nullptr));
  // The distance levels fade; the named levels keep their opacity.
  instance->SetOpacity(0.0f);
  EXPECT_EQ(1.0f, instance->GetChunks().Get(0)->GetOpacity());
  instance->SetLODLevel(2);
  EXPECT_EQ(0.0f, instance->GetChunks().Get(0)->GetOpacity());
  EXPECT_FALSE(CullFrom(*instance, 100));
}

TEST(LodMeshTest, AnimationCutOffKeepsItsStateInsideTheBand) {
  ResourceScene scene;
  // The measure is the distance plus the offset of 10; the band is 90 to 110.
  KestroIndexedMeshLODResource* resource = LockLodText(scene, "offset 10\nanimationCutOff 100\n");
  LodInstancePtr instance = MakeInstance(resource);
  auto* skinned = dynamic_cast<KestroDynamicIndexedMeshLODInstance*>(instance.get());
  ASSERT_NE(nullptr, skinned);
  EXPECT_EQ(std::vector<u32>({0}), skinned->GetExtraLevels());
  const Qel::Particle* arm = instance->FindByName(Qel::PString("b.arm"));
  ASSERT_NE(nullptr, arm);
  const struct {
    f32 measure;
    bool stopped;
  } steps[] = {{95, true},  {89, false}, {105, false}, {110, false},
               {111, true}, {91, true},  {80, false}};
  for (const auto& step : steps) {
    CullFrom(*instance, step.measure - 10);
    EXPECT_EQ(step.stopped, skinned->UpdateAnimationCutOff(0)) << step.measure;
    if (step.measure != 95) {
      EXPECT_EQ(step.stopped, (arm->GetFlags() & 2) != 0) << step.measure;
    }
  }
  // Running bones move the drawn level's own chunks; the definition's stay where they were.
  CullFrom(*instance, 60);
  skinned->UpdateAnimationCutOff(7);
  ASSERT_EQ(1u, instance->GetDrawnLevel());
  instance->SetLODLevel(1);
  const auto first = [](const ChunkArray& chunks) {
    return chunks.Get(0)->GetItem(Qel::kItemPosition).Get<Vector3>(0);
  };
  EXPECT_EQ(Vector3(10, 0, 0), first(resource->GetLODDefinition()->GetLevels()[1].chunks));
  EXPECT_NE(Vector3(10, 0, 0), first(instance->GetChunks()));
}

TEST(LodMeshTest, CopiesHoldTheSourcesLevel) {
  ResourceScene scene;
  LodInstancePtr instance = MakeInstance(LockLodText(scene));
  instance->SetLODLevel(1);
  LodInstancePtr copy(static_cast<KestroIndexedMeshLODInstance*>(instance->CreateInstance()));
  EXPECT_EQ(1u, copy->GetHeldLevel());
  EXPECT_EQ(0u, copy->GetDrawnLevel());
  EXPECT_FALSE(copy->GetChunks().Get(0) == instance->GetChunks().Get(0));  // skinned: its own
}

TEST(LodMeshTest, EqualMaterialsAreSharedAndEveryLevelsTexturesAreAwaited) {
  ResourceScene scene;
  const std::pair<const char*, const char*> meshes[] = {
      {"a.im", "a.m.notex"}, {"b.im", "a.m.notex"}, {"c.im", "c.m.notex"}};
  for (const auto& [file, material] : meshes) {
    fixture::MeshSpec spec;
    spec.chunks = {fixture::Quad(0, material)};
    spec.chunks[0].power = material[0] == 'c' ? 20.0f : 12.0f;  // the third differs
    scene.folder.Put(file, fixture::WriteMesh(spec));
  }
  auto* resource = static_cast<KestroIndexedMeshLODResource*>(
      scene.Lock("s.lm.txt",
                 "version 1.0\nmesh 0\n{\nname a.im\n}\nmesh 10\n{\nname b.im\n}\n"
                 "mesh 20\n{\nname c.im\n}\n"));
  ASSERT_NE(nullptr, resource->GetLODDefinition());
  const auto& levels = resource->GetLODDefinition()->GetLevels();
  EXPECT_EQ(levels[0].materials.Get(0), levels[1].materials.Get(0));
  EXPECT_NE(levels[0].materials.Get(0), levels[2].materials.Get(0));
  auto* texture = new Qel::Texture("late.tga");  // readiness: pending, failed, then in
  levels[2].materials.Get(0)->SetTexture(3, texture, 0);
  texture->ReleaseReference();
  texture->SetPending(true);
  EXPECT_EQ(std::vector<u32>({1, 1}),
            std::vector<u32>({resource->LoadAll(), resource->IsAllLoaded()}));
  texture->SetPending(false);
  EXPECT_EQ(std::vector<u32>({0, 5}),
            std::vector<u32>({resource->LoadAll(), resource->IsAllLoaded()}));
  texture->MarkLoaded();
  EXPECT_EQ(0u, resource->IsAllLoaded());
}

// Materials that differ only in their names and in textures that are not there stay apart, and a
// saved file keeps each one's name and texture.
TEST(LodMeshTest, MaterialsApartByNameAndTextureRequest) {
  ResourceScene scene;
  for (const char* name : {"a", "b"}) {
    fixture::MeshSpec spec;
    spec.chunks = {fixture::Quad(0, (std::string(name) + ".m.onetex").c_str())};
    spec.chunks[0].textures = {std::string(name) + ".tga"};  // neither is in the folder
    scene.folder.Put(std::string(name) + ".im", fixture::WriteMesh(spec));
  }
  auto* resource = static_cast<KestroIndexedMeshLODResource*>(
      scene.Lock("s.lm.txt", "version 1.0\nmesh 0\n{\nname a.im\n}\nmesh 10\n{\nname b.im\n}\n"));
  const KestroIndexedMeshLODDefinition* d = resource->GetLODDefinition();
  ASSERT_NE(nullptr, d) << resource->GetLastLoadCode();
  const Qel::Material* b = d->GetLevels()[1].materials.Get(0);
  EXPECT_NE(d->GetLevels()[0].materials.Get(0), b);
  EXPECT_NE(std::string::npos, b->GetName().View().find("b.m.onetex"));
  ASSERT_EQ(RES_OK, d->Save(scene.folder.At("s.lm").c_str()));
  const std::string saved = scene.folder.Read("s.lm");
  for (const char* kept : {"a.m.onetex", "a.tga", "b.m.onetex", "b.tga"}) {
    EXPECT_NE(std::string::npos, saved.find(kept)) << kept;
  }
}

// A file holding both a bone table and a bone tree loads; the table makes the skeleton, as it
// does without the tree, and the file saves as the table alone.
TEST(LodMeshTest, ABoneTableBesideABoneTreeLoads) {
  ResourceScene scene;
  ASSERT_EQ(RES_OK, LockLodText(scene)->GetLODDefinition()->Save(scene.folder.At("t.lm").c_str()));
  ResourceScene other;
  ASSERT_EQ(RES_OK, LockLodText(other, "", fixture::kLodText, true)
                        ->GetLODDefinition()
                        ->Save(scene.folder.At("r.lm").c_str()));
  const std::string table = scene.folder.Read("t.lm");
  const std::string tree = scene.folder.Read("r.lm");
  const auto chunkAt = [](const std::string& bytes, const char* tag) {
    const size_t at = bytes.find(tag);
    return std::pair(at, size_t(8 + ByteOrder::LoadLE32(&bytes[at + 4])));
  };
  const auto [rbot, rbotSize] = chunkAt(tree, "RBOT");
  const auto [bont, bontSize] = chunkAt(table, "BONT");
  std::string both = table;
  both.insert(bont + bontSize, tree.substr(rbot, rbotSize));
  ByteOrder::StoreLE32(&both[4], u32(both.size() - 8));
  auto* resource = static_cast<KestroIndexedMeshLODResource*>(scene.Lock("both.lm", both));
  const KestroIndexedMeshLODDefinition* d = resource->GetLODDefinition();
  ASSERT_NE(nullptr, d) << resource->GetLastLoadCode();
  EXPECT_EQ(2u, d->GetBoneCount());
  ASSERT_NE(nullptr, d->GetRootBone());
  EXPECT_EQ("b.root", d->GetRootBone()->GetName().View());
  ASSERT_EQ(RES_OK, d->Save(scene.folder.At("again.lm").c_str()));
  EXPECT_EQ(table, scene.folder.Read("again.lm"));
}

}  // namespace
