// Resource types by extension, loading on lock, the database's name rules, particles and LOD.
#include "qelgfx/resource_system.h"

#include <gtest/gtest.h>

#include "qel/options.h"
#include "qel/resource_database.h"
#include "qelgfx/material_resource.h"
#include "qelgfx/object_lod.h"
#include "qelgfx/particle.h"
#include "qelgfx/render_kernel.h"
#include "qelgfx/resource.h"
#include "support/scratch_folder.h"

namespace {

using namespace Qel;

// Records which loaders ran, in order; a name containing "bad" fails its load.
class TracedResource : public Resource {
 public:
  using Resource::Resource;
  std::string calls;

 protected:
  u32 Load(const PString& name) override { return Step("Load", name); }
  u32 LoadTxt(const PString& name) override { return Step("LoadTxt", name); }
  u32 LoadComplete() override { return Step("Complete", GetName()); }

 private:
  u32 Step(const char* what, const PString& name) {
    calls += std::string(what) + ";";
    return name.View().find("bad") == std::string_view::npos ? kLoaded : kFailed;
  }
};

class Observer : public ResourceObserver {
 public:
  void OnResourceLoaded(Resource& /*resource*/, u32 result) override { results.push_back(result); }
  std::vector<u32> results;
};

TEST(ResourceSystemTest, TypesByLongestExtensionLoadOnLock) {
  const UId classId("4C414E80-BBDA-11d4-9AD7-0001025364B8");
  ResourceType<TracedResource> txt("txt", UId("00000000-0000-0000-0000-000000000001"), classId);
  ResourceType<TracedResource> lmTxt("lm.txt", UId("00000000-0000-0000-0000-000000000002"),
                                     classId);
  ResourceType<TracedResource> im("im", UId("00000000-0000-0000-0000-000000000003"), classId);
  const struct {
    const char* name;
    ResourceTypeBase* type;
  } lookups[] = {{"a/b.lm.txt", &lmTxt}, {"a/b.txt", &txt}, {"B.LM.TXT", &lmTxt},
                 {"xlm.txt", &txt},      {"b.im", &im},     {"b.xim", nullptr},
                 {"im", nullptr}};
  for (const auto& l : lookups) EXPECT_EQ(ResourceTypeBase::FindForName(l.name), l.type) << l.name;
  EXPECT_EQ(im.GetResourceSize(), sizeof(TracedResource));

  ResourceSystem system;
  const struct {
    const char* name;
    u32 result;
    const char* calls;
  } locks[] = {{"owner/mesh.lm.txt", 0, "LoadTxt;Complete;"},
               {"owner/mesh.im", 0, "Load;Complete;"},
               {"owner/bad.im", 1, "Load;"}};
  for (const auto& l : locks) {
    Resource* resource = system.FindResource(l.name, nullptr);
    ASSERT_NE(resource, nullptr);
    Observer observer;
    resource->AddObserver(&observer);
    EXPECT_EQ(resource->Lock(), l.result);
    EXPECT_EQ(resource->Lock(), l.result);  // loaded once; a failure is tried again
    EXPECT_EQ(static_cast<TracedResource*>(resource)->calls,
              l.result ? std::string(l.calls) + l.calls : l.calls);
    EXPECT_EQ(observer.results.size(), l.result ? 2u : 1u);
    EXPECT_EQ(resource->GetLockCount(), l.result ? 0u : 2u);
    EXPECT_EQ(resource->GetOwnerName(), PString("owner"));
    resource->RemoveObserver(&observer);
    EXPECT_EQ(resource->Unload(), l.result != 0);  // still locked when it loaded
    EXPECT_EQ(system.FindResource(l.name, nullptr), resource);
    resource->ReleaseReference();
    resource->ReleaseReference();
  }
  EXPECT_EQ(system.FindResource("x.unknown", nullptr), nullptr);
  EXPECT_EQ(system.PurgeUnused(), 3u);
  EXPECT_EQ(system.GetCachedCount(), 0u);
}

TEST(ResourceSystemTest, MaterialNamesLoadThroughTheManager) {
  RenderKernel kernel(nullptr, 8.0f);
  kernel.SetDisplay(Display::CreateModest());
  ResourceSystem system;
  const struct {
    const char* name;
    bool withManager;
    u32 result;
  } cases[] = {{"KestroDummyLoad.m.onetex", true, 0},
               {"KestroDummyLoad.m.notex", true, 0},
               {"KestroDummyLoad.m.tbumpcoltex", true, 1},
               {"KestroDummyLoad.m.reflect", false, 1}};
  for (const auto& c : cases) {
    system.SetMaterialManager(c.withManager ? &kernel.GetMaterialManager() : nullptr);
    auto* resource = dynamic_cast<MaterialResource*>(system.FindResource(c.name, nullptr));
    ASSERT_NE(resource, nullptr) << c.name;
    EXPECT_EQ(resource->Lock(), c.result) << c.name;
    EXPECT_EQ(resource->GetMaterial() != nullptr, c.result == 0);
    resource->ReleaseReference();
  }
}

TEST(ResourceSystemTest, DatabaseRefusesNamesOutsideItsFolder) {
  scratch::Folder folder;
  folder.Put("Meshes/Body.im", "x");
  ResourceDatabase database("db", folder.path().c_str());
  String path;
  EXPECT_TRUE(database.FindFile("meshes/body.im", path));
  EXPECT_EQ(path.Std(), folder.At("Meshes/Body.im"));
  for (const char* name : {"../x.im", "meshes/../../x.im", "a\\..\\x.im", "/etc/passwd", "C:\\x.im",
                           "", "meshes/none.im", "meshes"}) {
    EXPECT_FALSE(database.FindFile(name, path)) << name;
  }
}

TEST(ResourceSystemTest, ParticleTreesFindCloneAndPlacePoints) {
  ParticleStructure structure;
  auto* root = new ParticleBone;
  root->SetName("root");
  root->SetReferenceFrame({0, 0, 1}, Quaternion::FromAxisAngle({0, 0, 1}, 1.5707964f));
  auto* arm = new ParticleBone;
  arm->SetName("Arm");
  arm->SetBox({-1, -1, -1}, {1, 1, 1});
  ASSERT_TRUE(structure.Add(root));
  ASSERT_TRUE(root->Add(arm));
  EXPECT_FALSE(arm->Add(root));  // no cycles
  EXPECT_EQ(structure.FindByName("arm"), arm);
  EXPECT_EQ(structure.FindByName("leg"), nullptr);

  String first, rest;
  AttachmentPoint::GetSubNames("arm.hand.left", first, rest);
  EXPECT_EQ(first.Std() + "|" + rest.Std(), "arm|hand.left");
  ReferencePoint::GetSubNames("plain", first, rest);
  EXPECT_EQ(first.Std() + "|" + rest.Std(), "plain|");
  EXPECT_TRUE(structure.AddAttachmentPoint(new AttachmentPoint("arm", "hand"), true));
  auto* lost = new AttachmentPoint("leg", "");
  EXPECT_FALSE(structure.AddAttachmentPoint(lost, true));
  delete lost;
  EXPECT_EQ(arm->GetChildCount(), 1u);

  Vector3 position{1, 0, 1};
  Quaternion orientation;
  arm->GlobalToLocal(position, orientation);
  EXPECT_NEAR(position.y, -1.0f, 1e-5f);

  std::unique_ptr<Particle> clone(structure.Clone());
  auto* clonedArm = dynamic_cast<ParticleBone*>(clone->FindByName("arm"));
  ASSERT_NE(clonedArm, nullptr);
  EXPECT_NE(clonedArm, arm);
  EXPECT_EQ(clonedArm->GetBoxMax(), Vector3(1, 1, 1));
  EXPECT_EQ(clonedArm->GetChildCount(), 1u);
}

TEST(ResourceSystemTest, LodLevelCountsSwitchDistancesNotAboveTheMeasure) {
  ObjectLOD lod(3, {10.0f, 20.0f});
  const struct {
    f32 distance;
    f32 offset;
    f32 multiplier;
    u32 level;
  } cases[] = {{0, 0, 1, 0},   {9.9f, 0, 1, 0}, {10, 0, 1, 1}, {15, 0, 1, 1}, {20, 0, 1, 2},
               {500, 0, 1, 2}, {5, 5, 1, 1},    {5, 0, 4, 2},  {15, 0, 0, 0}};
  for (const auto& c : cases) {
    lod.SetOffset(c.offset);
    lod.SetMultiplier(c.multiplier);
    EXPECT_EQ(lod.GetLevel({0, c.distance, 0}, {}), c.level) << c.distance;
  }
  EXPECT_EQ(ObjectLOD(2, {1, 2, 3}).GetLevel({0, 0, 9}, {}), 1u);  // clamped to the last level
}

TEST(ResourceSystem, PurgesReachTheCurrentOneOnly) {
  Qel::ResourceSystem::PurgeCurrent();
  {
    Qel::ResourceSystem system;
    EXPECT_EQ(Qel::ResourceSystem::GetCurrent(), &system);
    EXPECT_TRUE(system.Init(Qel::Options("-NullRender")));
    Qel::ResourceSystem::PurgeCurrent();
    Qel::ResourceSystem::PurgeCurrent();
    EXPECT_EQ(system.GetPurgeCount(), 2u);
  }
  EXPECT_EQ(Qel::ResourceSystem::GetCurrent(), nullptr);
  Qel::ResourceSystem::PurgeCurrent();
}

}  // namespace
