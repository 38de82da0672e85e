// Batch files: one command per line of a text file, each with its own results log and summary.
#pragma once

#include <string>
#include <vector>

#include "qel/file.h"
#include "qel/os.h"
#include "qel/types.h"

// Reads lines of any length from an open file through a fixed buffer. Each line keeps its line
// end ("\n" or "\r\n"). The end of the file is reported right after the last line, so a file
// ending in a line end yields no extra empty line.
class BatchLineReader {
 public:
  explicit BatchLineReader(Qel::File& file) : file_(file) {}
  BatchLineReader(const BatchLineReader&) = delete;
  BatchLineReader& operator=(const BatchLineReader&) = delete;

  // The next line into `line`. False, with an empty line, when the file has no more lines.
  bool ReadLine(std::string& line);

 private:
  // The next byte, or -1 at the end of the file or on a read error.
  int NextByte();

  Qel::File& file_;
  char chunk_[4096];
  u32 chunkUsed_ = 0;
  u32 chunkSize_ = 0;
  bool atEnd_ = false;
};

// Splits one line into arguments and appends them to `out`, which already holds the program
// path. Line breaks are dropped; the line gets a blank in front (unless it starts with one) and
// one at the end. Then a blank outside quotes ends an argument and begins the next, so two
// blanks in a row give an empty argument; a pair of double quotes encloses one argument, which
// may hold blanks; text after a closing quote up to the next blank is dropped, and so is text
// before an opening quote. The text after an opening quote that is never closed forms no argument.
// The line ends at its first NUL. A line of any length gives all of its arguments: none is
// dropped, so a command never runs on part of what its line said.
void TokenizeBatchLine(const char* line, std::vector<std::string>& out);

// True when the line yields nothing to run: the last argument begins with a line break or a
// blank, which is how a line holding only its line end tokenises.
bool IsSkippedBatchLine(const std::vector<std::string>& arguments);

// Runs every line of the file (a relative name resolves against the working folder); each line
// prints its summary and an empty line. 0 when every command returned 0, else -1. A missing
// file prints its message on standard error and gives -1 without running anything.
int RunBatchFile(const char* fileName, EngineContext& context, const char* programPath);
