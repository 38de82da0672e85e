#include "validation/asset_file.h"

#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "core/file_util.h"
#include "platform/ascii_text.h"
#include "qel/file.h"
#include "qel/file_facts.h"
#include "validation/data_manager.h"

namespace TETLib {

namespace {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::string WithSlashes(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

// The entry of folder (ending in '/') named element, exactly or else ignoring case; empty when
// there is none.
std::string FindEntry(const Qel::String& folder, std::string_view element) {
  const Qel::String exact = folder + Qel::String(element);
  if (Qel::File::Exists(exact.CStr())) return std::string(element);
  Qel::File::Find find(folder.CStr(), "*");
  if (!find.Ok()) return {};
  while (find.Next()) {
    const Qel::String& entry = find.GetName();
    if (entry == "." || entry == "..") continue;
    if (EqualsIgnoreCase(entry.View(), element)) return std::string(entry.View());
  }
  return {};
}

}  // namespace

bool IsConfinedName(std::string_view name) {
  const std::string slashed = WithSlashes(name);
  const std::string_view text = slashed;
  if (text.empty() || text.front() == '/') return false;
  if (text.size() >= 2 && text[1] == ':') return false;  // a drive form
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    if (text.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

Qel::String AssetRootFolder() {
  const DataManager& manager = DataManager::Instance();
  const std::string asset = WithSlashes(manager.GetAssetFolder().View());
  Qel::String folder;
  // The daemon may name an asset by its whole path; the content folder then only names it.
  if (!manager.GetAssetName().IsEmpty() && !(!asset.empty() && asset.front() == '/')) {
    folder = GetUserDataFolder(manager.GetAssetName());
    if (folder.IsEmpty()) return {};
  }
  if (!folder.IsEmpty() && !asset.empty() && asset.front() != '/' && folder.View().back() != '/') {
    folder += '/';
  }
  folder += Qel::String(asset);
  if (folder.IsEmpty()) return {};
  if (folder.View().back() != '/') folder += '/';
  return folder;
}

Qel::String FindAssetFile(std::string_view value, std::string_view subfolder) {
  if (!IsConfinedName(value) || (!subfolder.empty() && !IsConfinedName(subfolder))) return {};
  const Qel::String root = AssetRootFolder();
  if (root.IsEmpty()) return {};
  std::string relative = subfolder.empty() ? std::string() : WithSlashes(subfolder) + "/";
  relative += WithSlashes(value);
  Qel::String path = root;
  bool linked = false;
  size_t start = 0;
  while (start < relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string_view element = std::string_view(relative).substr(start, end - start);
    start = end + 1;
    if (element.empty() || element == ".") continue;
    const std::string found = FindEntry(path, element);
    if (found.empty()) return {};
    path += Qel::String(found);
    struct stat entry {};
    linked = linked || (Qel::file_facts::Lstat(path.Std(), &entry) && S_ISLNK(entry.st_mode));
    if (end < relative.size()) path += '/';
  }
  if (path == root || Qel::File::IsFolder(path.CStr())) return {};
  // Only a link on the way can lead out; the real paths are compared only then.
  return !linked || Qel::File::IsBelowRealFolder(Qel::File::RealPath(root.CStr()), path.CStr())
             ? path
             : Qel::String();
}

}  // namespace TETLib
