// Batch lines: the bounded line reader and the tokeniser, including hostile lines.
#include "frontend/batch_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scratch_folder.h"

namespace {

std::vector<std::string> Tokens(const char* line) {
  std::vector<std::string> out{"prog"};
  TokenizeBatchLine(line, out);
  out.erase(out.begin());
  return out;
}

TEST(TokenizeBatchLine, SplitsAsTheFileFormatSays) {
  const struct {
    const char* line;
    std::vector<std::string> tokens;
  } cases[] = {
      {"\"echo\" \"a b\" \"c\"", {"echo", "a b", "c"}},
      {"echo plain words", {"echo", "plain", "words"}},
      {"echo plain words\r\n", {"echo", "plain", "words"}},
      {"echo two  blanks", {"echo", "two", "", "blanks"}},
      {"  echo", {"", "echo"}},
      {"echo \"abc\"def", {"echo", "abc"}},
      {"echo ab\"cd\"", {"echo", "cd"}},
      {"echo \"unclosed rest\r\n", {"echo", "unclosed rest"}},
      {"\"", {""}},
      {"echo \"\"", {"echo", ""}},
      {"", {""}},
      {" echo lead", {"echo", "lead"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Tokens(c.line), c.tokens) << '[' << c.line << ']';
}

TEST(TokenizeBatchLine, LinesHoldingOnlyALineEndAreSkipped) {
  const struct {
    const char* line;
    bool skipped;
  } cases[] = {
      {"\n", true},
      {"\r\n", true},
      {"echo \" leading blank\"", true},
      {"echo \" unclosed leading blank", true},
      {"", false},
      {"echo x", false},
      {"  ", false},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"prog"};
    TokenizeBatchLine(c.line, args);
    EXPECT_EQ(IsSkippedBatchLine(args), c.skipped) << '[' << c.line << ']';
  }
}

TEST(TokenizeBatchLine, ArgumentCountStaysWithinTheTable) {
  // Blanks give one argument each, quote pairs one per two bytes: neither may overrun the table.
  for (char fill : {' ', '"'}) {
    const std::string line(kBatchLineMaxBytes, fill);
    std::vector<std::string> args{"prog"};
    TokenizeBatchLine(line.c_str(), args);
    EXPECT_LE(args.size(), size_t(kBatchMaxArguments));
    EXPECT_EQ(args[0], "prog");
  }
  // The longest line fills the table exactly; a longer text handed in directly is capped.
  for (size_t length : {size_t(kBatchLineMaxBytes), size_t(4000)}) {
    const std::string blanks = "a" + std::string(length - 1, ' ');
    std::vector<std::string> args{"prog"};
    TokenizeBatchLine(blanks.c_str(), args);
    EXPECT_EQ(args.size(), size_t(kBatchMaxArguments)) << length;
  }
}

class BatchLineReaderTest : public ::testing::Test {
 protected:
  std::vector<std::string> ReadAll(const std::string& content) {
    dir_.Put("batch.txt", content);
    Qel::File file;
    EXPECT_EQ(file.Open(dir_.At("batch.txt").c_str(), Qel::File::kModeRead), 0);
    BatchLineReader reader(file);
    std::vector<std::string> lines;
    char line[kBatchLineBufferSize];
    // A watchdog against a reader that never reports the end.
    for (int i = 0; i < 10000 && reader.ReadLine(line); ++i) lines.emplace_back(line);
    EXPECT_EQ(line[0], '\0');
    return lines;
  }

  scratch::Folder dir_;
};

TEST_F(BatchLineReaderTest, KeepsLineEndsAndEndsRightAfterTheLastLine) {
  const struct {
    std::string content;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"a\n", {"a\n"}},
      {"a\nb", {"a\n", "b"}},
      {"a\r\n\r\nb\r\n", {"a\r\n", "\r\n", "b\r\n"}},
      {"\n\n", {"\n", "\n"}},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadAll(c.content), c.lines) << c.content;
}

TEST_F(BatchLineReaderTest, CutsLongLinesAndDropsTheirRest) {
  const std::string exact(kBatchLineMaxBytes - 1, 'e');
  const std::string longLine(5000, 'x');
  const std::vector<std::string> lines = ReadAll(exact + "\n" + longLine + "\nnext\n");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], exact + "\n");
  EXPECT_EQ(lines[1], std::string(kBatchLineMaxBytes, 'x'));
  EXPECT_EQ(lines[2], "next\n");
}

TEST_F(BatchLineReaderTest, LinesAcrossReadChunksStayWhole) {
  std::string content;
  std::vector<std::string> expected;
  for (int i = 0; i < 1000; ++i) {
    const std::string line = "line " + std::to_string(i) + std::string(size_t(i % 37), '.') + "\n";
    content += line;
    expected.push_back(line);
  }
  EXPECT_EQ(ReadAll(content), expected);
}

TEST_F(BatchLineReaderTest, NulBytesAndBinaryDataStayBounded) {
  std::string content(3000, '\0');
  for (size_t i = 0; i < content.size(); i += 7) content[i] = char(i);
  const std::vector<std::string> lines = ReadAll(content);
  for (const std::string& line : lines) EXPECT_LE(line.size(), size_t(kBatchLineMaxBytes));
}

}  // namespace
