// Meshes in validation: the files a configuration's mesh fields name are loaded through the mesh
// resources, and broken, unsupported or hostile files become findings. Fixture meshes come from
// the test mesh writer; the level-of-detail one is saved by the level-of-detail writer.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"
#include "mesh/kestro_indexed_mesh_lod_instance.h"
#include "mesh/lod_fixture.h"
#include "mesh/mesh_fixture.h"
#include "pymclient/install_paths.h"
#include "qel/options.h"
#include "qelgfx/animation_definition.h"
#include "support/scratch_folder.h"
#include "validation/data_manager.h"
#include "validation/error_handler.h"
#include "validation/legacy_upgrade.h"
#include "validation/mesh_data.h"
#include "validation/validation_run.h"

namespace {

using TETLib::DataManager;
using TETLib::ErrorHandler;

constexpr const char* kKinds = R"(
thing
{
  top-level 1
  subpossibilities
  {
    kind
    {
      type "string"
    }
    kestro-build
    {
      type "float"
    }
    category-era
    {
      type "string"
    }
    category-class
    {
      type "string"
    }
    category-region
    {
      type "string"
    }
    alias
    {
      type "kuid"
    }
    mesh
    {
      type "filepath"
      datatype "meshes"
    }
    second
    {
      type "filepath"
      datatype "meshes"
    }
    anim
    {
      type "filepath"
      datatype "animation"
    }
    other
    {
      type "filepath"
      datatype "animation"
    }
    mesh-table
    {
      kind "element"
      element-type "mesh-table"
    }
  }
}
)";

constexpr const char* kContainers = R"(
mesh-table
{
  array-element
  {
    container-type0 "mesh-element"
  }
}
mesh-element
{
  subpossibilities
  {
    mesh
    {
      type "filepath"
      datatype "meshes"
    }
    att
    {
      type "combobox"
      source "attachment"
    }
    att-parent
    {
      type "string"
    }
    effects
    {
      kind "element"
      element-type "effects"
    }
  }
}
effects
{
  array-element
  {
    container-type0 "effect"
  }
}
effect
{
  subpossibilities
  {
    point
    {
      type "string"
      validation
      {
        mustbeownparent ""
      }
    }
  }
}
)";

// n unit quads side by side in one chunk: 2n triangles, no attachments.
std::string QuadsMesh(u32 n) {
  fixture::ChunkSpec chunk = fixture::Quad(0);
  chunk.vertices.clear();
  chunk.indices.clear();
  for (u32 q = 0; q < n; ++q) {
    const f32 x = f32(q);
    for (const auto& v : fixture::Quad(x).vertices) chunk.vertices.push_back(v);
    const u16 base = u16(4 * q);
    for (u16 i : {0, 1, 2, 0, 2, 3}) chunk.indices.push_back(u16(base + i));
  }
  fixture::MeshSpec spec;
  spec.chunks = {chunk};
  return fixture::WriteMesh(spec);
}

class MeshValidationTest : public ::testing::Test {
 protected:
  // Held as a validation holds it: the data manager and the definitions' facts are used under it.
  const Qel::SingleLock validationLock_{GetValidationMutex()};
  void SetUp() override {
    dir_.Put("tet/inheritance.txt", "");
    dir_.Put("tet/kind.txt", kKinds);
    dir_.Put("tet/container.txt", kContainers);
    Qel::ResourceSystem::SetPluginEntry(&QelGetPlugins);
    scene_.system.Init(Qel::Options("-NullRender"));
    scene_.system.SetMaterialManager(scene_.engine.GetManager());
    Start();
  }
  void TearDown() override {
    Stop();
    scene_.system.SetMaterialManager(nullptr);
  }
  void Start() {
    ErrorHandler::CreateInstance();
    ASSERT_TRUE(DataManager::CreateInstance(dir_.At("tet").c_str()));
    EngineContext context;
    context.resourceSystem = &scene_.system;
    context.renderKernel = &scene_.engine.kernel;
    DataManager::Instance().SetEngineContext(context);
    DataManager::Instance().RegisterKestroBumpVertexType();
  }
  void Stop() {
    DataManager::DestroyInstance();
    ErrorHandler::DestroyInstance();
  }

  std::string Asset() const { return dir_.At("Asset"); }

  // A one-level LOD mesh of `quads` quads, saved as ".lm" by the LOD writer.
  std::string LodFile(u32 quads) {
    scene_.folder.Put("level.im", QuadsMesh(quads));
    auto* text = static_cast<KestroIndexedMeshLODResource*>(
        scene_.Lock("one.lm.txt", "version 1.0\nmesh 0\n{\n  name \"level.im\"\n}\n"));
    EXPECT_EQ(text->GetLastLoadCode(), 0u);
    const std::string out = scene_.folder.path() + "/one.lm";
    EXPECT_EQ(text->GetLODDefinition()->Save(out.c_str()), 0u);
    return scratch::ReadAll(out);
  }

  // Validates a fresh asset; each finding as "E text" or "W text".
  std::vector<std::string> Validate(const std::string& config,
                                    const std::vector<std::pair<std::string, std::string>>& files,
                                    bool* passed = nullptr) {
    std::filesystem::remove_all(Asset());
    dir_.Put("Asset/config.txt", config);
    for (const auto& [name, bytes] : files) dir_.Put("Asset/" + name, bytes);
    ResultsLog log;
    const bool ok =
        TETLib::ValidateAssetFolder(&log, Qel::PString(), Qel::File::Path(Asset().c_str()), false);
    if (passed != nullptr) *passed = ok;
    std::vector<std::string> out;
    for (const ResultsLogEntry& e : log.GetEntries()) {
      out.push_back((e.type == ResultsLog::kError ? "E " : "W ") + std::string(e.text.CStr()));
    }
    return out;
  }

  scratch::Folder dir_;
  fixture::ResourceScene scene_;
};

const std::string kHead = "kind \"thing\"\nkestro-build 3.5\n";

TEST_F(MeshValidationTest, EachMeshFileGivesItsFindings) {
  const std::string good = QuadsMesh(2);
  const std::string lod = LodFile(60);
  const struct Case {
    const char* what;
    std::string config;
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> findings;
  } cases[] = {
      {"good mesh", kHead + "mesh \"Body.im\"\n", {{"body.im", good}}, {}},
      {"broken mesh", kHead + "mesh \"broken.im\"\n", {{"broken.im", "QIRF broken"}},
       {"E $tet_mesh_initialise_mesh '1'"}},
      {"missing mesh", kHead + "mesh \"none.im\"\n", {}, {"E $tet_mesh_load_mesh 'none.im'"}},
      {"one level of 120 polygons", kHead + "mesh \"one.lm\"\n", {{"one.lm", lod}},
       {"W $tet_lm_performance_no_attachments 'one.lm'",
        "W $tet_lm_performance_single_lod 'one.lm'", "W $tet_lm_performance_low_poly 'one.lm'"}},
      {"progressive mesh now", kHead + "mesh \"old.pm\"\n", {{"old.pm", good}},
       {"E $tet_dm_unsupportedformat 'old.pm'"}},
      {"progressive mesh of an old build",
       "kind \"thing\"\nkestro-build 2.8\nmesh \"old.pm\"\n", {{"old.pm", good}},
       {"W $tet_dm_unsupportedformat 'old.pm'"}},
      {"animations without a mesh", kHead + "anim \"a.kin\"\nother \"b.kin\"\n", {},
       {"E $tet_dm_animationfailed 'a.kin'"}},
      {"animations after a failed mesh",
       kHead + "mesh \"broken.im\"\nanim \"a.kin\"\nother \"b.kin\"\n",
       {{"broken.im", "x"}}, {"E $tet_mesh_initialise_mesh '1'"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Validate(c.config, c.files), c.findings) << c.what;
}

// The bytes of an animation file written from its text form.
std::string Kin(const char* text) {
  Qel::AnimationDefinition definition;
  Qel::String error;
  EXPECT_TRUE(definition.ReadText(text, error)) << error.Std();
  const scratch::Folder folder;
  EXPECT_TRUE(definition.Write(folder.At("a.kin").c_str()));
  return folder.Read("a.kin");
}

// An animation is read and matched against the skeleton of the mesh named before it; the field's
// name is lower-cased before it is looked up.
TEST_F(MeshValidationTest, EachAnimationFileGivesItsFinding) {
  fixture::MeshSpec spec;
  spec.chunks = {fixture::Quad(0)};
  spec.bones = {{"root", "", {}}, {"Arm", "root", {}}};
  const std::string body = fixture::WriteMesh(spec);
  const std::string arm =
      Kin("frames 2\nbones\n{\n  bone \"arm\"\n  {\n    key 1, 0,0,0, 0,0,0,1\n  }\n}\n");
  const std::string leg =
      Kin("frames 2\nbones\n{\n  bone \"leg\"\n  {\n    key 1, 0,0,0, 0,0,0,1\n  }\n}\n");
  const std::string config = kHead + "mesh \"body.im\"\nanim \"A.kin\"\n";
  const struct {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> findings;
  } cases[] = {
      {"good", {{"a.kin", arm}}, {}},
      {"a bone the mesh lacks", {{"a.kin", leg}}, {"E $tet_mesh_animationfailedskeleton 'a.kin'"}},
      {"damaged", {{"a.kin", arm.substr(0, arm.size() - 4)}}, {"E $tet_mesh_animationfailedres 'a.kin'"}},
      {"64 random bytes", {{"a.kin", std::string(64, '\x3c')}}, {"E $tet_mesh_animationfailedres 'a.kin'"}},
      {"empty", {{"a.kin", Kin("frames 0\n")}}, {"E $tet_mesh_animationfailedobserver 'a.kin'"}},
      {"missing", {}, {"E $tet_mesh_animationfailedres 'a.kin'"}},
  };
  for (const auto& c : cases) {
    auto files = c.files;
    files.emplace_back("body.im", body);
    EXPECT_EQ(Validate(config, files), c.findings) << c.what;
  }

  // At the mesh-data level: what a mesh keeps of a good animation is its lower-cased name and its
  // frame count; an animation asked for before any mesh is a finding and keeps nothing.
  dir_.Put("Asset/walk.kin", arm);
  DataManager::Instance().OpenAssetResourceDatabase(Qel::PString(), Qel::String(Asset().c_str()));
  const struct {
    const char* what;
    bool meshFirst;
    std::vector<std::string> findings;
  } direct[] = {
      {"after its mesh", true, {}},
      {"before any mesh", false, {"$tet_mesh_animationfailedmesh 'Walk.kin'"}},
  };
  for (const auto& c : direct) {
    ErrorHandler::Instance()->ClearRecords();
    TETLib::MeshData data;
    if (c.meshFirst) {
      ASSERT_TRUE(data.Load(Qel::PString("body.im"), nullptr)) << c.what;
    }
    EXPECT_EQ(data.LoadAnimation(Qel::PString("Walk.kin")), c.meshFirst) << c.what;
    std::vector<std::string> findings;
    for (const auto& record : ErrorHandler::Instance()->GetRecords()) {
      findings.emplace_back(record->key.View());
    }
    EXPECT_EQ(findings, c.findings) << c.what;
    ASSERT_EQ(data.GetAnimations().size(), c.meshFirst ? 1u : 0u) << c.what;
    if (!c.meshFirst) continue;
    EXPECT_EQ(data.GetAnimations()[0].name, Qel::PString("walk.kin"));
    EXPECT_EQ(data.GetAnimations()[0].value, 2u);
  }
}

// An attachment names a point of the mesh of the entry its "att-parent" names.
TEST_F(MeshValidationTest, AnAttachmentMustBeAPointOfItsParentsMesh) {
  fixture::MeshSpec spec;
  spec.chunks = {fixture::Quad(0)};
  spec.attachments = {"a.lamp"};
  const std::string body = fixture::WriteMesh(spec);
  const auto config = [](const char* point) {
    return kHead + "mesh-table\n{\n  default\n  {\n    mesh \"body.im\"\n  }\n  lamp\n  {\n" +
           "    att \"" + point + "\"\n    att-parent \"default\"\n  }\n}\n";
  };
  EXPECT_EQ(Validate(config("a.lamp"), {{"body.im", body}}), std::vector<std::string>{});
  EXPECT_EQ(Validate(config("a.none"), {{"body.im", body}}),
            std::vector<std::string>{"E $tet_container_notavalidpossibility 'a.none' 'lamp' "
                                     "'body.im'"});
}

// An effect's point is one of the mesh of the mesh-table entry that holds the effect's list; a
// right one lets the asset's own rules run, a wrong one names the mesh.
TEST_F(MeshValidationTest, AnEffectsPointMustBeOneOfItsEntrysMesh) {
  fixture::MeshSpec spec;
  spec.chunks = {fixture::Quad(0)};
  spec.attachments = {"a.lamp"};
  const std::string body = fixture::WriteMesh(spec);
  const auto config = [](const std::string& entry) {
    return kHead + "mesh-table\n{\n  default\n  {\n" + entry + "  }\n}\n";
  };
  const std::string effect = "    effects\n    {\n      glow\n      {\n        point ";
  const struct Case {
    const char* what;
    std::string entry;
    std::vector<std::string> findings;
  } cases[] = {
      {"a point of the mesh", "    mesh \"Body.im\"\n" + effect + "\"a.lamp\"\n      }\n    }\n",
       {}},
      {"no such point", "    mesh \"Body.im\"\n" + effect + "\"a.none\"\n      }\n    }\n",
       {"E $tet_val_mustbeownparent 'a.none' 'body.im'"}},
      {"a mesh that did not load",
       "    mesh \"gone.im\"\n" + effect + "\"a.lamp\"\n      }\n    }\n",
       {"E $tet_mesh_load_mesh 'gone.im'"}},
  };
  for (const Case& c : cases) {
    bool passed = false;
    EXPECT_EQ(Validate(config(c.entry), {{"body.im", body}}, &passed), c.findings) << c.what;
    EXPECT_EQ(passed, c.findings.empty()) << c.what;
  }
}

// Old turntables and crossings get a track for each pair of points: a turntable's named by its
// side letter after "track", a crossing's by the points' own stem.
TEST_F(MeshValidationTest, OldJunctionMeshesGiveNamedTrackPairs) {
  const auto mesh = [](std::vector<std::string> points) {
    fixture::MeshSpec spec;
    spec.chunks = {fixture::Quad(0)};
    for (const std::string& point : points) spec.attachments.push_back(point);
    return fixture::WriteMesh(spec);
  };
  std::filesystem::remove_all(Asset());
  dir_.Put("Asset/pit/pit.im", mesh({"a.otrack0a", "a.otrack0b", "a.otrack1a", "a.otrack1b"}));
  dir_.Put("Asset/deck/deck.im", mesh({"a.itrack0a", "a.itrack0b"}));
  dir_.Put("Asset/cross/cross.im", mesh({"a.road0a", "a.road0b", "a.track0a", "a.track0b"}));
  DataManager::Instance().OpenAssetResourceDatabase(Qel::PString(), Qel::String(Asset().c_str()));
  DataManager::Instance().SetBuildNumber(2.6f);
  const auto tracks = [](const char* config) {
    TBuffer stream(new Qel::DynamicBuffer(), true);
    stream.WriteBytes(config, u32(std::strlen(config)));
    stream.Seek(0, 0);
    Soup soup;
    Soup::ParseText(soup, stream, false);
    TETLib::UpgradeConfig(soup);
    const Soup attached = soup.GetNamedSoup(Qel::PString("attached-track"));
    std::vector<std::string> names;
    for (u32 i = 0; i < attached.CountTags(); ++i) {
      names.emplace_back(attached.GetIndexedTagName(i).View());
    }
    return names;
  };
  EXPECT_EQ(tracks("kind \"turntable\"\nasset-filename \"t\"\nmode0 \"pit\"\nmode1 \"deck\"\n"),
            (std::vector<std::string>{"tracko1", "tracko2", "tracki1"}));
  EXPECT_EQ(tracks("kind \"mocrossing\"\nasset-filename \"c\"\nmode0 \"cross\"\n"),
            (std::vector<std::string>{"road1", "track1"}));
}

// A configuration naming a mesh in another asset marks the run; the next asset is checked as if
// it came first.
TEST_F(MeshValidationTest, AnAliasInOneAssetDoesNotHideTheNextOnesMissingMesh) {
  const std::string b = kHead + "mesh \"none.im\"\n";
  const std::vector<std::string> fresh = Validate(b, {});
  ASSERT_EQ(fresh, std::vector<std::string>{"E $tet_mesh_load_mesh 'none.im'"});
  Validate(kHead + "alias <kuid:1:2>\nmesh \"none.im\"\n", {});
  EXPECT_EQ(Validate(b, {}), fresh);
  EXPECT_EQ(DataManager::Instance().GetMeshCount(), 0u);
}

TEST_F(MeshValidationTest, ALevelOfDetailMeshAnswersThroughEveryAccessor) {
  const std::string lod = LodFile(3);
  std::filesystem::remove_all(Asset());
  dir_.Put("Asset/one.lm", lod);
  DataManager::Instance().OpenAssetResourceDatabase(Qel::PString(), Qel::String(Asset().c_str()));
  TETLib::LODMeshData data;
  ASSERT_TRUE(data.Load(Qel::PString("one.lm"), nullptr));
  const TETLib::MeshData& plain = data;
  ASSERT_NE(plain.GetMeshInstance(), nullptr);
  EXPECT_EQ(plain.GetMeshInstance(), data.GetLODInstance());
  ASSERT_NE(plain.GetMeshDefinition(), nullptr);
  EXPECT_EQ(plain.GetPolygonCount(), 6u);
  Qel::Vector3 low;
  Qel::Vector3 high;
  plain.GetBoundingBox(low, high);
  EXPECT_EQ(high.x, 3.0f);
  EXPECT_NE(plain.GetTypeName(), TETLib::MeshData().GetTypeName());
}

// Hostile files of the mesh fuzzers' corpora, each under every mesh extension: findings only.
TEST_F(MeshValidationTest, HostileMeshFilesAreFindingsNotCrashes) {
  const std::string corpus = std::string(KESTRO_TEST_DATA_DIR) + "/../../fuzz/corpus/";
  std::vector<std::string> files;
  for (const char* target : {"idxm_mesh_fuzz", "lodm_mesh_fuzz", "pm_mesh_fuzz", "lm_text_fuzz"}) {
    if (!std::filesystem::is_directory(corpus + target)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(corpus + target)) {
      files.push_back(scratch::ReadAll(entry.path().string()));
    }
  }
  files.push_back("QIRF");
  files.push_back(std::string("QIRF\xff\xff\xff\xffIDXM", 12));
  ASSERT_GT(files.size(), 2u);
  for (const std::string& bytes : files) {
    for (const char* name : {"m.im", "m.lm", "m.pm", "m.lm.txt"}) {
      const std::vector<std::string> findings =
          Validate(kHead + "mesh \"" + name + "\"\nanim \"a.kin\"\n", {{name, bytes}});
      for (const std::string& finding : findings) EXPECT_NE(finding.find("$tet_"), std::string::npos);
    }
  }
  // And the animation fuzzer's corpus onto a good mesh.
  const std::string body = QuadsMesh(1);
  for (const auto& entry : std::filesystem::directory_iterator(corpus + "kin_animation_fuzz")) {
    const std::vector<std::string> findings =
        Validate(kHead + "mesh \"m.im\"\nanim \"a.kin\"\n",
                 {{"m.im", body}, {"a.kin", scratch::ReadAll(entry.path().string())}});
    for (const std::string& finding : findings) {
      EXPECT_NE(finding.find("$tet_mesh_animationfailed"), std::string::npos) << entry.path();
    }
  }
}

}  // namespace
