// The store's searches run over laid-out columns; every answer must be the one the record-by-
// record evaluator gives, on filters drawn at random and after each kind of change.
#include "daemon/search_index.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "daemon/asset_store.h"
#include "daemon/daemon_test_util.h"
#include "pymclient/pym_filter_codes.h"
#include "support/scratch_folder.h"

namespace PymDaemonSrv {
namespace {

using namespace daemon_test;
namespace fc = PymFilterCodes;

const char* const kNames[] = {"Red Car", "Blue Loco", "cargo wagon", "Signal Box", "CAR", ""};
const char* const kCategories[] = {"TR;CAR", "TR;LOCO", "BR", "BS;TR", "", "TR;CAR;TV"};
const char* const kLists[] = {"", "1950s", "1950s;1960s", "AU, US", "red,Freight", "us"};
const char* const kTerms[] = {"car",     "CAR", "o",     "",   "red car 3",   "TR", "TR;-LOCO",
                              "LOCO|BR", "-TR", "1950s", "us", "freight;red", "au", "x"};

class Fixture {
 public:
  explicit Fixture(u32 seed) : random_(seed) {
    EXPECT_TRUE(store_.Open(folder_.path(), &error_)) << error_;
    std::vector<ScannedAsset> assets(300);
    for (size_t i = 0; i < assets.size(); ++i) {
      AssetRecord& r = assets[i].record;
      // Several versions of some assets, so that the derived flags differ between them.
      r.kuid = KUID(i32(100 + i % 7), i32(i / 3), i32(i % 3));
      r.folder = "local";
      r.path = "a" + std::to_string(i);
      r.name = std::string(Pick(kNames)) + " " + std::to_string(i % 11);
      r.nameLower = r.name;
      for (char& c : r.nameLower) c = char(std::tolower(u8(c)));
      r.categories = Pick(kCategories);
      r.era = Pick(kLists);
      r.region = Pick(kLists);
      r.keywords = Pick(kLists);
      r.rating = Below(3) == 0 ? 255 : i32(Below(6));
      r.installTime = 1000 + Below(5);
      r.modifyTime = 0xFFFFFFF0ull + Below(40);
      r.flags = u32(random_()) & ((1u << fc::kFlagCount) - 1);
      if (Below(5) == 0) r.dependencies.push_back(KUID(i32(100 + Below(7)), i32(Below(120)), 0));
      kuids_.push_back(r.kuid);
    }
    const std::lock_guard<OwnedMutex> change(store_.ChangeMutex());
    EXPECT_TRUE(store_.RecordChanges(assets, KUID(), &error_)) << error_;
    std::sort(kuids_.begin(), kuids_.end());
  }

  AssetStore& Store() { return store_; }
  std::vector<KUID>& Kuids() { return kuids_; }

  // A filter of up to `depth` levels, drawing every element kind (unknown kinds too).
  std::vector<u8> RandomFilter(int depth) {
    switch (Below(depth > 0 ? 8 : 6)) {
      case 0:
        return Str(Below(fc::kStringKindCount + 1), Pick(kTerms), Below(4) == 0);
      case 1:
        return Flag(Below(fc::kFlagCount + 2));
      case 2:
        return Int(Below(fc::kIntKindCount + 1), i32(Below(8)) - 1 + (Below(2) ? 100 : 0),
                   i32(Below(8)) + (Below(2) ? 102 : 0), Below(2), Below(2));
      case 3:
        return Time(Below(fc::kTimestampKindCount + 1), Below(2) ? 1000 + Below(4) : 0xFFFFFFF0ull,
                    Below(2) ? 1003 : 0xFFFFFFFFull + Below(20), Below(2), Below(2));
      case 4: {
        std::vector<KUID> ids;
        for (u32 n = Below(5); n > 0; --n) {
          ids.push_back(Below(4) ? kuids_[Below(u32(kuids_.size()))] : KUID(1, 2, 3));
        }
        return Ids(Below(2) ? fc::kAssetIDAssetId : fc::kAssetIDProfileMap, ids);
      }
      case 5:
        return Str(fc::kStringCategoryList, Pick(kTerms));
      default: {
        std::vector<std::vector<u8>> kids;
        for (u32 n = Below(4); n > 0; --n) kids.push_back(RandomFilter(depth - 1));
        return Group(Below(2), Below(3) == 0, kids);
      }
    }
  }

  // The answer of the plain scan: every record through the evaluator, in KUID order.
  std::vector<KUID> Scan(const FilterTree* filter) {
    std::vector<KUID> out;
    FilterEvaluator evaluator;
    for (const KUID& kuid : kuids_) {
      AssetRecord r;
      EXPECT_TRUE(store_.GetAsset(kuid, r));
      if (evaluator.Matches(filter, r)) out.push_back(kuid);
    }
    return out;
  }

  void ExpectSameAsScan(int filters) {
    EXPECT_EQ(store_.Search(nullptr), kuids_);
    for (int i = 0; i < filters; ++i) {
      const std::vector<u8> bytes = Bytes().Append(RandomFilter(3)).data;
      const FilterParseResult f = ParseFilterPayload(bytes.data(), bytes.size());
      ASSERT_TRUE(f.ok) << f.error;
      ASSERT_EQ(store_.Search(f.root.get()), Scan(f.root.get())) << "filter " << i;
    }
  }

  u32 Below(u32 n) { return u32(random_() % n); }

 private:
  template <size_t N>
  const char* Pick(const char* const (&list)[N]) {
    return list[Below(N)];
  }

  scratch::Folder folder_;
  std::string error_;
  AssetStore store_;
  std::mt19937 random_;
  std::vector<KUID> kuids_;
};

TEST(SearchIndex, RandomFiltersFindWhatTheScanFinds) {
  for (u32 seed = 1; seed <= 3; ++seed) {
    Fixture f(seed);
    f.ExpectSameAsScan(400);
  }
}

// Each change on its own, each after a search has laid the columns out.
TEST(SearchIndex, FollowsEveryKindOfChange) {
  Fixture f(7);
  std::string error;
  const auto finds = [&](const std::vector<u8>& filter, const KUID& kuid) {
    const FilterParseResult r = ParseFilterPayload(filter.data(), filter.size());
    const std::vector<KUID> found = f.Store().Search(r.root.get());
    return std::find(found.begin(), found.end(), kuid) != found.end();
  };
  f.ExpectSameAsScan(20);
  KUID rated;
  for (const KUID& kuid : f.Kuids()) {
    AssetRecord r;
    if (f.Store().GetAsset(kuid, r) && r.rating != AssetStore::kFavouriteRating) rated = kuid;
  }
  ASSERT_TRUE(f.Store().SetFavourite(rated, true));
  EXPECT_TRUE(finds(Int(fc::kIntLocalRating, 5, 5, true, true), rated));
  f.ExpectSameAsScan(100);

  const KUID tagged = f.Kuids()[9];
  ASSERT_TRUE(f.Store().SetKeywords(tagged, "changed;freight", &error)) << error;
  EXPECT_TRUE(finds(Str(fc::kStringKeywordList, "changed"), tagged));
  f.ExpectSameAsScan(100);

  const KUID removed = f.Kuids()[0];
  {
    const std::lock_guard<OwnedMutex> change(f.Store().ChangeMutex());
    ASSERT_TRUE(f.Store().RecordChanges({}, removed, &error)) << error;
  }
  f.Kuids().erase(f.Kuids().begin());
  EXPECT_FALSE(finds(Group(true, false, {}), removed));
  f.ExpectSameAsScan(100);
}

}  // namespace
}  // namespace PymDaemonSrv
