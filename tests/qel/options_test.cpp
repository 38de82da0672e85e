// Engine option texts: switches, values, quoting and replacement.
#include "qel/options.h"

#include <gtest/gtest.h>

namespace {

TEST(Options, ReadsSwitchesAndValues) {
  Qel::Options o("-render=OpenGL -hidewindow  -LogFile=/dev/null ");
  EXPECT_EQ(o.Count(), 3u);
  EXPECT_TRUE(o.Has("-hidewindow"));
  EXPECT_TRUE(o.Has("-RENDER"));
  EXPECT_FALSE(o.Has("-NullRender"));
  EXPECT_FALSE(o.Has("-render=OpenGL"));
  EXPECT_EQ(o.GetValue("-render").Std(), "OpenGL");
  EXPECT_EQ(o.GetValue("-logfile").Std(), "/dev/null");
  EXPECT_EQ(o.GetValue("-hidewindow").Std(), "");
  EXPECT_EQ(o.GetValue("-absent").Std(), "");
}

TEST(Options, QuotedValuesKeepTheirBlanksThroughTheRawText) {
  Qel::Options o("-LogFile=\"/logs/a folder/log.txt\" -x=a=b");
  EXPECT_EQ(o.GetValue("-LogFile").Std(), "/logs/a folder/log.txt");
  EXPECT_EQ(o.GetValue("-x").Std(), "a=b");
  Qel::Options again(o.GetRawText().CStr());
  EXPECT_EQ(again.GetValue("-LogFile").Std(), "/logs/a folder/log.txt");
  EXPECT_EQ(again.GetValue("-x").Std(), "a=b");
  // An unclosed quote runs to the end of the text.
  Qel::Options open("-LogFile=\"/logs/x y");
  EXPECT_EQ(open.GetValue("-LogFile").Std(), "/logs/x y");
}

}  // namespace
