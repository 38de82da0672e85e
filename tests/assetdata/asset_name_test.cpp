#include "assetdata/asset_name.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>

#include "assetdata/interface_text.h"

namespace {

struct QuoteCase {
  std::string text;
  size_t offset;  // where `at` points
  i32 extent;
  u32 length;
};

TEST(QuoteLengthTest, RecognisesQuotesInBothDirections) {
  const QuoteCase cases[] = {
      {"\"a", 0, 2, 1},
      {"'", 0, 1, 1},
      {"a'", 1, -2, 1},
      {"x", 0, 0, 0},
      {"\"", 0, 0, 0},  // no bytes available
      {"ab", 0, 2, 0},
      // Windows-1252 curly quotes need an ASCII neighbour in the reading direction.
      {"\223a", 0, 2, 1},
      {"\x93", 0, 1, 0},
      {"\x93\xC3", 0, 2, 0},
      {"a\x94", 1, -2, 1},
      {"\x94", 0, -1, 0},
      {"\x80\x94", 1, -2, 0},  // the tail of a UTF-8 em dash, not a quote
      {"\220a", 0, 2, 0},
      {"\225a", 0, 2, 0},
      // UTF-8: opening quotes forwards only, closing ones backwards only.
      {"\342\200\234a", 0, 4, 3},
      {"\xE2\x80\x98", 0, 3, 3},
      {"\xE2\x80\x9C", 0, 2, 0},
      {"\xE2\x80\x9D", 0, 3, 0},
      {"a\xE2\x80\x9D", 3, -4, 3},
      {"\xE2\x80\x99", 2, -3, 3},
      {"\xE2\x80\x99", 2, -2, 0},
      {"\xE2\x80\x9C", 2, -3, 0},
  };
  for (const QuoteCase& c : cases) {
    EXPECT_EQ(GetQuoteLength(c.text.data() + c.offset, c.extent), c.length)
        << "case " << (&c - cases);
  }
  EXPECT_EQ(GetQuoteLength(nullptr, 3), 0u);
}

TEST(DisplayNameTest, CleanDisplayName) {
  const Qel::String untitled = GetInterfaceString("$cm_general_untitled");
  struct Case {
    const char* in;
    Qel::String out;
  } cases[] = {
      {"  \"My Loco\"  ", "My Loco"},
      {"\xE2\x80\x9CMy Loco\xE2\x80\x9D", "My Loco"},
      {"\x93My Loco\x94", "My Loco"},
      {"\"  My Loco  \"", "  My Loco  "},  // blanks inside the quotes stay
      {"\"\"My Loco\"\"", "\"My Loco\""},  // one mark at each end only
      {"   ", untitled},
      {"\"\"", untitled},
      {"\xE2\x80\x9C\xE2\x80\x9D", untitled},
  };
  for (const Case& c : cases) EXPECT_EQ(CleanDisplayName(c.in), c.out) << c.in;
}

TEST(DisplayNameTest, NameSourcesInOrder) {
  Soup config;
  config.SetNamedTag("asset-filename", "file_name");
  config.SetNamedFloat("kestro-build", 3.5f);
  EXPECT_EQ(GetAssetDisplayName(config), "file_name");
  config.SetNamedTag("name", "");  // empty texts are passed over
  EXPECT_EQ(GetAssetDisplayName(config), "file_name");
  config.SetNamedTag("name", "the name");
  EXPECT_EQ(GetAssetDisplayName(config), "the name");
  config.SetNamedTag("username", " \"shown\" ");
  EXPECT_EQ(GetAssetDisplayName(config), "shown");
  EXPECT_EQ(GetAssetDisplayName(Soup()), GetInterfaceString("$cm_general_untitled"));
}

TEST(DisplayNameTest, UnderscoresBecomeSpacesBeforeBuild29) {
  struct Case {
    const char* build;  // null: no tag
    const char* name;
  } cases[] = {
      {"2.8", "my loco"},   {"2.9", "my_loco"}, {"2.89", "my loco"},
      {nullptr, "my loco"}, {"-5", "my loco"},  {"3.5", "my_loco"},
  };
  for (const Case& c : cases) {
    Soup config;
    config.SetNamedTag("name", "my_loco");
    if (c.build) config.SetNamedTag("kestro-build", c.build);
    EXPECT_EQ(GetAssetDisplayName(config), c.name) << (c.build ? c.build : "(none)");
  }
  // Stored as numbers; values far out of range must not reach an integer conversion.
  const std::pair<f32, const char*> floats[] = {{2.9f, "my_loco"},
                                                {1e30f, "my_loco"},
                                                {std::numeric_limits<f32>::quiet_NaN(), "my_loco"},
                                                {-std::numeric_limits<f32>::infinity(), "my loco"}};
  for (const auto& [build, name] : floats) {
    Soup config;
    config.SetNamedTag("name", "my_loco");
    config.SetNamedFloat("kestro-build", build);
    EXPECT_EQ(GetAssetDisplayName(config), name) << build;
  }
}

TEST(BuildVersionTest, ConfiguredOrGuessed) {
  struct Case {
    const char* build;     // null: no tag
    const char* extraTag;  // null: none
    f32 version;
  } cases[] = {
      {"3.5", nullptr, 3.505f},      {"1.0", nullptr, 1.005f}, {"99.9", "class", 99.905f},
      {nullptr, "mesh-table", 2.0f}, {nullptr, "class", 2.0f}, {nullptr, "scriptclass", 2.0f},
      {nullptr, "other", 1.3f},      {nullptr, nullptr, 1.3f}, {"0.5", nullptr, 1.3f},
      {"0.5", "mesh-table", 2.0f},   {"100", nullptr, 1.3f},   {"-3", "class", 2.0f},
      {"nan", nullptr, 1.3f},
  };
  for (const Case& c : cases) {
    Soup config;
    config.SetNamedTag("name", "x");
    if (c.build) config.SetNamedTag("kestro-build", c.build);
    if (c.extraTag) config.SetNamedTag(c.extraTag, "value");
    EXPECT_FLOAT_EQ(GetAssetBuildVersion(config), c.version)
        << (c.build ? c.build : "(none)") << " " << (c.extraTag ? c.extraTag : "(none)");
  }
  // A tag without a value does not count.
  Soup config;
  config.SetNamedNull("mesh-table");
  EXPECT_FLOAT_EQ(GetAssetBuildVersion(config), 1.3f);
}

}  // namespace
