#include "daemon/repository_index.h"

#include <dirent.h>
#include <sys/stat.h>

#include "assetdata/cdp_package.h"
#include "assetdata/kuid_table.h"
#include "assetdata/soup.h"
#include "daemon/asset_scanner.h"

namespace PymDaemonSrv {

namespace {

bool IsPackageName(const std::string& name) {
  if (name.size() < 5 || name[0] == '.') return false;
  std::string tail = name.substr(name.size() - 4);
  for (char& c : tail) c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return tail == ".cdp";
}

bool ReadPackage(const std::string& path, const std::string& name, u64 size,
                 std::vector<RepositoryAsset>& out) {
  Soup package;
  if (!OpenContentPackage(package, Qel::PString(), path.c_str()).IsEmpty()) return false;
  for (u32 i = 0, n = CountPackageAssets(package); i < n; ++i) {
    const Soup config = GetPackageAsset(package, i).soup;
    RepositoryAsset asset;
    asset.kuid = config.GetNamedTagAsKUID(Qel::PString("kuid"), KUID::Null());
    if (asset.kuid.IsNull()) continue;
    asset.package = name;
    asset.packageSize = size;
    asset.name = config.GetNamedTag(Qel::PString("username")).CStr();
    asset.categories = DeriveCategories(config.GetNamedTag(Qel::PString("kind")).CStr(),
                                        config.GetNamedTag(Qel::PString("type")).CStr(),
                                        config.GetNamedTag(Qel::PString("category-class")).CStr());
    KUIDList list;
    IndexedKUIDList indexed(list);
    ReadKuidTable(config.GetNamedSoup(Qel::PString("kuid-table")), indexed);
    for (const KUID& kuid : list) asset.dependencies.push_back(kuid);
    out.push_back(std::move(asset));
  }
  return true;
}

}  // namespace

void RepositoryIndex::Refresh(std::vector<std::string>* skipped) {
  std::map<std::string, struct stat> found;
  if (DIR* dir = opendir(folder_.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      struct stat st {};
      if (!IsPackageName(name) || found.size() >= kMaxRepositoryPackages ||
          lstat((folder_ + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        continue;
      }
      found[name] = st;
    }
    closedir(dir);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(packages_, [&found](const auto& p) { return found.count(p.first) == 0; });
  for (const auto& [name, st] : found) {
    Package& package = packages_[name];
    if (package.size == i64(st.st_size) && package.modified == i64(st.st_mtime)) continue;
    package.size = i64(st.st_size);
    package.modified = i64(st.st_mtime);
    package.assets.clear();
    if (u64(st.st_size) > kMaxIndexedPackageBytes) {
      if (skipped) skipped->push_back(name);
      continue;
    }
    if (!ReadPackage(folder_ + "/" + name, name, u64(st.st_size), package.assets) && skipped) {
      skipped->push_back(name);
    }
  }
}

bool RepositoryIndex::FindNewest(const KUID& kuid, RepositoryAsset& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  bool any = false;
  for (const auto& [name, package] : packages_) {
    for (const RepositoryAsset& asset : package.assets) {
      if (asset.kuid.userId != kuid.userId || asset.kuid.contentId != kuid.contentId) continue;
      if (!any || out.kuid.version < asset.kuid.version) out = asset;
      any = true;
    }
  }
  return any;
}

bool RepositoryIndex::Find(const KUID& kuid, RepositoryAsset& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [name, package] : packages_) {
    for (const RepositoryAsset& asset : package.assets) {
      if (asset.kuid == kuid) {
        out = asset;
        return true;
      }
    }
  }
  return false;
}

std::vector<RepositoryAsset> RepositoryIndex::All() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<RepositoryAsset> all;
  for (const auto& [name, package] : packages_) {
    all.insert(all.end(), package.assets.begin(), package.assets.end());
  }
  return all;
}

}  // namespace PymDaemonSrv
