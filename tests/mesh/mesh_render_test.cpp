// Culling and drawing an indexed instance as the frame sees it on the display trace, and the
// readiness of its materials' textures.
#include <gtest/gtest.h>

#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/kestro_indexed_mesh_lod_instance.h"
#include "mesh/lod_fixture.h"
#include "qelgfx/texture.h"

namespace {

using Qel::Vector3;

// An instance whose chunk bones the test chooses.
struct Probe : KestroIndexedMeshInstance {
  using KestroIndexedMeshInstance::KestroIndexedMeshInstance;
  std::vector<Qel::Particle*>& Bones() { return chunkBones_; }
};

struct RenderFixture : testing::Test {
  void SetUp() override {
    fixture::MeshSpec spec;
    spec.chunks = {fixture::Quad(0), fixture::Quad(2)};
    resource = scene.Lock("m/q.im", fixture::WriteMesh(spec));
    probe = std::make_unique<Probe>(resource->GetMeshDefinition());
    probe->Setup(resource);
    display().ClearTrace();
  }
  void TearDown() override { probe.reset(); }
  Qel::Display& display() { return *scene.engine.GetDisplay(); }
  // The draws of the trace: the world translation each chunk was drawn at.
  std::vector<std::string> Draws() {
    std::vector<std::string> worlds;
    std::string world;
    for (const Qel::String& entry : display().GetTrace()) {
      const std::string text = entry.CStr();
      if (text.rfind("World ", 0) == 0) world = text.substr(6);
      if (text.rfind("Draw ", 0) == 0) worlds.push_back(world);
    }
    display().ClearTrace();
    return worlds;
  }
  fixture::ResourceScene scene;
  KestroGeometryBaseResource* resource = nullptr;
  std::unique_ptr<Probe> probe;
};

Qel::Matrix4 At(f32 x) {
  Qel::Matrix4 matrix;
  matrix.m[3][0] = x;
  return matrix;
}

TEST_F(RenderFixture, CullAddsOnlyVisibleInstancesAndRequestsMips) {
  auto* texture = new Qel::Texture("q.tga");
  probe->GetMaterials().Get(0)->SetTexture(0, texture, 1.0f);
  texture->ReleaseReference();  // the material holds it
  const struct {
    f32 opacity;
    f32 distance;
    size_t listed;
    bool requested;
  } rows[] = {{0.0f, 10.0f, 0, false}, {-1.0f, 10.0f, 0, false}, {0.5f, 1000.0f, 1, true}};
  for (const auto& row : rows) {
    Qel::ViewPoint view;
    view.SetReferenceFrame(Vector3(0, 0, row.distance), Qel::Quaternion());
    view.SetViewport(3);
    texture->ResetWantedMipLevel();
    probe->SetOpacity(row.opacity);
    probe->Cull(view, At(1));
    EXPECT_EQ(row.listed, view.GetRenderList().size()) << row.opacity;
    EXPECT_EQ(row.requested, texture->GetWantedMipLevel() != Qel::Texture::kNoMipWanted);
    Qel::Matrix4 stored;
    EXPECT_EQ(row.requested, probe->GetStoredMatrix(3, stored));
    EXPECT_FALSE(probe->IsStale(view));  // culled, drawn or not
  }
  // Far away a coarser level is wanted than close by.
  const auto levelAt = [&](f32 distance) {
    Qel::ViewPoint view;
    view.SetReferenceFrame(Vector3(0, 0, distance), Qel::Quaternion());
    texture->ResetWantedMipLevel();
    probe->Cull(view, At(0));
    return texture->GetWantedMipLevel();
  };
  EXPECT_EQ(0u, levelAt(0.5f));
  EXPECT_LT(levelAt(10.0f), levelAt(10000.0f));
}

TEST_F(RenderFixture, ChunkBonesChooseWhereAndWhetherChunksDraw) {
  auto* culled = new Qel::Particle;
  culled->SetReferenceFrame(Vector3(5, 0, 0), Qel::Quaternion());
  auto* hidden = new Qel::Particle;
  hidden->SetFlags(0x2);  // out of the frame: never culled
  probe->Add(culled);
  probe->Add(hidden);
  const struct {
    std::vector<Qel::Particle*> bones;
    std::vector<std::string> draws;
  } rows[] = {
      {{}, {"7 0 0", "7 0 0"}},
      {{nullptr, culled}, {"12 0 0"}},
      {{hidden, culled}, {"12 0 0"}},
      {{culled, hidden}, {"12 0 0"}},
  };
  for (const auto& row : rows) {
    probe->Bones() = row.bones;
    Qel::ViewPoint view;
    view.SetFrame(4);
    probe->Cull(view, At(7));
    Qel::Matrix4 matrix = At(7);
    probe->Render(display(), view, matrix);
    EXPECT_EQ(row.draws, Draws());
  }
  // Scale is applied to the matrix in place, row by row.
  probe->Bones().clear();
  probe->SetScale(Vector3(2, 3, 4));
  Qel::ViewPoint view;
  Qel::Matrix4 matrix;
  probe->Render(display(), view, matrix);
  EXPECT_EQ((std::vector<f32>{2, 3, 4, 0}),
            (std::vector<f32>{matrix.m[0][0], matrix.m[1][1], matrix.m[2][2], matrix.m[0][1]}));
}

TEST_F(RenderFixture, LightingIsGatheredOnlyWhenDirtyOrForced) {
  Qel::LightList lights(2);
  const struct {
    const char* step;
    u32 calculations;
  } steps[] = {{"render", 1}, {"render", 1}, {"force", 2}, {"source", 3}, {"render", 3}};
  for (const auto& row : steps) {
    const std::string step = row.step;
    if (step == "render") {
      Qel::ViewPoint view;
      Qel::Matrix4 matrix;
      probe->Render(display(), view, matrix);
    } else if (step == "force") {
      probe->UpdateLighting(true);
    } else {
      probe->SetLightSource(&lights);
      probe->UpdateLighting(false);
    }
    EXPECT_EQ(row.calculations, probe->GetLightingCalculations()) << step;
    EXPECT_FALSE(probe->IsLightingDirty());
  }
  EXPECT_EQ(2u, probe->GetLightList().size());
}

// A level-of-detail instance whose level bones the test chooses.
struct LodProbe : KestroIndexedMeshLODInstance {
  using KestroIndexedMeshLODInstance::KestroIndexedMeshLODInstance;
  std::vector<Qel::Particle*>& Bones(u32 level) { return levels_[level].chunkBones; }
  std::vector<bool> LightingFlags() const {
    std::vector<bool> flags;
    for (const Level& level : levels_) flags.push_back(level.lightingFlag);
    return flags;
  }
  u32 FlaggedLevels() const { return flaggedLevels_; }
};

TEST_F(RenderFixture, LodInstancesDrawTheDrawnLevelAtItsBonesWithItsLighting) {
  auto* lod = fixture::LockLodText(scene, "", fixture::kLodText, true);
  LodProbe probe(lod->GetLODDefinition());
  probe.Setup(lod);
  probe.Bones(0).clear();
  probe.Bones(1) = {nullptr, probe.FindByName(Qel::PString("b.arm"))};
  Qel::LightList lights(2);
  probe.SetLightSource(&lights);
  probe.SetScale(Vector3(2, 1, 1));
  const struct {
    f32 distance;
    std::vector<std::string> draws;
    u32 calculations;  // a level is lit once, when first drawn
  } rows[] = {{10, {"7 0 0", "7 0 0"}, 1}, {60, {"7 1 0"}, 2}, {10, {"7 0 0", "7 0 0"}, 2}};
  for (const auto& row : rows) {
    Qel::ViewPoint view;
    view.SetReferenceFrame(Vector3(row.distance, 0, 0), Qel::Quaternion());
    probe.Cull(view, At(7));
    ASSERT_EQ(1u, view.GetRenderList().size());
    Qel::Matrix4 matrix = At(7);
    probe.Render(display(), view, matrix);
    EXPECT_EQ(2.0f, matrix.m[0][0]);  // scaled in place
    EXPECT_EQ(row.draws, Draws()) << row.distance;
    EXPECT_EQ(row.calculations, probe.GetLightingCalculations());
    EXPECT_EQ(2u, probe.GetLightList().size());
  }
}

// Four levels, three of them distance levels: each refresh lights the levels it covers that are
// flagged, or all it covers when forced.
TEST_F(RenderFixture, RefreshLevelsLightsEveryLevelOrTheDistanceLevels) {
  auto* lod = fixture::LockLodText(scene, "", fixture::kLodText, true);
  LodProbe probe(lod->GetLODDefinition());
  probe.Setup(lod);
  ASSERT_EQ(4u, probe.GetLODLevelCount());
  const struct {
    bool flagged;  // before the refresh
    bool distanceLevelsOnly;
    bool force;
    std::vector<bool> flags;
    u32 flaggedLevels;
    u32 calculations;
  } rows[] = {
      {true, false, false, {false, false, false, false}, 0, 4},
      {true, true, false, {false, false, false, true}, 1, 3},
      {true, true, true, {false, false, false, true}, 1, 3},
      {false, false, false, {false, false, false, false}, 0, 0},
      {false, false, true, {false, false, false, false}, 0, 4},
      {false, true, true, {false, false, false, false}, 0, 3},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.flagged << row.distanceLevelsOnly << row.force);
    probe.SetUpdateLighting(row.flagged);
    const u32 before = probe.GetLightingCalculations();
    probe.RefreshLevels(row.distanceLevelsOnly, row.force);
    EXPECT_EQ(row.flags, probe.LightingFlags());
    EXPECT_EQ(row.flaggedLevels, probe.FlaggedLevels());
    EXPECT_EQ(row.flaggedLevels != 0, probe.IsLightingDirty());
    EXPECT_EQ(row.calculations, probe.GetLightingCalculations() - before);
  }
}

// A loader that finishes on request or keeps working.
struct StepLoader : Qel::TextureLoader {
  explicit StepLoader(bool finishes) : finishes_(finishes) {}
  u32 GetStatus() const override { return finishes_ ? kIdle : kBusy; }
  void Load(Qel::Texture& texture) override {
    if (finishes_) texture.MarkLoaded();
  }
  bool finishes_;
};

TEST(MaterialReadinessTest, TexturesReadyAndLoadStatusRelayTextureStates) {
  enum Kind { kLoaded, kPending, kFailed, kLoaderBusy, kLoaderFinishes };
  const struct {
    std::vector<Kind> textures;
    bool ready;
    u32 code;  // after the readiness check asked the textures to load
  } rows[] = {
      {{kLoaded, kLoaded}, true, 0},
      {{kLoaded, kPending}, false, 1},
      {{kFailed}, true, 5},
      {{kPending, kFailed}, false, 1},
      {{kLoaderBusy, kFailed}, true, 1},
      {{kLoaderFinishes}, true, 0},
      {{kLoaderFinishes, kFailed}, true, 5},
  };
  for (const auto& row : rows) {
    MaterialArray materials = MaterialArray::Make(1);
    auto* material = new Qel::Material(nullptr);
    materials.Set(0, material);
    for (u32 i = 0; i < row.textures.size(); ++i) {
      auto* texture = new Qel::Texture("t.tga");
      const Kind kind = row.textures[i];
      if (kind == kLoaded) texture->MarkLoaded();
      texture->SetPending(kind == kPending);
      if (kind == kLoaderBusy || kind == kLoaderFinishes) {
        auto* loader = new StepLoader(kind == kLoaderFinishes);
        texture->SetLoader(loader);
        loader->ReleaseReference();
      }
      material->SetTexture(i, texture, 0.0f);
      texture->ReleaseReference();
    }
    EXPECT_EQ(row.ready, KestroIndexedMeshInstance::TexturesReady(materials));
    u32 code = 99;
    KestroIndexedMeshInstance::MaterialLoadStatus(materials, code);
    EXPECT_EQ(row.code, code) << row.textures.size();
  }
}

}  // namespace
