// Engine option texts: switches, values, quoting and replacement.
#include "qel/options.h"

#include <gtest/gtest.h>

namespace {

TEST(Options, ReadsSwitchesAndQuotedValuesThroughTheRawText) {
  Qel::Options o("-render=OpenGL -hidewindow  -LogFile=\"/logs/a folder/log.txt\" -x=a=b ");
  EXPECT_EQ(o.Count(), 4u);
  EXPECT_TRUE(o.Has("-hidewindow"));
  EXPECT_TRUE(o.Has("-RENDER"));
  EXPECT_FALSE(o.Has("-NullRender"));
  EXPECT_FALSE(o.Has("-render=OpenGL"));
  EXPECT_EQ(o.GetValue("-render").Std(), "OpenGL");
  EXPECT_EQ(o.GetValue("-hidewindow").Std(), "");
  EXPECT_EQ(o.GetValue("-absent").Std(), "");
  Qel::Options again(o.GetRawText().CStr());
  EXPECT_EQ(again.GetValue("-logfile").Std(), "/logs/a folder/log.txt");
  EXPECT_EQ(again.GetValue("-x").Std(), "a=b");
  // An unclosed quote runs to the end of the text.
  EXPECT_EQ(Qel::Options("-LogFile=\"/logs/x y").GetValue("-LogFile").Std(), "/logs/x y");
}

}  // namespace
