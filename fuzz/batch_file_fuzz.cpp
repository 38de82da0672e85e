// Reads arbitrary bytes as a batch file: every argument table must stay within its size, and the
// lines together must hold exactly the bytes of the file, none dropped and none made up.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "frontend/batch_file.h"
#include "qel/file.h"

namespace {

// The file that each input is written to; removed when the run ends.
struct ScratchFile {
  std::string path = "/tmp/batch_file_fuzz_" + std::to_string(getpid()) + ".txt";
  ~ScratchFile() { unlink(path.c_str()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ScratchFile scratch;
  const std::string& path = scratch.path;
  {
    Qel::File out;
    if (out.Open(path.c_str(), Qel::File::kModeCreate) != 0) return 0;
    out.Write(data, u32(size));
  }
  Qel::File in;
  if (in.Open(path.c_str(), Qel::File::kModeRead) != 0) return 0;
  BatchLineReader reader(in);
  std::string line;
  std::string joined;
  while (reader.ReadLine(line)) {
    joined += line;
    if (joined.size() > size) std::abort();
    const size_t length = std::char_traits<char>::length(line.c_str());
    std::vector<std::string> arguments{"prog"};
    TokenizeBatchLine(line.c_str(), arguments);
    // Every argument ends at a blank or a quote of the line, or at one of the two blanks added.
    if (arguments.size() > length + 3 || arguments[0] != "prog") std::abort();
    for (size_t i = 1; i < arguments.size(); ++i) {
      if (arguments[i].size() > length) std::abort();
    }
    IsSkippedBatchLine(arguments);
  }
  if (joined != std::string(reinterpret_cast<const char*>(data), size)) std::abort();
  return 0;
}
