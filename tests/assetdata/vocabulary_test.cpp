#include "assetdata/vocabulary.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace Vocabulary;

std::vector<std::string> Codes(std::string_view list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string_view::npos) end = list.size();
    out.emplace_back(list.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

TEST(VocabularyTest, OnlyTheEndRowsAreEmpty) {
  // An early empty row would cut a table short.
  ASSERT_FALSE(KindCategoryTable().empty());
  EXPECT_TRUE(KindCategoryTable().back().kind.IsEmpty());
  EXPECT_TRUE(CategoryClassTable().back().categories.IsEmpty());
  EXPECT_STREQ(CategoryNameTable().back().categories, "");
  for (size_t i = 0; i + 1 < KindCategoryTable().size(); ++i) {
    EXPECT_FALSE(KindCategoryTable()[i].categories.IsEmpty()) << i;
  }
  for (size_t i = 0; i + 1 < CategoryClassTable().size(); ++i) {
    EXPECT_FALSE(CategoryClassTable()[i].categories.IsEmpty()) << i;
  }
}

TEST(VocabularyTest, NoKindRowIsShadowedByAnEarlierGeneralRow) {
  // Rows are tried in order: a type-specific row after its kind's general row never matches.
  std::set<std::string> general;
  for (const KindCategoryRow& row : KindCategoryTable()) {
    if (row.kind.IsEmpty()) break;
    const std::string kind(row.kind.View());
    EXPECT_FALSE(general.count(kind)) << kind << " has a row after its general row";
    if (row.typeExpression.IsEmpty()) general.insert(kind);
  }
}

TEST(VocabularyTest, RepaintCodesAreOwnedByTheirRows) {
  auto check = [](std::string_view list, const char* where) {
    for (const std::string& code : Codes(list)) {
      EXPECT_NE(code, kTemplateCategoryCode) << where << ": " << list;
      EXPECT_NE(code, kSkinCategoryCode) << where << ": " << list;
    }
  };
  for (const KindCategoryRow& row : KindCategoryTable()) check(row.categories.View(), "kind");
  for (const CategoryClassRow& row : CategoryClassTable()) {
    if (std::string_view(row.code) == "ZX" || std::string_view(row.code) == "ZY") continue;
    check(row.categories.View(), "class");
  }
  for (size_t i = 1; i < CategoryNameTable().size(); ++i) {
    check(CategoryNameTable()[i].categories, "name");
  }
}

TEST(VocabularyTest, CountryCodes) {
  EXPECT_EQ(CountryCode("AD"), 0x20204144u);
  const auto countries = CountryTable();
  // Rows 1 to 244 are sorted by their letters (so unique), then aliases of listed countries.
  std::set<u32> seen;
  for (size_t i = 0; i < 244; ++i) {
    EXPECT_TRUE(i == 0 || countries[i - 1].code < countries[i].code) << countries[i].name.CStr();
    seen.insert(countries[i].code);
  }
  EXPECT_TRUE(seen.count(CountryCode("GB")) && seen.count(CountryCode("UK")));
  EXPECT_EQ(countries[244].code, CountryCode("00"));
  for (size_t i = 245; i < countries.size(); ++i) {
    EXPECT_TRUE(seen.count(countries[i].code)) << countries[i].name.CStr();
  }
}

}  // namespace
