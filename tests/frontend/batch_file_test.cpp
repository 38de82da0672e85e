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

TEST(TokenizeBatchLine, SplitsAndSkipsAsTheFileFormatSays) {
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
      // The text after an opening quote that is never closed forms no argument.
      {"echo \"unclosed rest\r\n", {"echo"}},
      {"echo word \"unclosed", {"echo", "word"}},
      {"\"", {}},
      {"echo \"\"", {"echo", ""}},
      {"", {""}},
      {" echo lead", {"echo", "lead"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Tokens(c.line), c.tokens) << '[' << c.line << ']';
  // Lines holding only a line end are skipped (and, as the format has it, a leading blank quote).
  const struct {
    const char* line;
    bool skipped;
  } skips[] = {
      {"\n", true},
      {"\r\n", true},
      {"echo \" leading blank\"", true},
      {"echo \" unclosed leading blank", false},
      {"", false},
      {"echo x", false},
      {"  ", false},
  };
  for (const auto& c : skips) {
    std::vector<std::string> args{"prog"};
    TokenizeBatchLine(c.line, args);
    EXPECT_EQ(IsSkippedBatchLine(args), c.skipped) << '[' << c.line << ']';
  }
}

TEST(TokenizeBatchLine, EveryArgumentOfALongLineIsKept) {
  // Blanks give one argument each, quote pairs one per two bytes; far more than any fixed table
  // held, and the last one must still arrive.
  const std::string blanks = "a" + std::string(2000, ' ') + "last";
  std::string pairs;
  for (int i = 0; i < 1000; ++i) pairs += "\"x\" ";
  pairs += "\"last\"";
  for (const auto& [line, count] :
       {std::pair{blanks, size_t(2002)}, std::pair{pairs, size_t(1002)}}) {
    std::vector<std::string> args{"prog"};
    TokenizeBatchLine(line.c_str(), args);
    EXPECT_EQ(args[0], "prog");
    EXPECT_EQ(args.size(), count) << line.size();
    EXPECT_EQ(args.back(), "last");
  }
}

std::vector<std::string> ReadLines(const std::string& content) {
  scratch::Folder dir;
  dir.Put("batch.txt", content);
  Qel::File file;
  EXPECT_EQ(file.Open(dir.At("batch.txt").c_str(), Qel::File::kModeRead), 0);
  BatchLineReader reader(file);
  std::vector<std::string> lines;
  std::string line;
  // A watchdog against a reader that never reports the end.
  for (int i = 0; i < 10000 && reader.ReadLine(line); ++i) lines.push_back(line);
  EXPECT_EQ(line, "");
  return lines;
}

TEST(BatchLineReader, KeepsLineEndsAndLongLinesWholeAndEndsRightAfterTheLastLine) {
  const std::string longer(5000, 'x');
  std::string chunks;  // lines across the reader's chunks stay whole
  std::vector<std::string> chunkLines;
  for (int i = 0; i < 1000; ++i) {
    chunkLines.push_back("line " + std::to_string(i) + std::string(size_t(i % 37), '.') + "\n");
    chunks += chunkLines.back();
  }
  const struct {
    std::string content;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"a\nb", {"a\n", "b"}},
      {"a\r\n\r\nb\r\n", {"a\r\n", "\r\n", "b\r\n"}},
      {"\n\n", {"\n", "\n"}},
      {"a\n" + longer + "\nnext\n", {"a\n", longer + "\n", "next\n"}},
      {longer + " " + longer, {longer + " " + longer}},
      {chunks, chunkLines},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadLines(c.content), c.lines) << c.content.substr(0, 20);
  std::string binary(3000, '\0');
  for (size_t i = 0; i < binary.size(); i += 7) binary[i] = char(i);
  std::string joined;
  for (const std::string& line : ReadLines(binary)) joined += line;
  EXPECT_EQ(joined, binary);
}

}  // namespace
