#include "core/time_date.h"

#include <gtest/gtest.h>

namespace {

TTimeDate Make(u32 y, u32 mo, u32 d, u32 h, u32 mi, u32 s, u32 ms, u32 dow = 0) {
  TTimeDate t;
  t.SetDate(y, mo, d, dow);
  t.SetTime(h, mi, s, ms);
  return t;
}

TEST(TimeDateTest, PacksFieldsIntoTheirBits) {
  // Tuesday 19 July 2011, 14:05:09.250.
  const TTimeDate t = Make(2011, 7, 19, 14, 5, 9, 250, 2);
  EXPECT_EQ(t.TimeWord(), 7382266u);
  EXPECT_EQ(t.DateWord(), 8239002u);
  EXPECT_EQ(t.GetYear() * 100 + t.GetMonth(), 201107u);
  EXPECT_EQ(t.GetHour() * 100 + t.GetMinute(), 1405u);

  // Each value keeps to its field: a large one does not spill into its neighbour.
  const TTimeDate big = Make(4096 + 12, 16 + 3, 32 + 4, 32 + 5, 64 + 6, 64 + 8, 999, 8 + 1);
  EXPECT_EQ(big.GetMillisecond(), 103u);
  EXPECT_EQ(big.TimeWord(), Make(0, 0, 0, 5, 6, 8, 103).TimeWord());
  EXPECT_EQ(big.DateWord(), Make(12, 3, 4, 0, 0, 0, 0, 1).DateWord());
  EXPECT_EQ(Make(4096, 16, 32, 32, 64, 64, 128, 8).DateWord(), 0u);
  EXPECT_EQ(Make(4096, 16, 32, 32, 64, 64, 128, 8).TimeWord(), 0u);
}

}  // namespace
