// Finding texts: formats from editable tables filled by the arguments' own types, and keys
// without a text.
#include "validation/finding_text.h"

#include <gtest/gtest.h>

#include <string>

#include "assetdata/interface_text.h"
#include "qel/file_volume.h"
#include "support/scratch_folder.h"

namespace {

using TETLib::FormatText;

TEST(FormatText, EachArgumentIsRenderedByItsOwnType) {
  const struct {
    std::string got;
    const char* want;
  } cases[] = {
      {FormatText("'%s' in '%s'", "tag", Qel::PString("box")).Std(), "'tag' in 'box'"},
      {FormatText("%s must be %d", "size", 4).Std(), "size must be 4"},
      // A translator's slip: the conversion letters do not fit the arguments.
      {FormatText("%d items in %s", "many", 7).Std(), "many items in 7"},
      {FormatText("%s and %g", 2.5, -3).Std(), "2.5 and -3"},
      {FormatText("%s/%s", std::string("dir"), Qel::String("file")).Std(), "dir/file"},
      {FormatText("%x %o %X", 255u, 8, u64(0xABCDEF)).Std(), "ff 10 ABCDEF"},
      {FormatText("%5d|%-5s|%.2s|%05.1f", 42, "ab", "abcdef", 3.14159).Std(),
       "   42|ab   |ab|003.1"},
      {FormatText("%lu and %lld and %hhd", u32(7), i64(-8), 300).Std(), "7 and -8 and 300"},
      {FormatText("%c%p", 65, "text").Std(), "65text"},
      {FormatText("between %g and %g", 0.5f, 100.0).Std(), "between 0.5 and 100"},
      {FormatText("%i%%", -12).Std(), "-12%"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(FormatText, AConversionWithoutItsArgumentIsKeptAsWritten) {
  const struct {
    std::string got;
    const char* want;
  } cases[] = {
      {FormatText("'%s' in '%s'", "tag").Std(), "'tag' in '%s'"},
      {FormatText("stray %s and %-08.3d").Std(), "stray %s and %-08.3d"},
      {FormatText("%n never writes", 5).Std(), "%n never writes"},
      {FormatText("%*d takes no width argument", 5, 6).Std(), "%*d takes no width argument"},
      {FormatText("trailing %", 1).Std(), "trailing %"},
      {FormatText("100%% sure %q", 1).Std(), "100% sure %q"},
      {FormatText("", 1, "x").Std(), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(FormatText, HugeWidthsAreCutToTheFieldLimit) {
  EXPECT_EQ(FormatText("%999999999999d", 1).Size(), 1024u);
  EXPECT_EQ(FormatText("%-99999s|", "x").Size(), 1025u);
  EXPECT_EQ(FormatText("%.99999f", 1.0).Size(), 1026u);  // "1." and the cut precision
}

TEST(LocalisedFinding, AKeyWithoutTextNamesItsArguments) {
  // No "data" volume is registered in this suite, so the tables hold no texts.
  EXPECT_EQ(TETLib::LocalisedFinding("$tet_nothing_here", "a.tga", 3).View(),
            "$tet_nothing_here 'a.tga' '3'");
  EXPECT_EQ(TETLib::LocalisedFinding("$tet_100%s").View(), "$tet_100%s");
}

// Findings are kept formatted by key and arguments, but never past a reload of the tables.
TEST(LocalisedFinding, KeptFindingsFollowTheTablesAndTheirArguments) {
  scratch::Folder dir;
  Qel::SetVolume("data", dir.At("data").c_str());
  InterfaceTextDB::SetLanguage("US");
  dir.Put("data/InterfaceText.txt", "$tet_kept \"First '%s'.\"\n");
  InterfaceTextDB::Invalidate();
  EXPECT_EQ(TETLib::LocalisedFinding("$tet_kept", "a.im").View(), "First 'a.im'.");
  EXPECT_EQ(TETLib::LocalisedFinding("$tet_kept", "b.im").View(), "First 'b.im'.");
  EXPECT_EQ(TETLib::LocalisedFinding("$tet_kept", 7).View(), "First '7'.");
  EXPECT_EQ(TETLib::LocalisedFinding("$tet_kept", "7").View(), "First '7'.");
  EXPECT_EQ(TETLib::LocalisedFinding("$tet_kept", "a.im").View(), "First 'a.im'.");
  dir.Put("data/InterfaceText.txt", "$tet_kept \"Second '%s'.\"\n");
  InterfaceTextDB::Invalidate();
  EXPECT_EQ(TETLib::LocalisedFinding("$tet_kept", "a.im").View(), "Second 'a.im'.");
  InterfaceTextDB::SetLanguage(nullptr);
  Qel::SetVolume("data", nullptr);
  InterfaceTextDB::Invalidate();
  EXPECT_EQ(TETLib::LocalisedFinding("$tet_kept", "a.im").View(), "$tet_kept 'a.im'");
}

}  // namespace
