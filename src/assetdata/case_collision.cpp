#include "assetdata/case_collision.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <unordered_map>

#include "assetdata/cdp_extract.h"
#include "assetdata/safe_folder.h"
#include "assetdata/soup_tree.h"
#include "qel/file_path.h"

namespace {

std::string Folded(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return text;
}

void ListPackageEntries(const ACSChunk* node, const std::string& relative, int depth,
                        std::vector<std::string>& out) {
  ForEachChild(node, [&](const Qel::PString& given, const MPRef<ACSChunk>& child) {
    const std::string name(given.View());
    if (!IsValidPackageFileName(name)) return;
    const std::string below = relative.empty() ? name : relative + "/" + name;
    if (child->GetKind() == kKindContainer) {
      if (!IsSafeFolderPath(below)) return;
      out.push_back(below);
      if (depth < kMaxAssetFolderDepth) ListPackageEntries(child.Get(), below, depth + 1, out);
    } else if (child->GetKind() == kKindRaw && IsPackageFileType(Qel::File::Path(name.c_str())) &&
               !(depth == 0 && IsConfigFileName(name))) {
      out.push_back(below);
    }
  });
}

void ListFolderEntries(const std::string& folder, const std::string& relative, int depth,
                       std::vector<std::string>& out) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir) return;
  while (const dirent* e = readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (lstat((folder + "/" + name).c_str(), &st) != 0) continue;
    const std::string below = relative.empty() ? name : relative + "/" + name;
    if (S_ISREG(st.st_mode)) out.push_back(below);
    if (!S_ISDIR(st.st_mode)) continue;
    out.push_back(below);
    if (depth < kMaxAssetFolderDepth) ListFolderEntries(folder + "/" + name, below, depth + 1, out);
  }
}

}  // namespace

std::string CaseCollision(std::vector<std::string> paths) {
  // Sorted, so that the names given do not depend on the order a folder lists them in.
  std::sort(paths.begin(), paths.end());
  // Each path's folders are entries too: "Sub/a.txt" and "SUB/b.txt" would share one folder.
  std::unordered_map<std::string, std::string> seen;
  for (const std::string& path : paths) {
    for (size_t end = path.find('/');; end = path.find('/', end + 1)) {
      const std::string entry = path.substr(0, end);
      const auto [at, added] = seen.emplace(Folded(entry), entry);
      if (!added && at->second != entry) {
        return "the names " + at->second + " and " + entry + " differ only in case";
      }
      if (end == std::string::npos) break;
    }
  }
  return {};
}

std::string PackageCaseCollision(const Soup& files) {
  std::vector<std::string> paths;
  if (files.GetRoot()) ListPackageEntries(files.GetRoot().Get(), std::string(), 0, paths);
  return CaseCollision(paths);
}

std::string FolderCaseCollision(const std::string& folder) {
  std::vector<std::string> paths;
  ListFolderEntries(folder, std::string(), 0, paths);
  return CaseCollision(paths);
}
