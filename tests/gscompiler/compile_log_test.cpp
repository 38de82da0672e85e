#include "gscompiler/compile_log.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>

namespace {

TEST(CompileLogTest, KeepsArrivalOrderAcrossGrowthAndWrapAround) {
  GSCompileLog log;
  std::deque<std::string> expected;
  int next = 0;
  // Take some before adding more, so the ring has wrapped when it has to grow.
  for (int round = 0; round < 6; ++round) {
    for (int i = 0; i < 100; ++i) {
      const std::string text = "message " + std::to_string(next++);
      log.Add(text.c_str());
      expected.push_back(text);
    }
    for (int i = 0; i < 30; ++i) {
      const char* got = log.Take();
      ASSERT_NE(got, nullptr);
      EXPECT_EQ(got, expected.front());
      expected.pop_front();
    }
  }
  EXPECT_EQ(log.Count(), expected.size());
  std::deque<std::string> rest;
  while (const char* got = log.Take()) rest.push_back(got);
  EXPECT_EQ(rest, expected);
}

TEST(CompileLogTest, CopiesTextsAndDropsThemOnClear) {
  GSCompileLog log;
  char buffer[] = "first";
  log.Add(buffer);
  buffer[0] = 'X';
  log.Add(nullptr);
  const std::string longText(5000, 'L');  // longer than a pool block
  log.Add(longText.c_str());
  EXPECT_EQ(log.Count(), 2u);
  EXPECT_STREQ(log.Take(), "first");
  EXPECT_EQ(log.Take(), longText);

  log.Add("a");
  log.Add("b");
  log.Clear();
  EXPECT_EQ(log.Count(), 0u);
  EXPECT_EQ(log.Take(), nullptr);
  log.Add("after");
  EXPECT_STREQ(log.Take(), "after");
}

}  // namespace
