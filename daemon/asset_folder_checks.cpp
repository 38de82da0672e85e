#include "daemon/asset_folder_checks.h"

#include <sys/stat.h>

#include <vector>

namespace PymDaemonSrv {

namespace {

// More folders of one KUID than this means something else is wrong.
constexpr int kMaxFoldersPerKuid = 1000;

}  // namespace

std::string NewAssetPath(const KUID& kuid) {
  return "kuid " + std::to_string(kuid.userId) + " " + std::to_string(kuid.contentId) + " " +
         std::to_string(kuid.version);
}

KUID HeldKuid(const std::string& path, const std::string& folderName, const std::string& relative) {
  struct stat st {};
  ScannedAsset held;
  std::string ignored;
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      !ReadAssetFolder(path, folderName, relative, held, ignored)) {
    return KUID::Null();
  }
  return held.record.kuid;
}

std::string FolderForAsset(const std::string& userData, const std::string& folderName,
                           const std::string& wanted, const KUID& kuid, std::string& error) {
  const std::string root = userData + "/" + folderName + "/";
  const auto open = [&](const std::string& relative) {
    struct stat st {};
    return lstat((root + relative).c_str(), &st) != 0 ||
           HeldKuid(root + relative, folderName, relative) == kuid;
  };
  if (open(wanted)) return wanted;
  const std::string own = NewAssetPath(kuid);
  if (open(own)) return own;
  for (int n = 2; n <= kMaxFoldersPerKuid; ++n) {
    const std::string numbered = own + " " + std::to_string(n);
    if (open(numbered)) return numbered;
  }
  error = "no free folder for the asset in " + userData + "/" + folderName;
  return std::string();
}

bool CheckHoldsAsset(const std::string& path, const std::string& folderName,
                     const std::string& relative, const KUID& kuid, std::string& error) {
  const KUID held = HeldKuid(path, folderName, relative);
  if (held.IsNull() || held == kuid) return true;
  error = path + " holds " + held.ToString().CStr() + ", not " + kuid.ToString().CStr() +
          "; it is left as it is";
  return false;
}

bool FindUnindexedFolderOf(AssetStore& store, const KUID& kuid, ScannedAsset& out) {
  for (const std::string& key : store.UnindexedFolders()) {
    const size_t slash = key.find('/');
    if (slash == std::string::npos) continue;
    const std::string folderName = key.substr(0, slash);
    const std::string relative = key.substr(slash + 1);
    std::string ignored;
    if (ReadAssetFolder(store.UserData() + "/" + key, folderName, relative, out, ignored) &&
        out.record.kuid == kuid) {
      return true;
    }
  }
  return false;
}

}  // namespace PymDaemonSrv
