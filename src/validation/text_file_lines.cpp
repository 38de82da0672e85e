#include "validation/text_file_lines.h"

#include <sys/stat.h>

#include <string_view>

#include "qel/file.h"

namespace TETLib {

ReadLinesResult ReadTextFileLines(const char* path, u64 maxBytes, std::vector<std::string>& lines) {
  lines.clear();
  const Qel::String resolved = Qel::File::Resolve(path);
  struct stat info;
  if (::stat(resolved.CStr(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return ReadLinesResult::kCannotOpen;
  }
  if (u64(info.st_size) > maxBytes) return ReadLinesResult::kTooLarge;
  Qel::File file;
  if (file.Open(resolved.CStr(), Qel::File::kModeRead) != 0) return ReadLinesResult::kCannotOpen;
  // The length again from the open file: it may have changed since the test above.
  const u64 length = file.GetLength();
  if (length > maxBytes) return ReadLinesResult::kTooLarge;
  std::string text(size_t(length), '\0');
  if (length > 0 && file.Read(text.data(), u32(length)) != length) {
    return ReadLinesResult::kCannotOpen;
  }
  std::string_view rest(text);
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return ReadLinesResult::kOk;
}

}  // namespace TETLib
