#include "pymclient/spec_registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "pymclient/install_paths.h"
#include "pymclient/resource_db_cache.h"
#include "qel/log.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;

// Records its own destruction.
class ProbeSpec : public KoolthingzSpec {
 public:
  ProbeSpec(const KUID& kuid, bool* destroyed, const Qel::PString& folder = Qel::PString())
      : KoolthingzSpec(kuid, nullptr, nullptr, folder), destroyed_(destroyed) {}
  ~ProbeSpec() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

class SpecRegistryTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Qel::Log::SetToFile(temp_.At("log.txt").c_str())); }
  void TearDown() override {
    DeleteSpecRegistry();
    Qel::Log::SetToStdOut(false);
    EvictUnusedResourceDatabases();
    ClearInstallPaths();
  }
  std::string LogText() const { return temp_.Read("log.txt"); }

  scratch::Folder temp_;
};

TEST_F(SpecRegistryTest, DeletionDestroysUnusedAndFailedSpecsAndReportsLeaks) {
  ASSERT_TRUE(CreateSpecRegistry());
  SpecRegistry* registry = SpecRegistry::GetCurrent();
  ASSERT_TRUE(CreateSpecRegistry());
  EXPECT_EQ(SpecRegistry::GetCurrent(), registry);

  bool gone[4] = {};
  auto* unused = new ProbeSpec(KUID(1, 2, 0), &gone[0]);
  auto* failed = new ProbeSpec(KUID(3, 4, 0), &gone[1]);
  auto* held = new ProbeSpec(KUID(7, 8, 3), &gone[2]);
  auto* null = new ProbeSpec(kNullKUID, &gone[3]);
  EXPECT_EQ(null->GetFlags(), KoolthingzSpec::kFlagNullKUID);
  for (ProbeSpec* spec : {unused, failed, held, null}) registry->RegisterSpec(spec);
  failed->AddUse();
  registry->MoveToFailed(failed);
  registry->MoveToFailed(failed);
  EXPECT_EQ(registry->GetFailedCount(), 1u);
  EXPECT_EQ(registry->GetIndexed(KUID(3, 4, 0)), nullptr);

  held->AddUse();
  held->AddUse();
  null->AddUse();
  EXPECT_TRUE(registry->PurgeUnusedSpecs());
  EXPECT_FALSE(registry->PurgeUnusedSpecs());
  EXPECT_TRUE(gone[0]);
  EXPECT_EQ(registry->GetIndexed(KUID(1, 2, 0)), nullptr);
  null->DropUse();

  DeleteSpecRegistry();
  EXPECT_EQ(SpecRegistry::GetCurrent(), nullptr);
  EXPECT_TRUE(gone[1] && gone[3]);
  EXPECT_FALSE(gone[2]);
  const std::string log = LogText();
  EXPECT_NE(log.find("Leaked specs:\n  (   2) - <kuid2:7:8:3> \"\"\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("<kuid:1:2>"), std::string::npos) << log;
  // The leaked spec stays with its holder.
  delete held;
}

TEST_F(SpecRegistryTest, SpecHoldsItsContentDatabaseForItsLifetime) {
  ASSERT_TRUE(InitInstallPaths(temp_.path().c_str()));
  bool gone = false;
  ASSERT_TRUE(CreateSpecRegistry());
  auto* spec = new ProbeSpec(KUID(5, 6, 1), &gone, "local");
  ASSERT_TRUE(spec->HasResourceDatabase());
  KestroResourceDatabase* database = spec->GetResourceDatabase();
  EXPECT_EQ(GetResourceDatabaseUseCount(database), 1u);
  SpecRegistry::GetCurrent()->RegisterSpec(spec);
  DeleteSpecRegistry();
  EXPECT_TRUE(gone);
  EXPECT_EQ(GetResourceDatabaseUseCount(database), 0u);
  EXPECT_EQ(LogText().find("Leaked specs:"), std::string::npos);
}

}  // namespace
