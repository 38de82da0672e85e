// The Asset class and the KestroScriptBase natives, driven from a compiled script under the
// host's context against a scripted daemon that records every request: the filter trees the
// searches send, one Asset object per asset and context, and the contexts' ends in either order.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "core/stream.h"
#include "core/time_date.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_object.h"
#include "gsruntime/object_bridge.h"
#include "gsruntime/script_call.h"
#include "pymclient/filter_builders.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_protocol.h"
#include "pymclient/pym_test_util.h"
#include "qelgfx/bitmap.h"
#include "scripthost/gso_asset.h"
#include "scripthost/kestro_script_context.h"
#include "scripthost/script_probe.h"
#include "scripthost/script_system.h"
#include "scripthost/standard_natives.h"

namespace {

namespace fb = filter_builders;
namespace fc = PymFilterCodes;
namespace pp = PymProtocol;
using GSRuntime::ScriptArgument;
using pym_test::Buf;
using pym_test::Bytes;

// Inner calls that give objects go through locals first.
constexpr const char* kProbe = R"(include "Kestro.gs"
class Probe {
  Asset kept;
  KUID Parse(string text) {
    Soup s = ConstructorsBase.NewSoup();
    s.SetNamedTag("k", text);
    return s.GetNamedTagAsKUID("k");
  }
  Asset Find(string text) {
    KUID k = Parse(text);
    return KestroScriptBase.FindAsset(k);
  }
  public string Search(string text, int local) {
    KUID[] found = KestroScriptBase.SearchAssets(text, local != 0);
    return "" + found.size();
  }
  public string List(string kind, string type) {
    Asset[] found;
    if (type == "") found = KestroScriptBase.GetAssetList(kind);
    else found = KestroScriptBase.GetAssetList(kind, type);
    return "" + found.size();
  }
  public string Updated() {
    Asset[] found = KestroScriptBase.FindUpdatedAssets();
    string names = "";
    int i;
    for (i = 0; i < found.size(); i++) names = names + found[i].GetLocalisedName() + ";";
    return names;
  }
  public string Same(string a, string b) {
    Asset x = Find(a);
    Asset y = Find(b);
    return (x == y) + "," + x.GetLocalisedName() + "," + y.GetLocalisedName();
  }
  public void Keep(string text) { kept = Find(text); }
  public string Kept() { return kept.GetLocalisedName(); }
  public string Answers(string text, float build) {
    Asset a = Find(text);
    Asset parent = a.GetParent();
    Soup one = a.GetConfigSoup();
    Soup two = a.GetConfigSoup();
    Soup rules = a.GetSessionRuleData("SPEED");
    Soup noRules = a.GetSessionRuleData("none");
    KUID roof = a.LookupKUIDTable("ROOF");
    return (parent == null) + "," + a.GetIsFavorite() + "," + a.SupportsKestroBuildVersion(build) +
           "," + (one == two) + "," + one.IsLocked() + "," + two.IsLocked() + "," +
           (rules == null) + "," + (noRules == null) + "," + roof.GetHTMLString();
  }
  public void Lookup(string text, string name) {
    Asset a = Find(text);
    a.LookupKUIDTable(name);
  }
  public void FindIn(string text, string name) {
    Asset a = Find(text);
    a.FindAsset(name);
  }
  public string Image(string text, string name) {
    Asset a = Find(text);
    Image image = a.LoadImage(name);
    if (image == null) return "true";
    return image.GetWidth() + "x" + image.GetHeight();
  }
  public int Vantry() { return KestroScriptBase.QueryVantryAccess(); }
  public string Misc(string text) {
    KUID k = Parse(text);
    KUID clone = KestroScriptBase.CloneKUID(k);
    Soup call = ConstructorsBase.NewSoup();
    call.SetNamedTag("x", 1);
    Soup answer = KestroScriptBase.KestroSystemCall("anything", call);
    KestroScriptBase.Log(null);
    return (clone == k) + "," + answer.IsLocked() + "," + answer.CountTags() + "," +
           KestroScriptBase.OpenURL("x");
  }
  public void Fail(int which) {
    KUID none = null;
    Soup nothing = null;
    if (which == 0) KestroScriptBase.FindAsset(none);
    if (which == 1) KestroScriptBase.KestroSystemCall("x", nothing);
    if (which == 2) KestroScriptBase.OpenURL("");
    if (which == 3) KestroScriptBase.SearchAssets(null, false);
  }
  public string Calendar() {
    return KestroScriptBase.GetSystemYear() + "-" + KestroScriptBase.GetSystemMonth() + "-" +
           KestroScriptBase.GetSystemDate() + " " + KestroScriptBase.GetSystemHour() + ":" +
           KestroScriptBase.GetSystemMinute() + ":" + KestroScriptBase.GetSystemSecond() + " " +
           KestroScriptBase.GetNormalizedSystemTime();
  }
};
)";

const KUID kShed(400300, 1, 0);
const KUID kOldShed(400300, 1, 1);  // resolves to the shed
const KUID kLoco(400300, 2, 0);
const KUID kRoof(400300, 3, 0);

const scratch::Folder& ProbeFolder() {
  // Compiled once for the process; removed as it ends.
  static const std::unique_ptr<scratch::Folder> folder =
      script_probe::Compile("assetprobe.gs", kProbe);
  return *folder;
}

TTimeDate g_now;
void FixedNow(TTimeDate& now) { now = g_now; }

class AssetNativesTest : public pym_test::ScriptedDaemonTest, public script_probe::ProbeCalls {
 protected:
  AssetNativesTest() : ProbeCalls(&KestroScriptContext::Create) {}

  void SetUp() override {
    ScriptedDaemonTest::SetUp();
    server_->SetHandler(
        [this](FakePymServer& s, const FakePymServer::Frame& f) { return Answer(s, f); });
    probeClass_ = script_probe::SetUp(ProbeFolder(), "assetprobe.gsl");
    ASSERT_TRUE(probe_.Create(probeClass_));
  }
  void TearDown() override {
    probe_.Destroy();
    script_probe::TearDown();
    TTimeDate::SetClock(nullptr);
    ScriptedDaemonTest::TearDown();
  }
  // The scripted database: the shed (also under an old KUID), the loco and the roof.
  bool Answer(FakePymServer& s, const FakePymServer::Frame& f) {
    Buf in(f.payload);
    Buf out;
    switch (f.opcode) {
      case pp::kOpResolveKuid: {
        const KUID kuid = KUID::Read(in.s);
        KUID::Write(kuid == kOldShed ? kShed : kuid, out.s);
        break;
      }
      case pp::kOpLatestVersion: {
        const KUID kuid = KUID::Read(in.s);
        KUID::Write(KUID(kuid.userId, kuid.contentId, kuid.version + 1), out.s);
        break;
      }
      case pp::kOpGetAssetInfo: {
        const KUID kuid = KUID::Read(in.s);
        PymAssetInfo info;
        info.asset = kuid;
        info.name = kuid == kShed ? "Shed" : kuid == kLoco ? "Loco" : "";
        info.rating = rating_;
        info.build = 3.499f;
        info.found = kuid == kShed || kuid == kLoco ? 1 : 0;
        info.Write(out.s);
        break;
      }
      case pp::kOpGetConfigSoup: {
        Soup config;
        Buf text(Bytes(config_.begin(), config_.end()));
        Soup::ParseText(config, text.s, true);
        WriteSoup(out.s, config);
        break;
      }
      case pp::kOpSearchAssets:
        out.s.WriteU32(u32(searchReply_.size()));
        for (const KUID& kuid : searchReply_) KUID::Write(kuid, out.s);
        break;
      case pp::kOpOpenAsset:
        out.s.WriteU64(assetHandle_);
        out.s.WritePString("");
        out.s.WriteString(assetFolder_.path());
        break;
      case pp::kOpReleaseAsset:
        break;
      case pp::kOpVantryAccess:
        out.s.WriteU8(1);
        out.s.WriteU32(vantryLevel_);
        break;
      default:
        return false;
    }
    return s.SendReply(f.id, pym_test::Contents(out.s));
  }

  std::vector<FakePymServer::Frame> FramesOf(u32 opcode) {
    std::vector<FakePymServer::Frame> frames;
    for (auto& f : server_->GetFrames()) {
      if (f.opcode == opcode) frames.push_back(f);
    }
    return frames;
  }
  // The filter trees of the searches sent so far, in order.
  std::vector<std::unique_ptr<PymFilterElement>> Searches() {
    std::vector<std::unique_ptr<PymFilterElement>> trees;
    for (const auto& f : FramesOf(pp::kOpSearchAssets)) {
      Buf in(f.payload);
      trees.push_back(ReadFilterElement(in.s));
    }
    return trees;
  }

  static ScriptArgument S(const char* text) { return ScriptArgument::String(text); }

  std::string config_ =
      "rule-data {\n  speed {\n    limit 5\n  }\n}\n"
      "optional-kuid-table {\n  roof <kuid:400300:3>\n}\n";
  std::vector<KUID> searchReply_;
  u8 rating_ = 255;
  u32 vantryLevel_ = 0;
  u64 assetHandle_ = 7;
  scratch::Folder assetFolder_;
};

TEST_F(AssetNativesTest, SearchesSendTheFilterTreesOfTheirNatives) {
  const auto listing = [](const char* categories) {
    return std::make_tuple(
        fb::Flag(fc::kFlagListingPrivilege), fb::Group(true, fb::Flag(fc::kFlagObsolete)),
        fb::Flag(fc::kFlagCompatible), fb::Str(fc::kStringCategoryList, categories));
  };
  const auto plain = [&](const char* categories) {
    auto [a, b, c, d] = listing(categories);
    return fb::Group(false, std::move(a), std::move(b), std::move(c), std::move(d));
  };
  const auto local = [&](const char* categories) {
    auto [a, b, c, d] = listing(categories);
    return fb::Group(false, fb::Flag(fc::kFlagLocal), fb::Flag(fc::kFlagLocallyAvailable),
                     fb::Flag(fc::kFlagLocallyEnabled), std::move(a), std::move(b), std::move(c),
                     std::move(d));
  };
  searchReply_ = {kShed, kLoco};
  EXPECT_EQ(Text("Search", {S("abc"), ScriptArgument::Int(0)}), "2");
  EXPECT_EQ(Text("Search", {S("tr;-loco"), ScriptArgument::Int(1)}), "2");
  EXPECT_EQ(Text("List", {S("Scenery"), S("")}), "2");
  EXPECT_EQ(Text("List", {S("traincar"), S("locomotive")}), "2");
  std::vector<std::unique_ptr<PymFilterElement>> expected;
  expected.push_back(plain("ABC"));
  expected.push_back(local("TR;-LOCO"));
  expected.push_back(local("SY;SCEN"));
  expected.push_back(local("TR;TV;LOCO"));
  const auto sent = Searches();
  ASSERT_EQ(sent.size(), expected.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_TRUE(FilterElementsEqual(sent[i].get(), expected[i].get())) << i;
  }

  // A kind the kind table does not know sends nothing and gives an empty array.
  const std::string logged = scratch::CaptureLog([&] {
    EXPECT_EQ(Text("List", {S("NoSuchKind"), S("")}), "0");
  });
  EXPECT_NE(logged.find("World.GetAssetList> warning: found zero assets of type 'nosuchkind'"),
            std::string::npos)
      << logged;
  EXPECT_EQ(Searches().size(), expected.size());
}

TEST_F(AssetNativesTest, UpdatedAssetsAreSearchedByTheirNewestVersions) {
  searchReply_ = {kShed, kLoco};
  EXPECT_EQ(Text("Updated"), "Shed;Loco;");
  const auto sent = Searches();
  ASSERT_EQ(sent.size(), 2u);
  const auto outOfDate =
      fb::Group(false, fb::Flag(fc::kFlagLocal), fb::Group(true, fb::Flag(fc::kFlagObsolete)),
                fb::Group(true, fb::Flag(fc::kFlagUpToDate)));
  EXPECT_TRUE(FilterElementsEqual(sent[0].get(), outOfDate.get()));
  const auto newest = fb::Group(false, fb::Assets({KUID(400300, 1, 1), KUID(400300, 2, 1)}),
                                fb::Flag(fc::kFlagCompatible));
  EXPECT_TRUE(FilterElementsEqual(sent[1].get(), newest.get()));

  // Nothing out of date: the second search asks with an empty set.
  searchReply_.clear();
  EXPECT_EQ(Text("Updated"), "");
  const auto again = Searches();
  ASSERT_EQ(again.size(), 4u);
  const auto empty = fb::Group(false, fb::Assets({}), fb::Flag(fc::kFlagCompatible));
  EXPECT_TRUE(FilterElementsEqual(again[3].get(), empty.get()));
}

TEST_F(AssetNativesTest, AnAssetIsOneObjectPerContextAlsoUnderAnOldKUID) {
  EXPECT_EQ(Text("Same", {S("<kuid2:400300:1:1>"), S("<kuid:400300:1>")}), "true,Shed,Shed");
  EXPECT_EQ(Text("Same", {S("<kuid2:400300:1:1>"), S("<kuid:400300:2>")}), "false,Shed,Loco");
  // Each KUID resolved once, each record asked once.
  EXPECT_EQ(FramesOf(pp::kOpResolveKuid).size(), 2u);
  EXPECT_EQ(FramesOf(pp::kOpGetAssetInfo).size(), 2u);
}

// Two contexts hold objects of the same assets with their records and configurations; each
// resolves for itself, and either may end first.
TEST_F(AssetNativesTest, TwoContextsKeepTheirOwnAssetsAndEndInEitherOrder) {
  const auto prepare = [this](GSRuntime::ScriptObjectHolder& first,
                              GSRuntime::ScriptObjectHolder& second) {
    const size_t resolvedBefore = FramesOf(pp::kOpResolveKuid).size();
    for (GSRuntime::ScriptObjectHolder* holder : {&first, &second}) {
      ASSERT_EQ(Text(*holder, "Keep", {S("<kuid2:400300:1:1>")}), "<null>");
      ASSERT_EQ(Text(*holder, "Answers", {S("<kuid2:400300:1:1>"), ScriptArgument::Float(1.0f)})
                    .substr(0, 4),
                "true");
    }
    EXPECT_EQ(FramesOf(pp::kOpResolveKuid).size(), resolvedBefore + 2);
    const GSRuntime::GSHandle a = GSOAsset::Wrap(first.Context(), kShed);
    const GSRuntime::GSHandle b = GSOAsset::Wrap(second.Context(), kShed);
    EXPECT_FALSE(GSRuntime::ObjectBridge::SameObject(a, b));
    GSRuntime::ObjectBridge::ReleaseIfSet(a);
    GSRuntime::ObjectBridge::ReleaseIfSet(b);
  };
  script_probe::EndInEitherOrder(
      probeClass_, &KestroScriptContext::Create, prepare,
      [](GSRuntime::ScriptObjectHolder& late) { EXPECT_EQ(Text(late, "Kept"), "Shed"); });
}

TEST_F(AssetNativesTest, AssetAnswersFromTheRecordAndTheConfiguration) {
  // Build 3.499 against 3.5: 349 < 350.
  EXPECT_EQ(Text("Answers", {S("<kuid:400300:1>"), ScriptArgument::Float(3.5f)}),
            "true,false,false,false,true,true,false,true,<kuid:400300:3>");
  for (const char* method : {"Lookup", "FindIn"}) {
    EXPECT_EQ(Failure(method, {S("<kuid:400300:1>"), S("Door")}),
              "Asset.LookupKUIDTable> unable to find 'door' in kuid-table\n")
        << method;
  }
  for (const auto& [rating, favourite] :
       {std::pair{3, "false"}, {4, "true"}, {5, "true"}, {6, "false"}}) {
    rating_ = u8(rating);
    GSRuntime::ScriptObjectHolder fresh(&KestroScriptContext::Create);
    ASSERT_TRUE(fresh.Create(probeClass_));
    const std::string answers =
        Text(fresh, "Answers", {S("<kuid:400300:1>"), ScriptArgument::Float(3.49f)});
    // Build 3.499 against 3.49: 349 >= 349.
    EXPECT_EQ(answers.rfind(std::string("true,") + favourite + ",true,", 0), 0u)
        << rating << " " << answers;
  }
}

TEST_F(AssetNativesTest, ImageNamesOutsideTheAssetAreRefusedBeforeAnyRequest) {
  for (const char* name : {"/etc/passwd", "../x.tga", "a/../../b.tga", "a\\..\\b.tga", "C:x.tga"}) {
    EXPECT_EQ(Text("Image", {S("<kuid:400300:1>"), S(name)}), "true") << name;
  }
  EXPECT_TRUE(FramesOf(pp::kOpOpenAsset).empty());
}

TEST_F(AssetNativesTest, ImagesLoadFromTheAssetFolderByTheLowerCasedName) {
  Qel::Bitmap picture;
  ASSERT_TRUE(picture.Create(3, 2, Qel::Bitmap::kARGB));
  assetFolder_.Put("Pics/placeholder");
  ASSERT_TRUE(picture.SavePng(assetFolder_.At("Pics/Shed.png").c_str()));
  assetFolder_.Put("Pics/broken.png", "not an image");
  EXPECT_EQ(Text("Image", {S("<kuid:400300:1>"), S("PICS/Shed.PNG")}), "3x2");
  EXPECT_EQ(Text("Image", {S("<kuid:400300:1>"), S("pics/missing.png")}), "true");
  EXPECT_EQ(Text("Image", {S("<kuid:400300:1>"), S("pics/broken.png")}), "true");
  // Every open is released again.
  EXPECT_EQ(FramesOf(pp::kOpOpenAsset).size(), FramesOf(pp::kOpReleaseAsset).size());
  assetHandle_ = ~u64(0);
  EXPECT_EQ(Text("Image", {S("<kuid:400300:1>"), S("pics/shed.png")}), "true") << "no handle";
}

TEST_F(AssetNativesTest, EveryRepositoryAccessLevelIsPushed) {
  for (u32 level : {0u, 6u, 7u, 9u}) {
    vantryLevel_ = level;
    i32 pushed = -1;
    ASSERT_TRUE(probe_.Call("Vantry", {}, &pushed));
    EXPECT_EQ(pushed, i32(level));
  }
}

TEST_F(AssetNativesTest, HostNativesCheckTheirParameters) {
  EXPECT_EQ(Text("Misc", {S("<kuid:1:2>")}), "true,true,0,false");
  const char* const expected[] = {"KestroScriptBase.FindAsset> null object at parameter 1",
                                  "KestroScriptBase.KestroSystemCall> null object at parameter 2",
                                  "KestroScriptBase.OpenURL> empty string at parameter 1",
                                  "KestroScriptBase.SearchAssets> null string at parameter 1"};
  for (int which = 0; which < 4; ++which) {
    EXPECT_EQ(Failure("Fail", {ScriptArgument::Int(which)}), expected[which]) << which;
  }
}

TEST_F(AssetNativesTest, TheCalendarReadsTheInjectedLocalTime) {
  const struct {
    u32 hour, minute, second;
    f32 fraction;
  } times[] = {{12, 0, 0, 1.0f}, {0, 0, 0, 0.5f}, {6, 0, 0, 0.75f}, {18, 0, 0, 0.25f}};
  for (const auto& t : times) {
    EXPECT_EQ(KestroScriptContext::NormalizedTime(t.hour, t.minute, t.second), t.fraction);
  }
  EXPECT_NEAR(KestroScriptContext::NormalizedTime(12, 0, 1), 1.0f / 86400.0f, 1e-6f);
  g_now.SetDate(2011, 7, 14);
  g_now.SetTime(12, 0, 0);
  TTimeDate::SetClock(FixedNow);
  EXPECT_EQ(Text("Calendar"), "2011-7-14 12:0:0 1.000000");
}

}  // namespace
