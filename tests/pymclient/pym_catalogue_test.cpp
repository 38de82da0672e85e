// The request catalogue, the asset-information record and creator names against a scripted
// daemon: the failure value of every request, the handle rules and the record's reply form.
#include "pymclient/pym_catalogue.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "assetdata/soup.h"
#include "pymclient/creator_names.h"
#include "pymclient/pym_asset_handle.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_task.h"
#include "pymclient/pym_test_util.h"

namespace {

using namespace pym_test;  // NOLINT(build/namespaces)
namespace pp = PymProtocol;

const KUID kAsset(1234, 56, 2);

class PymCatalogueTest : public ScriptedDaemonTest {
 protected:
  // Creator names are cached for the whole process: each test asks the daemon afresh.
  void SetUp() override {
    CreatorNameCache::Get().ClearRecords();
    ScriptedDaemonTest::SetUp();
  }
  // Every request finds the connection closed under it.
  void CloseAtOnce() {
    server_->SetHandler([](FakePymServer& s, const FakePymServer::Frame&) {
      s.CloseConnections();
      return true;
    });
  }
  Bytes InfoReply(const PymAssetInfo& info) {
    Buf out;
    info.Write(out.s);
    return Contents(out.s);
  }
};

TEST_F(PymCatalogueTest, EveryRequestGivesItsFailureValueWhenTheDaemonDrops) {
  CloseAtOnce();
  const struct {
    const char* name;
    std::function<bool()> holds;
  } cases[] = {
      {"config soup", [] { return PymGetAssetConfigSoup(kAsset).IsNull(); }},
      {"location",
       [] {
         Qel::PString name("x");
         Qel::File::Path path("y");
         return !PymGetAssetLocation(kAsset, name, path, false) && name.IsEmpty() && path.IsEmpty();
       }},
      {"resolve", [] { return PymResolveKUID(kAsset) == kAsset; }},
      {"latest", [] { return PymGetLatestAssetVersion(kAsset) == kAsset; }},
      {"description", [] { return PymGetAssetDescription(kAsset).IsEmpty(); }},
      {"thumbnail",
       [] {
         Qel::PString name("kept");
         Qel::File::Path path("kept");
         return PymGetAssetThumbnailPath(kAsset, 240, name, path) == 0 && name == "kept";
       }},
      {"delete", [] { return !PymDeleteAsset(kAsset, true, nullptr); }},
      {"dependencies of list",
       [] {
         std::vector<KUID> out{kAsset};
         return PymGetDependenciesOfList({kAsset}, out) && out.size() == 1;
       }},
      {"save to cdp",
       [] {
         const Soup s = PymSaveAssetToCDP(kAsset, nullptr, 3);
         return s.CountTags() == 1 && s.GetNamedTag("compression") == Qel::PString("LZSS");
       }},
      {"generate kuid", [] { return PymGenerateKUID().IsNull(); }},
      {"vantry access",
       [] {
         u32 level = 9;
         return !PymQueryVantryAccess(&level) && level == 0;
       }},
      {"texture convert", [] { return PymQueryTextureConvertSetting(); }},
      {"idle reached", [] { return !PymIsIdleReached(); }},
      {"online profile",
       [] {
         const PymOnlineProfile p = PymGetOnlineProfile();
         return p.profileName.IsEmpty() && p.firstPort == 0 && p.secondPort == 0;
       }},
      {"auth ticket", [] { return PymGetOnlineAuthTicket().IsEmpty(); }},
      {"list builds", [] { return PymListBuilds().IsEmpty(); }},
      {"repair progress",
       [] {
         f32 progress = 0;
         Qel::String status;
         return !PymGetRepairProgress(progress, status);
       }},
      {"open", [] { return PymOpenAsset(kAsset, true, nullptr).IsEmpty(); }},
      {"create", [] { return PymCreateAsset(KUID::Null(), true, "").IsEmpty(); }},
      {"asset info",
       [] {
         PymAssetInfo info;
         return !PymGetAssetInfo(kAsset, info, PymAssetInfo::kPartAll);
       }},
      {"wrappers",
       [] {
         return GetAssetName(kAsset).IsEmpty() && GetAssetKeywords(kAsset).IsEmpty() &&
                GetAssetCategoryEra(kAsset).IsEmpty() && GetAssetCategoryRegion(kAsset).IsEmpty() &&
                !IsAssetBuiltIn(kAsset) && IsAssetLocallyModified(kAsset) &&
                IsAssetInstalled(kAsset) && IsAssetFaulty(kAsset) && IsAssetPrebuilt(kAsset) &&
                HasAssetMissingDependencies(kAsset, false);
       }},
      {"script info",
       [] {
         Qel::PString className;
         Qel::File::Path path;
         return !LoadAssetScriptInfo(kAsset, className, path);
       }},
  };
  for (const auto& c : cases) EXPECT_TRUE(c.holds()) << c.name;
}

TEST_F(PymCatalogueTest, HandlesFollowTheReferenceRulesAndOverlongTextIsRefused) {
  ReplyWith(pp::kOpOpenAsset, Bytes(8, 0xFF));
  EXPECT_TRUE(PymOpenAsset(kAsset, true, nullptr).IsEmpty()) << "the all-ones handle is none";

  Buf open;
  open.s.WriteU64(7);
  open.s.WritePString("editing");
  open.s.WriteString("/u/editing/a");
  ReplyWith(pp::kOpOpenAsset, Contents(open.s));
  PymAssetRef ref = PymOpenAsset(kAsset, true, nullptr);
  ASSERT_FALSE(ref.IsEmpty());
  EXPECT_EQ(ref.Get()->GetKUID(), kAsset);
  {
    PymAssetRef copy = ref;
    EXPECT_EQ(ref.Get()->GetReferenceCount(), 2u);
  }
  Qel::PString name;
  Qel::File::Path path;
  EXPECT_TRUE(PymGetOpenAssetPath(name, path, ref));
  EXPECT_EQ(path.GetText(), Qel::String("/u/editing/a"));

  ReplyWith(pp::kOpCommitAsset, Bytes{0, 0});
  EXPECT_FALSE(PymCommitAsset(ref, 0, nullptr, nullptr));
  EXPECT_FALSE(ref.Get()->IsPathKnown()) << "a refused commit still forgets the path";
  EXPECT_TRUE(ref.IsEdit());

  ReplyWith(pp::kOpRevertAsset, Bytes{1});
  EXPECT_TRUE(PymRevertAsset(ref, nullptr));
  EXPECT_TRUE(ref.IsEmpty()) << "revert takes the holder's reference";
  PymCloseAsset(ref);
  ASSERT_TRUE(server_->WaitForFrames(1));
  int releases = 0;
  for (const auto& f : server_->GetFrames()) releases += f.opcode == pp::kOpReleaseAsset;
  EXPECT_EQ(releases, 1) << "one release, however often the holder is closed";

  // An overlong text fails the request instead of sending length zero.
  const size_t sent = server_->GetFrames().size();
  PymSetAssetKeywords(kAsset, Qel::String(std::string(70000, 'k')));
  EXPECT_TRUE(PymGetAssetDescription(kAsset).IsEmpty());
  ASSERT_TRUE(server_->WaitForFrames(sent + 1));
  for (const auto& f : server_->GetFrames()) EXPECT_NE(f.opcode, pp::kOpSetKeywords);
}

TEST_F(PymCatalogueTest, InfoRecordReadsItsReplyAndAnswersTheWrappers) {
  PymAssetInfo sent;
  sent.asset = kAsset;
  sent.name = "Blue Coach";
  sent.category = "TV";
  sent.SetFlag(PymAssetInfo::kFlagInstalled, true);
  sent.SetFlag(PymAssetInfo::kFlagFaulty, false);
  sent.rating = 5;
  sent.build = 3.5f;
  sent.found = 1;
  const Bytes reply = InfoReply(sent);
  ReplyWith(pp::kOpGetAssetInfo, reply);
  PymAssetInfo got;
  ASSERT_TRUE(PymGetAssetInfo(kAsset, got, PymAssetInfo::kPartAll));
  EXPECT_EQ(got.name, Qel::String("Blue Coach"));
  EXPECT_TRUE(got.IsFavourite());
  EXPECT_FLOAT_EQ(got.build, 3.5f);
  EXPECT_EQ(FrameOf(pp::kOpGetAssetInfo).payload.size(), 12u);
  EXPECT_FALSE(IsAssetFaulty(kAsset));
  EXPECT_TRUE(IsAssetInstalled(kAsset));
  EXPECT_FALSE(HasAssetMissingDependencies(kAsset, true));

  ReplyWith(pp::kOpGetAssetInfo, Bytes(reply.begin(), reply.end() - 1));
  PymAssetInfo truncated;
  EXPECT_FALSE(PymGetAssetInfo(kAsset, truncated, PymAssetInfo::kPartAll));
  EXPECT_TRUE(IsAssetFaulty(kAsset)) << "a truncated reply is a missing asset";
}

TEST_F(PymCatalogueTest, CreatorNamesAskTheDaemonOnceAndLowerCase) {
  const struct {
    u32 id;
    const char* name;
  } fixed[] = {
      {0, "-"}, {0xFFFFFFFEu, "unknown"}, {u32(-5), "Olbek"}, {7, "Olbek"}, {101, "Olbek"}};
  for (const auto& f : fixed) EXPECT_EQ(GetCreatorName(f.id), Qel::PString(f.name)) << f.id;
  EXPECT_TRUE(server_->GetFrames().empty()) << "fixed names need no request";

  Buf reply;
  reply.s.WriteU32(77);
  reply.s.WritePString("Mixed Case");
  ReplyWith(pp::kOpCreatorName, Contents(reply.s));
  EXPECT_EQ(GetCreatorName(5000), Qel::PString("mixed case"));
  EXPECT_EQ(GetCreatorName(5000), Qel::PString("mixed case"));
  CloseAtOnce();
  EXPECT_TRUE(GetCreatorName(5001).IsEmpty());
  EXPECT_TRUE(GetCreatorName(5001).IsEmpty());
  int asked = 0;
  for (const auto& f : server_->GetFrames()) asked += f.opcode == pp::kOpCreatorName;
  EXPECT_EQ(asked, 2) << "each id is asked once, a failure included";
}

TEST(PymAssetScriptInfo, ScriptPathsStayInsideTheAsset) {
  const struct {
    const char* script;
    const char* className;
    bool ok;
    const char* path;
    const char* cls;
  } cases[] = {
      {"Scripts/Loco.GSL", "", true, "scripts/loco.gs", "Scripts/Loco"},
      {"tender", "TenderClass", true, "tender.gs", "TenderClass"},
      {"/etc/passwd", "X", false, "", ""},
      {"../other/evil", "X", false, "", ""},
      {"a\\..\\..\\b", "X", false, "", ""},
      {"", "X", false, "", ""},
  };
  for (const auto& c : cases) {
    Soup config;
    config.EnsureContainer();
    config.SetNamedTag("script", c.script);
    if (*c.className) config.SetNamedTag("class", c.className);
    Qel::PString cls;
    Qel::File::Path path;
    EXPECT_EQ(ReadAssetScriptInfo(config, cls, path), c.ok) << c.script;
    if (!c.ok) continue;
    EXPECT_EQ(path.GetText(), Qel::String(c.path)) << c.script;
    EXPECT_EQ(cls, Qel::PString(c.cls)) << c.script;
  }
}

TEST(PymTaskFreeSpace, HundredMebibytesIsEnough) {
  EXPECT_TRUE(IsEnoughFreeSpace(104857600));
  EXPECT_FALSE(IsEnoughFreeSpace(104857599));
  EXPECT_TRUE(IsEnoughFreeSpace((u64(5) << 32) | 1));
  PymTaskThread thread;
  EXPECT_FALSE(thread.HasFreeDiskSpace("/no/such/folder"));
  PymTask neverStarted;
}

}  // namespace
