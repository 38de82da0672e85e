#include "core/time_date.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

TTimeDate Make(u32 y, u32 mo, u32 d, u32 h, u32 mi, u32 s, u32 ms, u32 dow = 0) {
  TTimeDate t;
  t.SetDate(y, mo, d, dow);
  t.SetTime(h, mi, s, ms);
  return t;
}

TEST(TimeDateTest, PacksFieldsIntoTheirBits) {
  // Tuesday 19 July 2011, 14:05:09.250.
  TTimeDate t = Make(2011, 7, 19, 14, 5, 9, 250, 2);
  EXPECT_EQ(t.TimeWord(), 7382266u);
  EXPECT_EQ(t.DateWord(), 8239002u);
  EXPECT_EQ(t.GetYear(), 2011u);
  EXPECT_EQ(t.GetMonth(), 7u);
  EXPECT_EQ(t.GetDay(), 19u);
  EXPECT_EQ(t.GetDayOfWeek(), 2u);
  EXPECT_EQ(t.GetHour(), 14u);
  EXPECT_EQ(t.GetMinute(), 5u);
  EXPECT_EQ(t.GetSecond(), 9u);
  EXPECT_EQ(t.GetMillisecond(), 250u & 127u);

  TTimeDate copy(t);
  EXPECT_EQ(copy.TimeWord(), t.TimeWord());
  EXPECT_EQ(copy.DateWord(), t.DateWord());
  TTimeDate blank;
  EXPECT_EQ(blank.TimeWord(), 0u);
  EXPECT_EQ(blank.DateWord(), 0u);
}

TEST(TimeDateTest, ValuesAreMaskedToTheirFields) {
  TTimeDate t = Make(4096 + 12, 16 + 3, 32 + 4, 32 + 5, 64 + 6, 64 + 8, 999, 8 + 1);
  EXPECT_EQ(t.GetMillisecond(), 103u);
  EXPECT_EQ(t.GetSecond(), 8u);
  EXPECT_EQ(t.GetMinute(), 6u);
  EXPECT_EQ(t.GetHour(), 5u);
  EXPECT_EQ(t.GetDayOfWeek(), 1u);
  EXPECT_EQ(t.GetDay(), 4u);
  EXPECT_EQ(t.GetMonth(), 3u);
  EXPECT_EQ(t.GetYear(), 12u);
  EXPECT_EQ(t.TimeWord() >> 24, 0u);
  EXPECT_EQ(t.DateWord() >> 24, 0u);

  // Each field keeps to its bits: a large value does not spill into its neighbour.
  struct Case {
    u32 value;
    u32 timeWord;
  };
  const Case milliseconds[] = {{127, 127}, {128, 0}, {999, 103}, {1000, 104}};
  for (const Case& c : milliseconds) {
    t.SetTime(0, 0, 0, c.value);
    EXPECT_EQ(t.TimeWord(), c.timeWord) << c.value;
  }
  t.SetTime(32, 64, 64, 0);
  EXPECT_EQ(t.TimeWord(), 0u);
  t.SetDate(4096, 16, 32, 8);
  EXPECT_EQ(t.DateWord(), 0u);
}

TEST(TimeDateTest, OrdersByDateThenTime) {
  struct Case {
    TTimeDate a;
    TTimeDate b;
    bool less;
  };
  const Case cases[] = {
      {Make(2011, 7, 19, 9, 0, 0, 0), Make(2011, 7, 19, 10, 0, 0, 0), true},
      {Make(2011, 7, 19, 10, 0, 0, 0), Make(2011, 7, 19, 9, 0, 0, 0), false},
      {Make(2011, 6, 30, 23, 59, 59, 127), Make(2011, 7, 1, 0, 0, 0, 0), true},
      {Make(2010, 12, 31, 23, 0, 0, 0), Make(2011, 1, 1, 0, 0, 0, 0), true},
      {Make(2011, 7, 19, 10, 0, 0, 5), Make(2011, 7, 19, 10, 0, 0, 5), false},
      {Make(2011, 7, 19, 10, 0, 0, 5), Make(2011, 7, 19, 10, 0, 0, 6), true},
      {Make(2011, 7, 19, 10, 0, 59, 0), Make(2011, 7, 19, 10, 1, 0, 0), true},
      {Make(2011, 7, 19, 0, 0, 0, 0, 3), Make(2011, 7, 19, 0, 0, 0, 0, 2), false},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(TTimeDate::Less(cases[i].a, cases[i].b), cases[i].less);
  }

  std::vector<TTimeDate> dates = {Make(11, 3, 1, 0, 0, 0, 0), Make(9, 12, 31, 0, 0, 0, 0),
                                  Make(11, 2, 28, 0, 0, 0, 0), Make(10, 1, 1, 0, 0, 0, 0)};
  std::sort(dates.begin(), dates.end(), TTimeDate::Less);
  std::vector<u32> years;
  for (const TTimeDate& d : dates) years.push_back(d.GetYear() * 100 + d.GetMonth());
  EXPECT_EQ(years, (std::vector<u32>{912, 1001, 1102, 1103}));
}

TEST(TimeDateTest, NowIsAPlausibleLocalTime) {
  TTimeDate now;
  now.SetToNow();
  EXPECT_GE(now.GetYear(), 2000u);
  EXPECT_GE(now.GetMonth(), 1u);
  EXPECT_LE(now.GetMonth(), 12u);
  EXPECT_GE(now.GetDay(), 1u);
  EXPECT_LE(now.GetDay(), 31u);
  EXPECT_LE(now.GetDayOfWeek(), 6u);
  EXPECT_LE(now.GetHour(), 23u);
  EXPECT_LE(now.GetMinute(), 59u);
  EXPECT_LE(now.GetSecond(), 59u);
}

}  // namespace
