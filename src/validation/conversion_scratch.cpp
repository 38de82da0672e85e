#include "validation/conversion_scratch.h"

#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "core/file_util.h"
#include "platform/process.h"
#include "qel/file.h"

namespace {

constexpr std::string_view kFolderPrefix = "convert-";

// Every "convert-<id>" folder whose process has ended. A folder of a process now running under a
// reused id stays until that process has ended too.
void RemoveStaleFolders(const std::string& temporary, std::uint32_t self) {
  std::error_code error;
  for (std::filesystem::directory_iterator it(temporary, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!std::string_view(name).starts_with(kFolderPrefix)) continue;
    const char* digits = name.data() + kFolderPrefix.size();
    std::uint32_t pid = 0;
    const auto [rest, failure] = std::from_chars(digits, name.data() + name.size(), pid);
    if (failure != std::errc() || rest != name.data() + name.size() || pid == self ||
        Platform::IsProcessAlive(pid)) {
      continue;
    }
    Qel::File::Prune(it->path().c_str());
  }
}

}  // namespace

void RemoveConversionScratchFile(const Qel::File::Path& path) {
  if (path.IsEmpty()) return;
  Qel::File::Unlink(path.CStr());
  // Fails while another conversion's file is there; a file made meanwhile makes the folder again.
  ::rmdir(std::filesystem::path(path.CStr()).parent_path().c_str());
}

bool CreateConversionScratchPath(Qel::File::Path& out) {
  Qel::File::Path name;
  if (!CreateTemporaryFilePath(Qel::PString(), name)) return false;
  const std::string temporary = GetTemporaryFolder().Std();
  const std::uint32_t self = Platform::CurrentProcessId();
  RemoveStaleFolders(temporary, self);
  Qel::File::Path folder{Qel::String(temporary)};
  folder.AddPath((std::string(kFolderPrefix) + std::to_string(self)).c_str());
  if (!MakeFolder(Qel::PString(), folder)) return false;
  out = folder;
  out.AddPath(name.GetFileName().CStr());
  return true;
}
