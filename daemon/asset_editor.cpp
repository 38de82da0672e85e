#include "daemon/asset_editor.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "core/file_util.h"
#include "core/time_date.h"
#include "daemon/asset_scanner.h"
#include "daemon/asset_store.h"

namespace PymDaemonSrv {

namespace {

// Beside a folder set aside in staging: the path below "local" where it belongs.
constexpr const char* kRestoreNoteSuffix = ".restore";

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The folder of a new asset below its content folder.
std::string NewAssetPath(const KUID& kuid) {
  return "kuid " + std::to_string(kuid.userId) + " " + std::to_string(kuid.contentId) + " " +
         std::to_string(kuid.version);
}

// Today's dated folder of the backups folder.
std::string TodaysBackups(const std::string& userData) {
  TTimeDate today;
  today.SetToNow();
  return userData + "/" + AssetEditor::kBackupsFolder + "/" + BackupFolderName(today).CStr();
}

// Where the folder `relative` of the content folder `folder` goes in a dated backup folder: an
// asset kept twice in a day keeps both copies, the later one under a numbered name.
std::string FreeBackupPlace(const std::string& dated, const char* folder,
                            const std::string& relative) {
  std::string to = dated + "/" + folder + "/" + relative;
  for (u32 n = 1; Exists(to); ++n) {
    to = dated + "/" + folder + "/" + relative + "." + std::to_string(n);
  }
  return to;
}

bool WriteNewFile(const std::string& path, const std::string& text) {
  FILE* file = std::fopen(path.c_str(), "wx");
  if (file == nullptr) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = std::fflush(file) == 0 && fsync(fileno(file)) == 0 && ok;
  return std::fclose(file) == 0 && ok;
}

}  // namespace

AssetEditor::AssetEditor(AssetStore& store) : store_(store), folders_(store.UserData()) {}

std::string AssetEditor::StagingPath() {
  return store_.UserData() + "/" + kStagingFolder + "/" + std::to_string(getpid()) + "-" +
         std::to_string(++stagingCounter_);
}

void AssetEditor::RecoverStaging(const std::string& userData) {
  const SafeFolder folders(userData);
  const std::string staging = userData + "/" + kStagingFolder;
  if (!IsFolder(staging)) return;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(staging.c_str()), closedir);
  if (!dir) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  dir.reset();
  std::string error;
  const std::string noteSuffix = kRestoreNoteSuffix;
  for (const std::string& name : names) {
    if (name.size() <= noteSuffix.size() ||
        name.compare(name.size() - noteSuffix.size(), noteSuffix.size(), noteSuffix) != 0) {
      continue;
    }
    const std::string aside = staging + "/" + name.substr(0, name.size() - noteSuffix.size());
    std::ifstream note(staging + "/" + name);
    std::string relative;
    std::getline(note, relative);
    const std::string target = folders.Resolve(std::string(kLocalFolder) + "/" + relative);
    if (!relative.empty() && !target.empty() && !IsFolder(target) && IsFolder(aside)) {
      folders.Move(aside, target, error);
    }
  }
  // The folder itself is a direct child of the root and stays; its entries go.
  for (const std::string& name : names) {
    const std::string path = staging + "/" + name;
    if (IsFolder(path)) {
      folders.RemoveTree(path, error);
    } else {
      unlink(path.c_str());
    }
  }
}

void AssetEditor::ClearStaging() { RecoverStaging(store_.UserData()); }

bool AssetEditor::ReplaceByRenames(const std::string& replacement, const std::string& target,
                                   const std::string& relative, std::string& error,
                                   bool keepReplaced) {
  const std::string aside = StagingPath();
  const std::string note = aside + kRestoreNoteSuffix;
  if (!WriteNewFile(note, relative + "\n")) {
    error = "cannot write " + note;
    return false;
  }
  if (!folders_.Move(target, aside, error)) {
    unlink(note.c_str());
    return false;
  }
  if (!folders_.Move(replacement, target, error)) {
    std::string ignored;
    folders_.Move(aside, target, ignored);
    unlink(note.c_str());
    return false;
  }
  unlink(note.c_str());
  DropReplaced(aside, relative, keepReplaced);
  return true;
}

void AssetEditor::DropReplaced(const std::string& old, const std::string& relative, bool keep) {
  std::string error;
  if (keep) {
    const std::string backups = store_.UserData() + "/" + kBackupsFolder;
    if (folders_.Move(old,
                      FreeBackupPlace(TodaysBackups(store_.UserData()), kLocalFolder, relative),
                      error)) {
      ThinBackupsFolder(Qel::String(backups.c_str()), kBackupDaysKept);
      return;
    }
  }
  folders_.RemoveTree(old, error);
}

bool AssetEditor::Record(const std::string& folderName, const std::string& relative,
                         const KUID& kuid, std::string& error) {
  if (relative.empty()) return store_.RecordChange(nullptr, kuid, &error);
  ScannedAsset asset;
  const std::string path = store_.UserData() + "/" + folderName + "/" + relative;
  if (!ReadAssetFolder(path, folderName, relative, asset, error)) return false;
  if (asset.record.kuid != kuid) {
    error = "the configuration in " + path + " no longer names " + kuid.ToString().CStr();
    return false;
  }
  return store_.RecordChange(&asset, kuid, &error);
}

bool AssetEditor::BeginEdit(const KUID& kuid, AssetRecord& out, std::string& error) {
  std::lock_guard<OwnedMutex> lock(store_.ChangeMutex());
  AssetRecord record;
  if (!store_.GetAsset(kuid, record)) {
    error = "unknown asset";
    return false;
  }
  if (record.folder != kEditingFolder) {
    const std::string copy = StagingPath();
    const std::string editing = store_.UserData() + "/" + kEditingFolder + "/" + record.path;
    if (!store_.MarkChanging(&error) ||
        !folders_.CopyTree(store_.FolderPathOf(record), copy, error)) {
      return false;
    }
    if (!folders_.Move(copy, editing, error)) {
      folders_.RemoveTree(copy, error);
      return false;
    }
    if (!Record(kEditingFolder, record.path, kuid, error)) return false;
  }
  return store_.GetAsset(kuid, out);
}

bool AssetEditor::Commit(const KUID& kuid, std::string& error) {
  std::lock_guard<OwnedMutex> lock(store_.ChangeMutex());
  AssetRecord record;
  if (!store_.GetAsset(kuid, record) || record.folder != kEditingFolder) {
    error = "the asset is not open for editing";
    return false;
  }
  const std::string editing = store_.FolderPathOf(record);
  ScannedAsset check;
  if (!ReadAssetFolder(editing, kEditingFolder, record.path, check, error)) return false;
  if (check.record.kuid != kuid) {
    error = "the edited configuration no longer names the asset";
    return false;
  }
  const std::string copy = StagingPath();
  if (!store_.MarkChanging(&error) || !folders_.CopyTree(editing, copy, error)) return false;
  if (!PlaceInstalled(copy, record.path, error)) return false;
  if (!DropEditingCopy(editing, error)) return false;
  return Record(kLocalFolder, record.path, kuid, error);
}

bool AssetEditor::DropEditingCopy(const std::string& editing, std::string& error) {
  const std::string aside = StagingPath();
  if (!folders_.Move(editing, aside, error)) return false;
  if (removalHook_) removalHook_(aside);
  // The copy is out of the asset folders now; what a failed removal leaves goes at the next start.
  std::string ignored;
  folders_.RemoveTree(aside, ignored);
  return true;
}

std::string AssetEditor::InstalledPath(const std::string& relative) const {
  return store_.UserData() + "/" + kLocalFolder + "/" + relative;
}

bool AssetEditor::PlaceInstalled(const std::string& copy, const std::string& relative,
                                 std::string& error, bool keepReplaced) {
  const std::string local = InstalledPath(relative);
  if (IsFolder(local)) {
    // One step swaps the new folder in; the old one is left in staging and goes after.
    bool unsupported = false;
    if (folders_.Exchange(copy, local, error, &unsupported)) {
      DropReplaced(copy, relative, keepReplaced);
      return true;
    }
    if (unsupported && ReplaceByRenames(copy, local, relative, error, keepReplaced)) return true;
  } else if (folders_.Move(copy, local, error)) {
    return true;
  }
  std::string ignored;
  folders_.RemoveTree(copy, ignored);
  return false;
}

bool AssetEditor::Place(const KUID& kuid, const FolderFiller& fill, ScannedAsset& out,
                        std::string& error, bool keepReplaced) {
  AssetRecord record;
  const bool known = store_.GetAsset(kuid, record);
  if (known && record.folder == kEditingFolder) {
    error = "the asset is open for editing";
    return false;
  }
  const std::string relative = known ? record.path : NewAssetPath(kuid);
  const std::string copy = StagingPath();
  ScannedAsset check;
  bool filled =
      fill(folders_, copy, error) && ReadAssetFolder(copy, kLocalFolder, relative, check, error);
  if (filled && check.record.kuid != kuid) {
    error = "the configuration names another asset";
    filled = false;
  }
  if (!filled) {
    std::string ignored;
    folders_.RemoveTree(copy, ignored);
    return false;
  }
  const std::string local = InstalledPath(relative);
  return PlaceInstalled(copy, relative, error, keepReplaced) &&
         ReadAssetFolder(local, kLocalFolder, relative, out, error);
}

bool AssetEditor::Install(const KUID& kuid, const FolderFiller& fill, std::string& error,
                          bool keepReplaced) {
  const std::vector<InstallJob> jobs = {{kuid, fill, keepReplaced}};
  std::vector<std::string> errors;
  const bool installed = InstallAll(jobs, errors) == 1;
  if (!installed) error = errors.front();
  return installed;
}

size_t AssetEditor::InstallAll(const std::vector<InstallJob>& jobs, std::vector<std::string>& errors,
                               std::vector<std::string>* warnings) {
  std::lock_guard<OwnedMutex> lock(store_.ChangeMutex());
  errors.assign(jobs.size(), std::string());
  if (warnings != nullptr) warnings->assign(jobs.size(), std::string());
  std::string error;
  if (!store_.MarkChanging(&error)) {
    errors.assign(jobs.size(), error);
    return 0;
  }
  std::vector<ScannedAsset> placed;
  std::vector<size_t> placedJobs;
  // The renames are made durable together before the index names them: one sync per folder
  // rather than two per asset.
  std::set<std::string> pendingSyncs;
  folders_.CollectSyncs(&pendingSyncs);
  for (size_t i = 0; i < jobs.size(); ++i) {
    const bool again = std::any_of(placed.begin(), placed.end(), [&](const ScannedAsset& a) {
      return a.record.kuid == jobs[i].kuid;
    });
    ScannedAsset asset;
    if (again) {
      errors[i] = "the asset is listed twice";
    } else if (Place(jobs[i].kuid, jobs[i].fill, asset, errors[i], jobs[i].keepReplaced)) {
      if (warnings != nullptr) (*warnings)[i] = asset.warning;
      placed.push_back(std::move(asset));
      placedJobs.push_back(i);
    }
  }
  folders_.CollectSyncs(nullptr);
  SafeFolder::SyncFolders(pendingSyncs);
  // One index change for the whole set: each change reads every content folder.
  if (!store_.RecordChanges(placed, KUID::Null(), &error)) {
    for (const size_t i : placedJobs) errors[i] = error;
    return 0;
  }
  return placed.size();
}

bool AssetEditor::Revert(const KUID& kuid, std::string& error) {
  std::lock_guard<OwnedMutex> lock(store_.ChangeMutex());
  AssetRecord record;
  if (!store_.GetAsset(kuid, record) || record.folder != kEditingFolder) {
    error = "the asset is not open for editing";
    return false;
  }
  if (!store_.MarkChanging(&error) || !DropEditingCopy(store_.FolderPathOf(record), error)) {
    return false;
  }
  const bool installed = IsFolder(InstalledPath(record.path));
  return Record(kLocalFolder, installed ? record.path : std::string(), kuid, error);
}

bool AssetEditor::Delete(const KUID& kuid, bool keepBackup, std::string& error,
                         std::string* keptIn) {
  std::lock_guard<OwnedMutex> lock(store_.ChangeMutex());
  AssetRecord record;
  if (!store_.GetAsset(kuid, record)) {
    error = "unknown asset";
    return false;
  }
  // No changing mark and no folder syncs: a delete cut short leaves an asset folder gone that
  // the index still names, which the content fingerprint shows at the next start, and the index
  // is built anew. So one durable write, the index's, is all that a delete waits for.
  std::set<std::string> unsynced;
  folders_.CollectSyncs(&unsynced);
  // Without a backup the folders go to staging, which a start clears should the removal below
  // be cut short.
  const std::string backups = store_.UserData() + "/" + kBackupsFolder;
  const std::string dated = keepBackup ? TodaysBackups(store_.UserData()) : StagingPath();
  for (const char* folder : {kEditingFolder, kLocalFolder}) {
    const std::string from = store_.UserData() + "/" + folder + "/" + record.path;
    if (!IsFolder(from)) continue;
    if (!folders_.Move(from, FreeBackupPlace(dated, folder, record.path), error)) {
      folders_.CollectSyncs(nullptr);
      return false;
    }
  }
  folders_.CollectSyncs(nullptr);
  const bool recorded = store_.RecordChange(nullptr, kuid, &error);
  if (!keepBackup) {
    std::string ignored;
    if (IsFolder(dated)) folders_.RemoveTree(dated, ignored);
    return recorded;
  }
  if (keptIn != nullptr) *keptIn = dated;
  // Only the newest days are kept, so the folder stays bounded however much is deleted.
  ThinBackupsFolder(Qel::String(backups.c_str()), kBackupDaysKept);
  return recorded;
}

bool AssetEditor::Create(const KUID& requested, AssetRecord& out, std::string& error) {
  const KUID kuid = requested.IsNull() ? store_.GenerateKuid() : requested;
  std::lock_guard<OwnedMutex> lock(store_.ChangeMutex());
  AssetRecord existing;
  if (kuid.IsNull() || store_.GetAsset(kuid, existing)) {
    error = kuid.IsNull() ? "no KUID could be made" : "the asset exists already";
    return false;
  }
  const std::string relative = NewAssetPath(kuid);
  const std::string copy = StagingPath();
  if (!store_.MarkChanging(&error) || !folders_.MakeFolders(copy, error)) return false;
  const std::string config = std::string("kuid ") + kuid.ToString().CStr() + "\n";
  if (!WriteNewFile(copy + "/config.txt", config) ||
      !folders_.Move(copy, store_.UserData() + "/" + kEditingFolder + "/" + relative, error)) {
    if (error.empty()) error = "cannot write the new configuration";
    folders_.RemoveTree(copy, error);
    return false;
  }
  if (!Record(kEditingFolder, relative, kuid, error)) return false;
  return store_.GetAsset(kuid, out);
}

}  // namespace PymDaemonSrv
