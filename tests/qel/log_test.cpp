#include "qel/log.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch_folder.h"

namespace {

// Each test gets a file path of its own and leaves the process sink discarding.
class LogTest : public testing::Test {
 protected:
  ~LogTest() override { Qel::Log::SetToStdOut(false); }
  std::string Logged() const { return folder_.Read("test.log"); }
  scratch::Folder folder_;
  const std::string path_ = folder_.At("test.log");
};

TEST_F(LogTest, SinkFollowsOptionText) {
  const std::pair<const char*, bool> cases[] = {
      {"-NullRender -LogStdOut ", true},
      {"-render=OpenGL -hidewindow -LogFile=/dev/null ", false},
      {"-LogStdOutX", false},
      {"-LogStdOut -LogFile=/dev/null", false},
      {nullptr, false},
  };
  for (auto [options, to_stdout] : cases) {
    EXPECT_TRUE(Qel::Log::Init(options));
    EXPECT_EQ(
        scratch::CaptureStdout([] { Qel::Log::Get("sink").Write(Qel::Log::kMessage, "probe"); }),
        to_stdout ? "probe\n" : "")
        << (options ? options : "(null)");
  }
}

TEST_F(LogTest, LinesLevelsAndFormatting) {
  Qel::Log::SetToStdOut(true);
  Qel::Log& log = Qel::Log::Get("format");
  log.SetLevel(Qel::Log::kMessage);
  const std::string big(3000, 'z');
  EXPECT_EQ(scratch::CaptureStdout([&] {
              log.Write(Qel::Log::kError, "ends with a break\n");
              log.Write(Qel::Log::kDebug, "above the client's level: dropped");
              log.Printf(Qel::Log::kMessage, "ScriptLog> %s %d", "x", 5);
              log.Write(Qel::Log::kWarning, "");
              log.Printf(Qel::Log::kMessage, "[%s]", big.c_str());
            }),
            "ends with a break\nScriptLog> x 5\n\n[" + big + "]\n");
}

TEST_F(LogTest, FileSinkAppendsAndBadPathDiscards) {
  Qel::Log& log = Qel::Log::Get("file");
  ASSERT_TRUE(Qel::Log::Init(("-NullRender \"-LogFile=" + path_ + "\"").c_str()));
  log.Write(Qel::Log::kMessage, "one");
  ASSERT_TRUE(Qel::Log::SetToFile(path_.c_str()));
  log.Write(Qel::Log::kMessage, "two");
  for (const char* bad : {"-LogFile=/nonexistent-dir/x.log", "-LogFile="}) {
    EXPECT_FALSE(Qel::Log::Init(bad));
    EXPECT_EQ(scratch::CaptureStdout([&] { log.Write(Qel::Log::kMessage, "lost"); }), "");
  }
  EXPECT_EQ(Logged(), "one\ntwo\n");
}

// A hostile peer can make a server log the same line without end: repeats are counted, and a
// full file is set aside once.
TEST_F(LogTest, RotatingFileCollapsesRepeatsAndKeepsOneOldFile) {
  Qel::Log& log = Qel::Log::Get("rotating");
  ASSERT_TRUE(Qel::Log::SetToRotatingFile(path_.c_str(), 64));
  for (int i = 0; i < 1000; ++i) log.Write(Qel::Log::kMessage, "refused");
  log.Write(Qel::Log::kMessage, "other");
  EXPECT_EQ(Logged(), "refused\n(last line repeated 999 times)\nother\n");
  for (int i = 0; i < 20; ++i) log.Printf(Qel::Log::kMessage, "line %d", i);
  const std::string current = Logged();
  const std::string previous = folder_.Read("test.log.1");
  EXPECT_LE(current.size(), 64u + 8u);
  EXPECT_LE(previous.size(), 64u + 8u);
  EXPECT_NE(current.find("line 19\n"), std::string::npos);
  EXPECT_EQ(previous.find("refused"), std::string::npos) << "only one old file is kept";
}

TEST_F(LogTest, ConcurrentLinesNeverInterleave) {
  ASSERT_TRUE(Qel::Log::SetToFile(path_.c_str()));
  constexpr int kThreads = 4, kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string body(200, char('a' + t));
      for (int i = 0; i < kLines; ++i) {
        Qel::Log::Get("threads").Printf(Qel::Log::kMessage, "%d:%s", t, body.c_str());
      }
    });
  }
  for (auto& th : threads) th.join();
  Qel::Log::SetToStdOut(false);

  std::istringstream in(Logged());
  std::string line;
  int counts[kThreads] = {};
  while (std::getline(in, line)) {
    const int t = line.empty() ? -1 : line[0] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    ASSERT_EQ(line, std::to_string(t) + ":" + std::string(200, char('a' + t)));
    ++counts[t];
  }
  for (int c : counts) EXPECT_EQ(c, kLines);
}

}  // namespace
