#include "daemon/asset_editor.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "assetdata/cdp_extract.h"
#include "core/file_util.h"
#include "core/time_date.h"
#include "daemon/asset_folder_checks.h"
#include "daemon/asset_scanner.h"
#include "daemon/asset_store.h"
#include "qel/log.h"

namespace PymDaemonSrv {

namespace {

// Beside a folder set aside in staging: the path below "local" where it belongs. A start puts
// the folder back when nothing is there.
constexpr const char* kRestoreNoteSuffix = ".restore";
// Beside a replaced folder that an install keeps: the path below "local" it was replaced at. A
// start moves the folder into the backups rather than removing it.
constexpr const char* kKeepNoteSuffix = ".keep";

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string ReadNote(const std::string& path) {
  std::ifstream note(path);
  std::string relative;
  std::getline(note, relative);
  return relative;
}

// Today's dated folder of the backups folder.
std::string TodaysBackups(const std::string& userData) {
  TTimeDate today;
  today.SetToNow();
  return userData + "/" + AssetEditor::kBackupsFolder + "/" + BackupFolderName(today).CStr();
}

// Where the folder `relative` of the content folder `folder` goes in a dated backup folder: an
// asset deleted twice in a day keeps both copies, the later one under a numbered name.
std::string FreeBackupPlace(const std::string& dated, const char* folder,
                            const std::string& relative) {
  std::string to = dated + "/" + folder + "/" + relative;
  for (u32 n = 1; Exists(to); ++n) {
    to = dated + "/" + folder + "/" + relative + "." + std::to_string(n);
  }
  return to;
}

// Where an install keeps the version of `relative` that it replaces. Reinstalling from a working
// folder after each change would fill the disk with versions nobody asked for, so a day keeps
// one: the version it began with. When the place is taken, the replaced version is not kept.
std::string KeptVersionPlace(const std::string& userData, const std::string& relative) {
  return TodaysBackups(userData) + "/" + AssetEditor::kLocalFolder + "/" + relative;
}

bool WriteNewFile(const std::string& path, const std::string& text) {
  FILE* file = std::fopen(path.c_str(), "wx");
  if (file == nullptr) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = std::fflush(file) == 0 && fsync(fileno(file)) == 0 && ok;
  return std::fclose(file) == 0 && ok;
}

// Keeps only the newest days, so the backups stay bounded however much goes there; what cannot
// be removed is a warning when `warnings` is given.
void ThinBackups(const std::string& userData, AssetEditor::Warnings* warnings = nullptr) {
  const std::string backups = userData + "/" + AssetEditor::kBackupsFolder;
  if (!ThinBackupsFolder(Qel::String(backups.c_str()), AssetEditor::kBackupDaysKept) &&
      warnings != nullptr) {
    warnings->push_back("old backups could not all be removed from " + backups);
  }
}

}  // namespace

AssetEditor::AssetEditor(AssetStore& store) : store_(store), folders_(store.UserData()) {}

std::string AssetEditor::LeftOutWarning(const std::string& path) {
  return "not installed (not a file or folder): " + path;
}

void AssetEditor::WarnLeftOut(std::vector<std::string> skipped, const char* what,
                              Warnings* warnings) {
  if (warnings == nullptr) return;
  std::sort(skipped.begin(), skipped.end());
  for (const std::string& path : skipped) {
    warnings->push_back(what == nullptr ? LeftOutWarning(path)
                                        : std::string(what) + " (not a file or folder): " + path);
  }
}

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
  // Folders that could not go where their note says stay, with the note, for the next start.
  std::set<std::string> stay;
  std::string error;
  for (const std::string& name : names) {
    if (!EndsWith(name, kRestoreNoteSuffix)) continue;
    const std::string aside = name.substr(0, name.size() - std::strlen(kRestoreNoteSuffix));
    const std::string relative = ReadNote(staging + "/" + name);
    const std::string target = folders.Resolve(std::string(kLocalFolder) + "/" + relative);
    if (relative.empty() || target.empty() || IsFolder(target) ||
        !IsFolder(staging + "/" + aside)) {
      continue;
    }
    if (!folders.Move(staging + "/" + aside, target, error)) stay.insert({aside, name});
  }
  for (const std::string& name : names) {
    if (!EndsWith(name, kKeepNoteSuffix)) continue;
    const std::string aside = name.substr(0, name.size() - std::strlen(kKeepNoteSuffix));
    const std::string relative = ReadNote(staging + "/" + name);
    const std::string place = KeptVersionPlace(userData, relative);
    if (stay.count(aside) != 0 || !IsFolder(staging + "/" + aside) ||
        folders.Resolve(std::string(kLocalFolder) + "/" + relative).empty() || Exists(place)) {
      continue;
    }
    if (folders.Move(staging + "/" + aside, place, error)) {
      ThinBackups(userData);
    } else {
      Qel::Log::Get("PymDaemon")
          .Printf(Qel::Log::kMessage, "PymDaemon> a replaced version stays in %s/%s: %s",
                  staging.c_str(), aside.c_str(), error.c_str());
      stay.insert({aside, name});
    }
  }
  // The folder itself is a direct child of the root and stays; its entries go.
  for (const std::string& name : names) {
    if (stay.count(name) != 0) continue;
    const std::string path = staging + "/" + name;
    if (IsFolder(path)) {
      folders.RemoveTree(path, error);
    } else {
      unlink(path.c_str());
    }
  }
}

void AssetEditor::ClearStaging() { RecoverStaging(store_.UserData()); }

std::string AssetEditor::InstalledPath(const std::string& relative) const {
  return store_.UserData() + "/" + kLocalFolder + "/" + relative;
}

bool AssetEditor::HoldsOtherAsset(const std::string& path, const char* folderName,
                                  const std::string& relative, const KUID& kuid) {
  const KUID held = HeldKuid(path, folderName, relative);
  return !held.IsNull() && held != kuid;
}

bool AssetEditor::ReplaceByRenames(const std::string& replacement, const std::string& target,
                                   Swap& swap, std::string& error) {
  const std::string aside = StagingPath();
  const std::string note = aside + kRestoreNoteSuffix;
  const std::string keepNote = aside + kKeepNoteSuffix;
  if (!WriteNewFile(note, swap.relative + "\n") ||
      (swap.keep && !WriteNewFile(keepNote, swap.relative + "\n"))) {
    error = "cannot write " + note;
    unlink(note.c_str());
    return false;
  }
  if (!folders_.Move(target, aside, error)) {
    unlink(note.c_str());
    unlink(keepNote.c_str());
    return false;
  }
  if (!folders_.Move(replacement, target, error)) {
    // The notes stay until the old folder is back: a start puts it back otherwise.
    std::string back;
    if (!folders_.Move(aside, target, back)) {
      error += "; the installed folder waits in " + aside + " for the next start: " + back;
      return false;
    }
    unlink(note.c_str());
    unlink(keepNote.c_str());
    return false;
  }
  swap.old = aside;
  swap.byRenames = true;
  return true;
}

bool AssetEditor::SwapIn(const std::string& copy, const std::string& relative, bool keep,
                         Swap& swap, std::string& error) {
  swap = Swap{relative, std::string(), false, keep};
  const std::string local = InstalledPath(relative);
  if (!IsFolder(local)) {
    if (folders_.Move(copy, local, error)) return true;
  } else {
    // The note goes first: a kill right after the swap must not lose the version kept.
    const std::string keepNote = copy + kKeepNoteSuffix;
    bool unsupported = false;
    if (keep && !WriteNewFile(keepNote, relative + "\n")) {
      error = "cannot write " + keepNote;
    } else if (folders_.Exchange(copy, local, error, &unsupported)) {
      swap.old = copy;
      return true;
    } else if (unsupported) {
      unlink(keepNote.c_str());
      if (ReplaceByRenames(copy, local, swap, error)) return true;
    }
    unlink(keepNote.c_str());
  }
  std::string ignored;
  folders_.RemoveTree(copy, ignored);
  return false;
}

bool AssetEditor::SwapBack(const Swap& swap, std::string& error) {
  const std::string local = InstalledPath(swap.relative);
  // Where the folder that was placed ends up.
  std::string placed = swap.old;
  std::string why;
  bool back = false;
  if (swap.old.empty() || swap.byRenames) {
    placed = StagingPath();
    back = folders_.Move(local, placed, why) &&
           (swap.old.empty() || folders_.Move(swap.old, local, why));
  } else {
    back = folders_.Exchange(swap.old, local, why);
  }
  if (!back) {
    error += "; the folder replaced in " + local + " could not be put back: " + why;
    return false;
  }
  if (!swap.old.empty()) {
    unlink((swap.old + kRestoreNoteSuffix).c_str());
    unlink((swap.old + kKeepNoteSuffix).c_str());
  }
  folders_.RemoveTree(placed, why);
  return true;
}

void AssetEditor::Discard(const std::string& aside, Warnings* warnings) {
  if (removalHook_) removalHook_(aside);
  // The folder is out of the asset folders now; what a failed removal leaves goes at the next
  // start.
  std::string error;
  if (!folders_.RemoveTree(aside, error) && warnings != nullptr) {
    warnings->push_back("left in staging until the next start: " + error);
  }
}

void AssetEditor::Settle(const Swap& swap, Warnings* warnings) {
  if (swap.old.empty()) return;
  unlink((swap.old + kRestoreNoteSuffix).c_str());
  const std::string keepNote = swap.old + kKeepNoteSuffix;
  const std::string place = KeptVersionPlace(store_.UserData(), swap.relative);
  if (!swap.keep || Exists(place)) {
    unlink(keepNote.c_str());
    Discard(swap.old, warnings);
    return;
  }
  std::string error;
  if (!folders_.Move(swap.old, place, error)) {
    if (warnings != nullptr) {
      warnings->push_back("the replaced version is not in the backups (" + error +
                          "); it stays in " + swap.old + " until a start moves it there");
    }
    return;
  }
  unlink(keepNote.c_str());
  ThinBackups(store_.UserData(), warnings);
}

bool AssetEditor::Record(const std::string& folderName, const std::string& relative,
                         const KUID& kuid, std::string& error, Warnings* warnings) {
  if (recordHook_) recordHook_();
  ScannedAsset other;
  if (relative.empty() && FindUnindexedFolderOf(store_, kuid, other)) {
    if (!store_.RecordChange(&other, kuid, &error)) return false;
    if (warnings != nullptr) {
      warnings->push_back("the asset stays installed: " + store_.FolderPathOf(other.record) +
                          " holds it too");
    }
    return true;
  }
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

bool AssetEditor::BeginEdit(const KUID& kuid, AssetRecord& out, std::string& error,
                            Warnings* warnings) {
  std::lock_guard<OwnedMutex> lock(store_.ChangeMutex());
  AssetRecord record;
  if (!store_.GetAsset(kuid, record)) {
    error = "unknown asset";
    return false;
  }
  if (record.folder != kEditingFolder) {
    const std::string copy = StagingPath();
    const std::string editing = store_.UserData() + "/" + kEditingFolder + "/" + record.path;
    std::vector<std::string> skipped;
    if (!store_.MarkChanging(&error) ||
        !folders_.CopyTree(store_.FolderPathOf(record), copy, error, &skipped)) {
      return false;
    }
    if (!folders_.Move(copy, editing, error)) {
      folders_.RemoveTree(copy, error);
      return false;
    }
    if (!Record(kEditingFolder, record.path, kuid, error)) {
      std::string ignored;
      if (folders_.Move(editing, copy, ignored)) folders_.RemoveTree(copy, ignored);
      return false;
    }
    WarnLeftOut(std::move(skipped), "not copied for editing", warnings);
  }
  return store_.GetAsset(kuid, out);
}

bool AssetEditor::Commit(const KUID& kuid, std::string& error, Warnings* warnings) {
  std::lock_guard<OwnedMutex> lock(store_.ChangeMutex());
  AssetRecord record;
  if (!store_.GetAsset(kuid, record) || record.folder != kEditingFolder) {
    error = "the asset is not open for editing";
    return false;
  }
  const std::string editing = store_.FolderPathOf(record);
  // What is installed is the copy, so the copy is what is checked, before anything changes: the
  // editing folder may change meanwhile, and the copy leaves out links.
  const std::string copy = StagingPath();
  std::vector<std::string> skipped;
  std::vector<std::string> changed;
  if (!folders_.CopyTree(editing, copy, error, &skipped, &changed)) return false;
  ScannedAsset check;
  // A save that came while the copy was made would be lost with the editing copy.
  bool usable = changed.empty();
  if (!usable) error = "the editing copy changed while it was committed; commit again";
  for (const std::string& name : skipped) {
    if (usable && IsConfigFileName(name)) {
      error = "the configuration " + editing + "/" + name + " is not a file";
      usable = false;
    }
  }
  usable = usable && ReadAssetFolder(copy, kLocalFolder, record.path, check, error);
  if (usable && check.record.kuid != kuid) {
    error = "the edited configuration no longer names the asset";
    usable = false;
  }
  // A copy given a new KUID is a new asset: the folder it was copied from stays the other's.
  const std::string relative =
      usable ? FolderForAsset(store_.UserData(), kLocalFolder, record.path, kuid, error) : "";
  usable = usable && !relative.empty();
  std::string ignored;
  if (!usable || !store_.MarkChanging(&error)) {
    folders_.RemoveTree(copy, ignored);
    return false;
  }
  const std::string aside = StagingPath();
  if (!folders_.Move(editing, aside, error)) {
    folders_.RemoveTree(copy, ignored);
    return false;
  }
  Swap swap;
  const bool swapped = SwapIn(copy, relative, false, swap, error);
  if (!swapped || !Record(kLocalFolder, relative, kuid, error)) {
    if (swapped) SwapBack(swap, error);
    if (!folders_.Move(aside, editing, ignored)) {
      error += "; the editing copy waits in " + aside + ": " + ignored;
    }
    return false;
  }
  Discard(aside, warnings);
  Settle(swap, warnings);
  WarnLeftOut(std::move(skipped), nullptr, warnings);
  return true;
}

bool AssetEditor::Place(const InstallJob& job, ScannedAsset& out, Swap& swap, std::string& error) {
  AssetRecord record;
  const bool known = store_.GetAsset(job.kuid, record);
  if (known && record.folder == kEditingFolder) {
    error = "the asset is open for editing";
    return false;
  }
  // A folder that holds another asset is never replaced: the asset goes into one of its own.
  const std::string relative =
      FolderForAsset(store_.UserData(), kLocalFolder, known ? record.path : NewAssetPath(job.kuid),
                     job.kuid, error);
  if (relative.empty()) return false;
  const std::string copy = StagingPath();
  ScannedAsset check;
  bool filled = job.fill(folders_, copy, error) &&
                ReadAssetFolder(copy, kLocalFolder, relative, check, error);
  if (filled && check.record.kuid != job.kuid) {
    error = "the configuration names another asset";
    filled = false;
  }
  if (!filled) {
    std::string ignored;
    folders_.RemoveTree(copy, ignored);
    return false;
  }
  if (!SwapIn(copy, relative, job.keepReplaced, swap, error)) return false;
  if (ReadAssetFolder(InstalledPath(relative), kLocalFolder, relative, out, error)) return true;
  SwapBack(swap, error);
  return false;
}

bool AssetEditor::Install(const KUID& kuid, const FolderFiller& fill, std::string& error,
                          bool keepReplaced, Warnings* warnings) {
  const std::vector<InstallJob> jobs = {{kuid, fill, keepReplaced}};
  std::vector<std::string> errors;
  std::vector<Warnings> jobWarnings;
  const bool installed = InstallAll(jobs, errors, &jobWarnings) == 1;
  if (!installed) error = errors.front();
  if (warnings != nullptr) *warnings = jobWarnings.front();
  return installed;
}

size_t AssetEditor::InstallAll(const std::vector<InstallJob>& jobs,
                               std::vector<std::string>& errors, std::vector<Warnings>* warnings) {
  std::lock_guard<OwnedMutex> lock(store_.ChangeMutex());
  errors.assign(jobs.size(), std::string());
  if (warnings != nullptr) warnings->assign(jobs.size(), Warnings());
  std::string error;
  if (!store_.MarkChanging(&error)) {
    errors.assign(jobs.size(), error);
    return 0;
  }
  std::vector<ScannedAsset> placed;
  std::vector<Swap> swaps;
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
    Swap swap;
    if (again) {
      errors[i] = "the asset is listed twice";
    } else if (Place(jobs[i], asset, swap, errors[i])) {
      if (warnings != nullptr && !asset.warning.empty()) (*warnings)[i].push_back(asset.warning);
      placed.push_back(std::move(asset));
      swaps.push_back(std::move(swap));
      placedJobs.push_back(i);
    }
  }
  folders_.CollectSyncs(nullptr);
  SafeFolder::SyncFolders(pendingSyncs);
  // One index change for the whole set: each change reads every content folder.
  if (recordHook_) recordHook_();
  if (!store_.RecordChanges(placed, KUID::Null(), &error)) {
    // Every folder placed goes back, the last first: the index still names the old ones.
    for (size_t k = swaps.size(); k-- > 0;) SwapBack(swaps[k], error);
    for (const size_t i : placedJobs) errors[i] = error;
    return 0;
  }
  for (size_t k = 0; k < swaps.size(); ++k) {
    Settle(swaps[k], warnings != nullptr ? &(*warnings)[placedJobs[k]] : nullptr);
  }
  return placed.size();
}

bool AssetEditor::Revert(const KUID& kuid, std::string& error, Warnings* warnings) {
  std::lock_guard<OwnedMutex> lock(store_.ChangeMutex());
  AssetRecord record;
  if (!store_.GetAsset(kuid, record) || record.folder != kEditingFolder) {
    error = "the asset is not open for editing";
    return false;
  }
  const std::string editing = store_.FolderPathOf(record);
  if (!CheckHoldsAsset(editing, kEditingFolder, record.path, kuid, error)) return false;
  const std::string installed = InstalledPath(record.path);
  const bool paired =
      IsFolder(installed) && !HoldsOtherAsset(installed, kLocalFolder, record.path, kuid);
  const std::string aside = StagingPath();
  if (!store_.MarkChanging(&error) || !folders_.Move(editing, aside, error)) return false;
  if (!Record(kLocalFolder, paired ? record.path : std::string(), kuid, error, warnings)) {
    std::string back;
    if (!folders_.Move(aside, editing, back)) {
      error += "; the editing copy waits in " + aside + ": " + back;
    }
    return false;
  }
  Discard(aside, warnings);
  return true;
}

bool AssetEditor::Delete(const KUID& kuid, bool keepBackup, std::string& error, std::string* keptIn,
                         Warnings* warnings) {
  std::lock_guard<OwnedMutex> lock(store_.ChangeMutex());
  AssetRecord record;
  if (!store_.GetAsset(kuid, record)) {
    error = "unknown asset";
    return false;
  }
  if (!CheckHoldsAsset(store_.FolderPathOf(record), record.folder, record.path, kuid, error) ||
      !store_.MarkChanging(&error)) {
    return false;
  }
  // No folder syncs: the mark is set, and a start that finds the folders otherwise than the
  // index says builds the index anew. So the index's write is all a delete waits for.
  std::set<std::string> unsynced;
  folders_.CollectSyncs(&unsynced);
  // Without a backup the folders go to staging, which a start clears should the removal below
  // be cut short.
  const std::string dated = keepBackup ? TodaysBackups(store_.UserData()) : StagingPath();
  std::vector<std::pair<std::string, std::string>> moved;
  bool done = true;
  for (const char* folder : {kEditingFolder, kLocalFolder}) {
    const std::string from = store_.UserData() + "/" + folder + "/" + record.path;
    if (!IsFolder(from) ||
        (record.folder != folder && HoldsOtherAsset(from, folder, record.path, kuid))) {
      continue;
    }
    const std::string to = FreeBackupPlace(dated, folder, record.path);
    done = folders_.Move(from, to, error);
    if (!done) break;
    moved.emplace_back(from, to);
  }
  folders_.CollectSyncs(nullptr);
  done = done && Record(kLocalFolder, std::string(), kuid, error, warnings);
  if (!done) {
    for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
      std::string back;
      if (!folders_.Move(it->second, it->first, back)) {
        error += "; " + it->first + " waits in " + it->second + ": " + back;
      }
    }
    return false;
  }
  if (!keepBackup) {
    if (IsFolder(dated)) Discard(dated, warnings);
    return true;
  }
  if (keptIn != nullptr) *keptIn = dated;
  ThinBackups(store_.UserData(), warnings);
  return true;
}

bool AssetEditor::Create(const KUID& requested, AssetRecord& out, std::string& error) {
  const KUID kuid = requested.IsNull() ? store_.GenerateKuid() : requested;
  std::lock_guard<OwnedMutex> lock(store_.ChangeMutex());
  AssetRecord existing;
  if (kuid.IsNull() || store_.GetAsset(kuid, existing)) {
    error = kuid.IsNull() ? "no KUID could be made" : "the asset exists already";
    return false;
  }
  const std::string relative =
      FolderForAsset(store_.UserData(), kEditingFolder, NewAssetPath(kuid), kuid, error);
  if (relative.empty()) return false;
  const std::string copy = StagingPath();
  if (!store_.MarkChanging(&error) || !folders_.MakeFolders(copy, error)) return false;
  const std::string config = std::string("kuid ") + kuid.ToString().CStr() + "\n";
  const std::string editing = store_.UserData() + "/" + kEditingFolder + "/" + relative;
  if (!WriteNewFile(copy + "/config.txt", config) || !folders_.Move(copy, editing, error)) {
    if (error.empty()) error = "cannot write the new configuration";
    folders_.RemoveTree(copy, error);
    return false;
  }
  if (!Record(kEditingFolder, relative, kuid, error)) {
    // An asset the index does not name must not turn up at the next start.
    std::string ignored;
    if (folders_.Move(editing, copy, ignored)) folders_.RemoveTree(copy, ignored);
    return false;
  }
  return store_.GetAsset(kuid, out);
}

}  // namespace PymDaemonSrv
