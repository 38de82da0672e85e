#include "daemon/filter_evaluator.h"

#include <gtest/gtest.h>

#include "daemon/daemon_test_util.h"

namespace PymDaemonSrv {
namespace {

using namespace daemon_test;

AssetRecord Asset() {
  AssetRecord a;
  a.kuid = KUID(100, 42, 3);
  a.name = "Big Box Car";
  a.nameLower = "big box car";
  a.categories = "TR;TV;ROLL";
  a.region = "AU; US";
  a.era = "1950s;1960s";
  a.keywords = "red,Freight";
  a.rating = 4;
  a.installTime = 1000;
  a.modifyTime = 0x100000005ull;
  a.SetFlag(0, true);
  a.SetFlag(21, true);
  return a;
}

bool Match(const FilterEvaluator& e, const std::vector<u8>& filter, const AssetRecord& a) {
  const FilterParseResult r = ParseFilterPayload(filter.data(), filter.size());
  EXPECT_TRUE(r.ok) << r.error;
  return e.Matches(r.root.get(), a);
}

TEST(FilterEvaluator, FiltersAgainstOneAsset) {
  const auto yes = Flag(0);
  const auto no = Flag(5);
  const struct {
    const char* what;
    std::vector<u8> filter;
    bool expected;
  } cases[] = {
      {"no filter", Bytes().U32(0).data, true},
      {"name substring, any case", Str(0, "BOX"), true},
      {"name substring absent", Str(0, "tank"), false},
      {"exact name", Str(0, "big box car", true), true},
      {"exact name needs the whole", Str(0, "Big Box", true), false},
      // The category expressions have their own suite; here only that they are applied.
      {"categories all present", Str(1, "TR;ROLL"), true},
      {"category missing", Str(1, "TR;LOCO"), false},
      {"region entry with blanks", Str(4, "us"), true},
      {"era list", Str(2, "1960s"), true},
      {"keyword by comma list", Str(3, "freight"), true},
      {"unknown string kind", Str(9, ""), false},
      {"flag 21 set", Flag(21), true},
      {"flag clear", Flag(5), false},
      {"flag index out of range", Flag(40), false},
      {"rating at open bound", Int(0, 4, 5, false, true), false},
      {"author is the creator", Int(1, 100, 100, true, true), true},
      {"unknown int kind", Int(7, -1000, 1000, true, true), false},
      {"modify time above 32 bits", Time(1, 0x100000000ull, ~0ull, false, true), true},
      {"modify time excluded", Time(1, 0, 0x100000005ull, true, false), false},
      {"asset id listed", Ids(0, {KUID(1, 1, 1), KUID(100, 42, 3)}), true},
      {"other version not listed", Ids(0, {KUID(100, 42, 2)}), false},
      {"profile map kind", Ids(1, {KUID(100, 42, 3)}), false},
      {"empty all-group", Group(true, false, {}), true},
      {"empty any-group", Group(false, false, {}), false},
      {"all of yes, no", Group(true, false, {yes, no}), false},
      {"any of no, yes", Group(false, false, {no, yes}), true},
      {"negated all", Group(true, true, {yes, no}), true},
      {"negated empty all-group", Group(true, true, {}), false},
      {"nested negations", Group(true, true, {Group(true, true, {yes})}), true},
  };
  FilterEvaluator e;
  const AssetRecord a = Asset();
  for (const auto& c : cases) EXPECT_EQ(Match(e, c.filter, a), c.expected) << c.what;
}

TEST(FilterEvaluator, CategoryMatcherCanBeReplaced) {
  FilterEvaluator e;
  const AssetRecord a = Asset();
  std::string seenList;
  e.SetCategoryMatcher([&](std::string_view list, std::string_view expression) {
    seenList = std::string(list);
    return expression == "TR;-LOCO";
  });
  EXPECT_TRUE(Match(e, Str(1, "TR;-LOCO"), a));
  EXPECT_EQ(seenList, "TR;TV;ROLL");
  // Other string kinds never reach it.
  EXPECT_TRUE(Match(e, Str(2, "1950s"), a));
  e.SetCategoryMatcher(nullptr);
  EXPECT_TRUE(Match(e, Str(1, "TR"), a));
}

TEST(FilterEvaluator, PlainListMatch) {
  EXPECT_TRUE(FilterEvaluator::PlainListMatch("A;B", " ; ;", true));
  EXPECT_TRUE(FilterEvaluator::PlainListMatch("", "", false));
  EXPECT_FALSE(FilterEvaluator::PlainListMatch("", "A", false));
  EXPECT_TRUE(FilterEvaluator::PlainListMatch("a , b", "B;A", true));
  EXPECT_FALSE(FilterEvaluator::PlainListMatch("a , b", "B;A", false));
  EXPECT_FALSE(FilterEvaluator::PlainListMatch("AB", "A", true));
}

}  // namespace
}  // namespace PymDaemonSrv
