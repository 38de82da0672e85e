// The repository's type of a category list (first pattern in order wins) and its code ids.
#include "frontend/export_category_codes.h"

#include <gtest/gtest.h>

#include <string>

TEST(ExportCategoryCodes, TypesFollowPatternOrderAndCodesMatchExactly) {
  const struct {
    const char* categories;
    i32 id;
    std::string folder;
  } types[] = {
      {"LOCO;TR", 1, "locomotives"}, {"TR;CMP;BOGY", 2, "rollingstock"},
      {"CMP;MESH", 30, "mesh"},      {"TX;ENV", 17, "textures"},
      {"TX", 37, "texture"},         {"SPLN", 16, "terrainfeatures"},
      {"", 21, "miscellaneous"},     {"loco", 21, "miscellaneous"},
  };
  for (const auto& t : types) {
    EXPECT_EQ(GetExportAssetTypeId(t.categories), t.id) << t.categories;
    EXPECT_EQ(GetExportAssetTypeName(t.id), t.folder) << t.categories;
  }
  EXPECT_EQ(GetExportAssetTypeName(13), std::string("road"));
  EXPECT_EQ(GetExportAssetTypeName(5), std::string("UNKNOWN"));

  const struct {
    const char* code;
    i32 id;
  } codes[] = {{"1800", 146}, {"BI", 851}, {"bi", 0}, {"BIN", 1075},
               {"TZ", 710},   {"ZR", 737}, {"", 0},   {"B", 0}};
  for (const auto& c : codes) EXPECT_EQ(GetCategoryCodeId(c.code), c.id) << c.code;
}
