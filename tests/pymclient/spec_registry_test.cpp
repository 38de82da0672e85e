#include "pymclient/spec_registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "pymclient/asset_change_hook.h"
#include "pymclient/asset_spec_lookup.h"
#include "pymclient/install_paths.h"
#include "pymclient/kestro_base_spec.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_test_util.h"
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
  // The leaked asset specification stays with its holder.
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
  // The package checksum's words: the second prints first.
  const u8 words[] = {1, 0, 0, 0, 2, 0, 0, 0, 9};
  const PackageChecksum sum = HashWordBlock(words, sizeof words);
  EXPECT_EQ(FormatIdPair(sum.hash, sum.length).Std(), "8:8");
  EXPECT_EQ(FormatIdPair(1, 2).Std(), "2:1");
}

// Lookups against a daemon that resolves every KUID to itself and names the folders below.
class SpecLookupTest : public pym_test::ScriptedDaemonTest {
 protected:
  void SetUp() override {
    pym_test::ScriptedDaemonTest::SetUp();
    const std::pair<const char*, const char*> assets[] = {
        {"good",
         "kuid <kuid:500:1>\nkind \"scenery\"\nkestro-build 2.4\nasset-filename \"Loco\"\n"},
        {"broken", "kind \"scenery\"\n"},  // no KUID: never a usable asset specification
        {"probe", "kuid <kuid:500:4>\nkind \"PROBE\"\n"}};
    for (const auto& [folder, config] : assets) {
      fs::create_directories(root_ + "/UserData/local/" + folder);
      std::ofstream(root_ + "/UserData/local/" + folder + "/config.txt") << config;
    }
    server_->SetHandler([this](FakePymServer& s, const FakePymServer::Frame& f) {
      if (f.opcode == PymProtocol::kOpResolveKuid) return s.SendReply(f.id, f.payload);
      if (f.opcode != PymProtocol::kOpGetAssetLocation) return false;
      pym_test::Buf in(f.payload);
      KUID kuid;
      in.s.ReadKUID(kuid);
      const char* folder = kuid.contentId == 1   ? "good"
                           : kuid.contentId == 3 ? "broken"
                           : kuid.contentId == 4 ? "probe"
                                                 : nullptr;
      pym_test::Buf out;
      out.s.WritePString(Qel::PString("local"));
      out.s.WriteString(folder ? Qel::String(root_.c_str()) + "/UserData/local/" + folder : "");
      return s.SendReply(f.id, pym_test::Contents(out.s));
    });
    SpecRegistry::GetCurrent()->AddFactory(&probes_);
  }
  size_t Count(u32 opcode) {
    size_t n = 0;
    for (const auto& f : server_->GetFrames()) n += f.opcode == opcode ? 1 : 0;
    return n;
  }

  struct ProbeFactory : KTSpecFactory {
    ProbeFactory() : KTSpecFactory(Qel::PString("probe")) {}
    KoolthingzSpec* Create(const KUID& kuid, const Qel::String*, const Qel::String*,
                           const Qel::PString&, const Soup&) override {
      return new ProbeSpec(kuid, &destroyed);
    }
    bool destroyed = false;
  } probes_;
};

TEST_F(SpecLookupTest, LoadsCachesRemembersFailuresAndPurges) {
  const KUID good(500, 1, 0), noFolder(500, 2, 0), broken(500, 3, 0), probe(500, 4, 0);
  const struct {
    const char* what;
    KUID kuid;
    SpecPredicate predicate;
    bool found;
    size_t resolves, locates;  // requests 0x1A and 0x17 so far
  } steps[] = {
      {"null KUID", kNullKUID, nullptr, false, 0, 0},
      {"loaded", good, nullptr, true, 1, 1},
      {"live and cached", good, nullptr, true, 1, 1},
      {"no folder", noFolder, nullptr, false, 2, 2},
      {"no folder remembered", noFolder, nullptr, false, 2, 2},
      {"invalid", broken, nullptr, false, 3, 3},
      {"invalid remembered", broken, nullptr, false, 3, 3},
      {"refused by kind", probe, &IsKestroBaseSpec, false, 4, 4},
      {"refused spec stays live", probe, nullptr, true, 5, 4},
  };
  SpecPointer held;
  for (const auto& step : steps) {
    FindAssetSpec(held, step.kuid, step.predicate);
    EXPECT_EQ(bool(held), step.found) << step.what;
    EXPECT_EQ(Count(PymProtocol::kOpResolveKuid), step.resolves) << step.what;
    EXPECT_EQ(Count(PymProtocol::kOpGetAssetLocation), step.locates) << step.what;
  }
  SpecRegistry* registry = SpecRegistry::GetCurrent();
  EXPECT_EQ(registry->GetFailedCount(), 1u);

  SpecPointer loco;
  FindKestroBaseSpec(loco, good);
  ASSERT_TRUE(loco);
  EXPECT_EQ(std::string(loco->GetAssetFileName().CStr()), "loco");
  EXPECT_EQ(std::string(loco->BuildPath("Sub/X.GS").CStr()),
            root_ + "/UserData/local/good/sub/x.gs");
  const SafePointer<KoolthingzSpec> watch(loco.Get());
  ReleaseSpecPointer(loco);
  EXPECT_TRUE(PurgeUnusedSpecs());
  EXPECT_EQ(watch.Get(), nullptr);
  EXPECT_FALSE(probes_.destroyed);  // still held
  FindAssetSpec(loco, good, nullptr);
  EXPECT_TRUE(loco);
  EXPECT_EQ(Count(PymProtocol::kOpResolveKuid), 5u);
  EXPECT_EQ(Count(PymProtocol::kOpGetAssetLocation), 5u);

  // A commit makes the next lookup load the asset afresh.
  PymNotifyAssetChanged(good);
  SpecPointer fresh;
  FindAssetSpec(fresh, good, nullptr);
  EXPECT_NE(fresh.Get(), loco.Get());
  EXPECT_EQ(Count(PymProtocol::kOpResolveKuid), 6u);
}

}  // namespace
