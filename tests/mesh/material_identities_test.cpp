#include "mesh/material_identities.h"

#include <gtest/gtest.h>

#include "qelgfx/render_kernel.h"

namespace {

using Qel::Material;
using Qel::MaterialManager;
using Qel::PString;

class MaterialIdentitiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Qel::CreateMaterialPlugins();
    kernel_.SetDisplay(std::make_unique<Qel::Display>());
  }
  Qel::Display& GetDisplay() { return *kernel_.GetDisplay(); }
  // The kind the manager makes for a name of that kind on a fresh manager.
  std::string MadeKind(const char* kind) {
    MaterialManager manager(&kernel_);
    Material* material = nullptr;
    const u32 status =
        manager.FindMaterial(PString((std::string("x.m.") + kind).c_str()), material);
    if (status != MaterialManager::kFound) return "status " + std::to_string(status);
    std::string made = material->GetType().CStr();
    material->ReleaseReference();
    return made;
  }
  Qel::RenderKernel kernel_{nullptr, 8.0f};
};

TEST_F(MaterialIdentitiesTest, KindsFallBackByCapabilityAndStages) {
  struct Case {
    std::vector<u32> capabilities;
    u32 stages;
    const char* gloss;
    const char* bump;
    const char* env;
    const char* rust;
    const char* pfx;
  };
  const Case cases[] = {
      // The one-texture-no-alpha kind reports its base's type.
      {{}, 1, "onetex", "onetex", "groundbase", "onetex", "onetex"},
      {{1}, 1, "tglossrust", "onetex", "groundbase", "tglossrust", "onetex"},
      {{17, 21}, 2, "tbumpgloss", "tbumptex", "tbumpenv", "onetex", "tmpfx"},
      {{1, 17, 21, 29}, 4, "tbumpgloss", "tbumptex", "tbumpenv", "tglossrust", "tmpfx"},
      {{1}, 0, "tglossrust", "notex", "notex", "tglossrust", "notex"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stages);
    for (u32 cap = 0; cap < 32; ++cap) GetDisplay().SetCapability(cap, false);
    for (u32 cap : c.capabilities) GetDisplay().SetCapability(cap, true);
    GetDisplay().SetTextureStageCount(c.stages);
    EXPECT_EQ(
        (std::vector<std::string>{MadeKind("tbumpgloss"), MadeKind("tbumptex"),
                                  MadeKind("tbumpenv"), MadeKind("tglossrust"), MadeKind("tmpfx")}),
        (std::vector<std::string>{c.gloss, c.bump, c.env, c.rust, c.pfx}));
  }
  EXPECT_EQ(MadeKind("groundbase"), "status 1");
  EXPECT_EQ(Qel::UId(Qel::kMaterialIdentities[5].uid).data4[0], 0xC1);
}

TEST_F(MaterialIdentitiesTest, PreparesOnceAndSharesTheCaches) {
  GetDisplay().SetCapability(17, true);
  GetDisplay().SetCapability(21, true);
  GetDisplay().SetTextureStageCount(2);
  auto* bump = static_cast<Qel::KestroMaterialPlugin*>(Qel::MaterialPlugin::Find("tbumptex"));
  auto* env = static_cast<Qel::KestroMaterialPlugin*>(Qel::MaterialPlugin::Find("TBUMPENV"));
  ASSERT_TRUE(bump && env);
  EXPECT_EQ(bump->CreateInstance(nullptr, nullptr), nullptr);  // no kernel: nothing prepared
  const u32 before = bump->GetPreparations();
  for (int i = 0; i < 100; ++i) {
    Material* material = bump->CreateInstance(&kernel_.GetMaterialManager(), &kernel_);
    ASSERT_NE(material, nullptr);
    EXPECT_EQ(material->GetFactory(), bump);
    material->ReleaseReference();
  }
  Material* other = env->CreateInstance(&kernel_.GetMaterialManager(), &kernel_);
  ASSERT_NE(other, nullptr);
  other->ReleaseReference();
  EXPECT_EQ(bump->GetPreparations(), before + 1);
  EXPECT_EQ(bump->GetProgramCount(), 4u);
  EXPECT_EQ(env->GetProgramCount(), 4u);
  EXPECT_NE(GetDisplay().LookupProgram("KestroBumpEnvMat_SpotLight"), 0u);
  EXPECT_NE(GetDisplay().LookupProgram("KestroBumpMaterial_Vtx/KestroBumpEnv_SpotLight"), 0u);
  // Caches are the kernel's: one of each kind, whichever plug-in asked first.
  EXPECT_EQ(kernel_.GetRenderingCacheManager().GetCacheCount(), 3u);
}

}  // namespace
