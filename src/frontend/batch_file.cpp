#include "frontend/batch_file.h"

#include <sys/stat.h>

#include <cstdio>

#include "assetdata/results_log.h"
#include "frontend/command_dispatcher.h"
#include "frontend/result_summary.h"

namespace {

constexpr size_t kNoStart = std::string::npos;

void Append(std::vector<std::string>& out, const std::string& text, size_t begin, size_t end) {
  out.push_back(text.substr(begin, end - begin));
}

}  // namespace

int BatchLineReader::NextByte() {
  if (chunkUsed_ == chunkSize_) {
    if (atEnd_) return -1;
    chunkSize_ = file_.Read(chunk_, sizeof chunk_);
    chunkUsed_ = 0;
    if (chunkSize_ == 0) {
      atEnd_ = true;
      return -1;
    }
  }
  return u8(chunk_[chunkUsed_++]);
}

bool BatchLineReader::ReadLine(std::string& line) {
  line.clear();
  bool any = false;
  for (;;) {
    const int c = NextByte();
    if (c < 0) break;
    any = true;
    line.push_back(char(c));
    if (c == '\n') break;
  }
  return any;
}

void TokenizeBatchLine(const char* line, std::vector<std::string>& out) {
  std::string text(line != nullptr ? line : "");
  // The first byte is never cleared: a line holding only its line end keeps one break character,
  // which makes it a skipped line.
  for (size_t i = text.size(); i-- > 1;) {
    if (text[i] == '\r' || text[i] == '\n') text[i] = '\0';
  }
  text.resize(std::char_traits<char>::length(text.c_str()));

  std::string working = (text.empty() || text[0] != ' ') ? " " + text : text;
  working += ' ';

  bool inQuotes = false;
  size_t start = kNoStart;
  for (size_t i = 0; i < working.size(); ++i) {
    const char c = working[i];
    if (c == '"') {
      if (inQuotes) {
        Append(out, working, start, i);
        start = kNoStart;
      } else {
        start = i + 1;
      }
      inQuotes = !inQuotes;
    } else if (c == ' ' && !inQuotes) {
      if (start != kNoStart) Append(out, working, start, i);
      start = i + 1;
    }
  }
}

bool IsSkippedBatchLine(const std::vector<std::string>& arguments) {
  if (arguments.empty() || arguments.back().empty()) return false;
  const char first = arguments.back()[0];
  return first == '\r' || first == '\n' || first == ' ';
}

int RunBatchFile(const char* fileName, EngineContext& context, const char* programPath) {
  if (!Qel::File::Exists(fileName)) {
    std::fprintf(stderr, "-The file \"%s\" does not exist, please specify a valid filename\n",
                 fileName);
    return -1;
  }
  // A device or a pipe ("@/dev/zero") would be read for ever: only a regular file is a batch.
  struct stat st {};
  const bool regular = ::stat(Qel::File::Resolve(fileName).CStr(), &st) == 0 && S_ISREG(st.st_mode);
  Qel::File file;
  if (!regular || file.Open(fileName, Qel::File::kModeRead) != 0) {
    std::fprintf(stderr, "-The file \"%s\" cannot be read\n", fileName);
    return -1;
  }
  int result = 0;
  std::string line;
  BatchLineReader reader(file);
  while (reader.ReadLine(line)) {
    std::vector<std::string> arguments{programPath != nullptr ? programPath : ""};
    TokenizeBatchLine(line.c_str(), arguments);
    if (IsSkippedBatchLine(arguments)) continue;
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ResultsLog log;
    if (RunCommandGuarded(&log, &context, int(arguments.size()), argv.data()) != 0) result = -1;
    PrintResultSummary(log);
    std::fputs("\n", stdout);
  }
  file.Close();
  return result;
}
