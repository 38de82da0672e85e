#include "qelgfx/uid.h"

#include <gtest/gtest.h>

namespace {

TEST(UIdTest, ReadsMixedCaseAndAnyVariant) {
  // Plug-in ids are written with letters of both cases, and one carries variant digits (C19F)
  // that no standard generator makes; all must read.
  const Qel::UId mixed("E34011F3-C721-48ba-B3C0-19621E408CBD");
  EXPECT_EQ(0xE34011F3u, mixed.data1);
  EXPECT_EQ(0xC721, mixed.data2);
  EXPECT_EQ(0x48BA, mixed.data3);
  EXPECT_EQ(0xB3, mixed.data4[0]);
  EXPECT_EQ(0xBD, mixed.data4[7]);
  EXPECT_EQ(mixed, Qel::UId("{e34011f3-c721-48BA-b3c0-19621e408cbd}"));
  const Qel::UId variant("643AFE90-426A-46EE-C19F-FFA0A471ABD7");
  EXPECT_FALSE(variant.IsNull());
  EXPECT_EQ(0xC1, variant.data4[0]);
  EXPECT_EQ(0x9F, variant.data4[1]);
  const char* const bad[] = {"643AFE90-426A-46EE-C19F-FFA0A471ABD",
                             "643AFE90+426A-46EE-C19F-FFA0A471ABD7",
                             "643AFE90-426A-46EE-C19F-FFA0A471ABDG", "", nullptr};
  for (const char* text : bad) {
    EXPECT_TRUE(Qel::UId(text).IsNull()) << (text ? text : "null");
  }
}

}  // namespace
