#include "daemon/asset_editor.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
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
#include "daemon/change_record.h"
#include "qel/log.h"

namespace PymDaemonSrv {

namespace {

// Whether something is known to be at `path`. A name that cannot be looked at is given anyway,
// where whatever takes it fails on a name that exists (exclusive mkdir, a rename that replaces
// nothing), and a place it cannot see is looked at again by the change that fills it.
bool Taken(const std::string& path) {
  std::string ignored;
  const Seen seen = LookAt(path, ignored);
  return seen == Seen::kFolder || seen == Seen::kOther;
}

// Whether a folder is at `path` (`folder`); false, with the reason in `error`, when that cannot be
// told: a change then stops before it moves anything, rather than take the folder for gone.
bool LookForFolder(const std::string& path, bool& folder, std::string& error) {
  const Seen seen = LookAt(path, error);
  folder = seen == Seen::kFolder;
  return seen != Seen::kUnknown;
}

// Today's dated folder of the backups folder, below UserData.
std::string TodaysBackups() {
  TTimeDate today;
  today.SetToNow();
  return std::string(AssetEditor::kBackupsFolder) + "/" + BackupFolderName(today).CStr();
}

// UserData's folders, where only the backups may lead elsewhere: another disk, through a link or
// a mount.
SafeFolder UserDataFolders(const std::string& userData) {
  return SafeFolder(userData, AssetEditor::kBackupsFolder);
}

// Where the folder `relative` of the content folder `folder` goes in today's backup folder, below
// UserData: an asset deleted twice in a day keeps both copies, the later one under a numbered
// name. Empty, with the reason in `error`, when a place cannot be looked at.
std::string FreeBackupPlace(const std::string& userData, const char* folder,
                            const std::string& relative, std::string& error) {
  const std::string free =
      FreePlace(userData + "/", TodaysBackups() + "/" + folder + "/" + relative, error);
  return free.empty() ? free : free.substr(userData.size() + 1);
}

// Moves the folder `path` to `place` below `userData`, found by FreeBackupPlace (empty when it
// found none): the place, or empty, with the reason in `error`.
std::string MoveToBackups(const std::string& userData, const std::string& path,
                          const std::string& place, std::string& error) {
  return !place.empty() && UserDataFolders(userData).Move(path, userData + "/" + place, error)
             ? place
             : std::string();
}

// What begins every name this editor gives in staging, and every change id: a pid alone repeats
// in the next daemon of a container (each may be pid 4), whose names would then fall on folders
// that wait in staging and on records that name them. The start time leads, so that the records
// of a store sort in the order they were made; a random part keeps two daemons of one second and
// one pid apart.
std::string DaemonNamePart() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  u32 random = 0;
  if (getrandom(&random, sizeof random, 0) != ssize_t(sizeof random)) {
    random = u32(now.tv_nsec) ^ u32(uintptr_t(&now));
  }
  char part[64];
  std::snprintf(part, sizeof part, "%010llx-%d-%08x", static_cast<unsigned long long>(now.tv_sec),
                int(getpid()), random);
  return part;
}

bool WriteNewFile(const std::string& path, const std::string& text) {
  FILE* file = std::fopen(path.c_str(), "wx");
  if (file == nullptr) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = std::fflush(file) == 0 && fsync(fileno(file)) == 0 && ok;
  return std::fclose(file) == 0 && ok;
}

// An older build set folders aside in staging with a note beside each, "NAME.restore" (the path
// below "local" it belongs at) or "NAME.keep" (a replaced version to keep in the backups). Each
// goes where its note says when that place is free; those that cannot, and their notes, go to
// `stay`.
void RecoverNotedFolders(const SafeFolder& folders, const std::vector<std::string>& names,
                         std::set<std::string>& stay, std::vector<std::string>& problems) {
  const std::string staging = folders.Root() + "/" + AssetEditor::kStagingFolder + "/";
  for (const auto& [suffix, restore] : {std::pair(".restore", true), {".keep", false}}) {
    const std::string end = suffix;
    for (const std::string& name : names) {
      if (name.size() <= end.size() || name.compare(name.size() - end.size(), end.size(), end)) {
        continue;
      }
      const std::string aside = name.substr(0, name.size() - end.size());
      std::ifstream note(staging + name);
      std::string relative;
      std::getline(note, relative);
      const std::string below = std::string(AssetEditor::kLocalFolder) + "/" + relative;
      const std::string target = folders.Resolve(restore ? below : TodaysBackups() + "/" + below);
      std::string error;
      if (stay.count(aside) != 0 || target.empty() ||
          LookAt(staging + aside, error) != Seen::kFolder ||
          LookAt(target, error) != Seen::kNothing || folders.Move(staging + aside, target, error)) {
        continue;
      }
      problems.push_back("a folder set aside stays in " + staging + aside + ": " + error);
      stay.insert({aside, name});
    }
  }
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

AssetEditor::AssetEditor(AssetStore& store)
    : store_(store), folders_(UserDataFolders(store.UserData())), namePart_(DaemonNamePart()) {}

SafeFolder& AssetEditor::Folders() {
  // The editor is made before the store opens: its folders follow the store's, so that no change
  // reaches outside UserData.
  if (folders_.Root() != store_.UserData()) folders_ = UserDataFolders(store_.UserData());
  return folders_;
}

std::string AssetEditor::LeftOutWarning(const std::string& path) {
  return "not installed (not a file or folder): " + path;
}

std::string AssetEditor::NextName() {
  char counter[24];
  std::snprintf(counter, sizeof counter, "-%06llu",
                static_cast<unsigned long long>(++stagingCounter_));
  return namePart_ + counter;
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
  std::string path;
  do {
    path = store_.UserData() + "/" + kStagingFolder + "/" + NextName();
  } while (Taken(path));
  return path;
}

std::vector<std::string> AssetEditor::RecoverStaging(const std::string& userData,
                                                     std::vector<ChangeRecord>* unwritten) {
  std::vector<std::string> problems;
  const SafeFolder folders = UserDataFolders(userData);
  const std::string staging = userData + "/" + kStagingFolder;
  std::vector<ChangeRecord> changes;
  std::string error;
  bool complete = false;
  std::vector<std::string> names;
  if (!AssetStore::ReadChanges(userData, changes, complete, &error)) {
    ListFolderNames(staging, names);
    std::string kept;
    for (const std::string& name : names) kept += (kept.empty() ? "; it keeps " : ", ") + name;
    problems.push_back("nothing in " + staging +
                       " is touched until the index can be read: " + error + kept);
  } else {
    // Each folder that a record still names stays where it waits.
    std::set<std::pair<u64, u64>> named;
    for (auto later = changes.begin(); later != changes.end();) {
      ChangeRecord change = *later++;
      // A folder that a later change of the asset moved on is that change's to place: this one
      // would move it back where the later one took it from, and find the place taken at every
      // start.
      std::erase_if(change.folders, [&](const ChangeFolder& f) {
        return std::any_of(later, changes.end(), [&](const ChangeRecord& c) {
          return std::any_of(c.folders.begin(), c.folders.end(), [&](const ChangeFolder& g) {
            return g.device == f.device && g.inode == f.inode;
          });
        });
      });
      const std::vector<ChangeFolder> waiting =
          FinishChange(folders, change, {}, problems, TodaysBackups());
      const bool kept = AssetStore::KeepChange(userData, change.id, waiting, &error);
      if (!kept) {
        problems.push_back("the record of a change stays in the index: " + error +
                           "; the next change writes it");
        if (unwritten != nullptr) unwritten->push_back({change.id, waiting});
      }
      for (const ChangeFolder& f : kept ? waiting : change.folders) {
        named.insert({f.device, f.inode});
      }
    }
    ListFolderNames(staging, names);
    std::set<std::string> stay;
    RecoverNotedFolders(folders, names, stay, problems);
    bool backedUp = !changes.empty();
    bool allKept = true;
    // What no record names is kept in today's backups, where the user finds it, never removed:
    // it may be a copy a change made and never moved, but it may as well be the only copy of an
    // edit or of a replaced version whose record a damaged log, or a copied installation, lost.
    for (const std::string& name : names) {
      const std::string path = staging + "/" + name;
      struct stat st {};
      const Seen seen = stay.count(name) != 0 ? Seen::kNothing : LookAt(path, st, error);
      if (seen == Seen::kNothing || seen == Seen::kUnknown ||
          named.count({u64(st.st_dev), u64(st.st_ino)}) != 0) {
        continue;
      }
      const std::string place = KeepInBackups(userData, path, error);
      const bool kept = !place.empty();
      backedUp = backedUp || kept;
      allKept = allKept && kept;
      problems.push_back(kept ? "no change record names " + path + "; kept in " + place
                              : "no change record names " + path + ", which stays there: " + error);
    }
    if (backedUp) ThinBackups(userData);
    if (!complete && allKept && !AssetStore::ForgetLostRecords(userData, &error)) {
      problems.push_back("staging is looked at again at the next start: " + error);
    }
  }
  for (const std::string& problem : problems) {
    Qel::Log::Get("PymDaemon").Printf(Qel::Log::kMessage, "PymDaemon> %s", problem.c_str());
  }
  return problems;
}

std::string AssetEditor::KeepInBackups(const std::string& userData, const std::string& path,
                                       std::string& error) {
  const std::string name = path.substr(path.rfind('/') + 1);
  return MoveToBackups(userData, path, FreeBackupPlace(userData, kStagingFolder, name, error),
                       error);
}

std::string AssetEditor::KeepEditingCopy(const std::string& userData, const std::string& relative,
                                         std::string& error) {
  const std::string editing = userData + "/" + kEditingFolder + "/" + relative;
  std::string why;
  const std::string kept = MoveToBackups(
      userData, editing, FreeBackupPlace(userData, kEditingFolder, relative, why), why);
  if (!kept.empty()) return kept;
  // Out of the edit's way all the same: a start moves on to the backups whatever waits in
  // staging that no change record names.
  std::string name = relative;
  std::replace(name.begin(), name.end(), '/', '-');
  std::string staged = std::string(kStagingFolder) + "/" + kEditingFolder + "-" + name;
  for (u32 n = 1; Taken(userData + "/" + staged); ++n) {
    staged =
        std::string(kStagingFolder) + "/" + kEditingFolder + "-" + name + "." + std::to_string(n);
  }
  error = why;
  std::string ignored;
  return UserDataFolders(userData).Move(editing, userData + "/" + staged, ignored) ? staged
                                                                                   : std::string();
}

std::vector<std::string> AssetEditor::ClearStaging() {
  std::vector<ChangeRecord> unwritten;
  std::vector<std::string> told = RecoverStaging(store_.UserData(), &unwritten);
  store_.OweChanges(std::move(unwritten));
  return told;
}

std::string AssetEditor::InstalledPath(const std::string& relative) const {
  return store_.UserData() + "/" + kLocalFolder + "/" + relative;
}

bool AssetEditor::HoldsOtherAsset(const std::string& path, const char* folderName,
                                  const std::string& relative, const KUID& kuid) {
  const KUID held = HeldKuid(path, folderName, relative);
  return !held.IsNull() && held != kuid;
}

bool AssetEditor::Name(ChangeRecord& change, const std::string& path, const KUID& kuid,
                       const std::string& before, const std::string& after, std::string& error) {
  return NameChangeFolder(change, Folders(), path, kuid, before, after, error);
}

bool AssetEditor::MoveFolder(const std::string& from, const std::string& to, std::string& error) {
  if (moveHook_) moveHook_(from);
  return Folders().Move(from, to, error);
}

bool AssetEditor::SwapIn(const std::string& copy, const std::string& local, std::string& error,
                         std::string* aside) {
  bool replaces = false;
  if (!LookForFolder(local, replaces, error)) return false;
  if (!replaces) return MoveFolder(copy, local, error);
  bool unsupported = !exchange_;
  if (exchange_) {
    if (moveHook_) moveHook_(copy);
    if (aside != nullptr) *aside = copy;
    if (Folders().Exchange(copy, local, error, &unsupported)) return true;
  }
  // Two renames where the file system cannot swap two folders in one step: the change's record
  // tells which folder is which should a kill come in between.
  const std::string staged = StagingPath();
  if (aside != nullptr) *aside = staged;
  return unsupported && MoveFolder(local, staged, error) && MoveFolder(copy, local, error);
}

std::vector<ChangeFolder> AssetEditor::Settle(ChangeRecord change, bool passed,
                                              std::vector<std::string>& problems,
                                              std::set<std::string> moved) {
  for (ChangeFolder& f : change.folders) f.passed = passed;
  std::set<std::string>* outer = Folders().CollectSyncs(&moved);
  std::vector<ChangeFolder> left =
      FinishChange(Folders(), change, {moveHook_, removalHook_, listing_}, problems);
  Folders().CollectSyncs(outer);
  // The change stands, or is undone, whatever the syncs say: a folder that cannot be synced is
  // told, in the log too, as what a power cut may yet undo.
  std::string folder;
  if (const int failure = SafeFolder::SyncFolders(moved, &folder)) {
    const std::string line = "cannot sync " + folder + ": " + std::strerror(failure) + "; " +
                             (passed ? "the change" : "its undoing") +
                             " may not survive a power cut";
    Qel::Log::Get("PymDaemon")
        .Printf(Qel::Log::kMessage, "PymDaemon> change %s: %s", change.id.c_str(), line.c_str());
    problems.push_back(line);
  }
  return left;
}

bool AssetEditor::End(const ChangeRecord& change, bool passed, std::string& error,
                      Warnings* warnings, std::set<std::string> moved) {
  std::vector<std::string> problems;
  const std::vector<ChangeFolder> waiting = Settle(change, passed, problems, std::move(moved));
  std::string why;
  if (!store_.EndChange(waiting, &why)) {
    problems.push_back("the change is finished again at the next start: " + why);
  }
  for (const std::string& problem : problems) {
    if (!passed) error += "; " + problem;
    if (passed && warnings != nullptr) warnings->push_back(problem);
  }
  return passed;
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

bool AssetEditor::BeginEdit(
    const KUID& kuid, AssetRecord& out, std::string& error, Warnings* warnings,
    const std::function<bool(const std::string& copy, std::string& error)>& note) {
  std::lock_guard<OwnedMutex> lock(store_.ChangeMutex());
  AssetRecord record;
  if (!store_.GetAsset(kuid, record)) {
    error = "unknown asset";
    return false;
  }
  if (record.folder != kEditingFolder) {
    const std::string editing = std::string(kEditingFolder) + "/" + record.path;
    // A folder the index does not name (a copy restored or left by another build) would refuse
    // this edit's move, and every later one: it is kept instead, and the edit goes on.
    const std::string stray = store_.UserData() + "/" + editing;
    bool there = false;
    if (!LookForFolder(stray, there, error)) return false;
    if (there && !HoldsOtherAsset(stray, kEditingFolder, record.path, kuid)) {
      const std::string kept = KeepEditingCopy(store_.UserData(), record.path, error);
      if (kept.empty()) {
        error = "cannot keep the folder " + stray + ", which the index does not name: " + error;
        return false;
      }
      if (warnings != nullptr) {
        warnings->push_back("the folder " + stray + ", which the index did not name, is kept in " +
                            store_.UserData() + "/" + kept + UntilMovedOn(error));
      }
      error.clear();
    }
    const std::string copy = StagingPath();
    ChangeRecord change{NextName(), {}};
    const std::string judged = store_.FaultyVerdictOn(kuid, store_.FolderPathOf(record));
    std::vector<std::string> skipped;
    if (!Folders().CopyTree(store_.FolderPathOf(record), copy, error, &skipped)) return false;
    // A copy without every judged entry is other files than those judged.
    if (skipped.empty()) store_.CarryVerdict(kuid, judged, store_.FolderPathOf(record), copy);
    if ((note && !note(copy, error)) || !Name(change, copy, kuid, "", editing, error) ||
        !store_.BeginChange(change, &error)) {
      std::string ignored;
      Folders().RemoveTree(copy, ignored);
      return false;
    }
    const bool done = MoveFolder(copy, store_.UserData() + "/" + editing, error) &&
                      Record(kEditingFolder, record.path, kuid, error);
    if (!End(change, done, error, nullptr)) return false;
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
  bool folder = false;
  if (!LookForFolder(editing, folder, error)) return false;
  if (!folder) {
    error = "the editing copy " + editing + " is not a folder";
    return false;
  }
  // The commit takes the editing copy as it is at one moment: its signature now, and again once
  // it is set aside, where no save by its path reaches it. A save in between, during the copy or
  // after it, would be lost with the editing copy, or installed with only some of its files: it
  // refuses the commit instead, and the editing copy goes back with it.
  std::string why;
  const std::string moment = SafeFolder::TreeSignature(editing, &why);
  if (moment.empty()) {
    error = "the editing copy cannot be read: " + why;
    return false;
  }
  // What is installed is the copy, so the copy is what is checked, before anything changes: the
  // copy leaves out links.
  const std::string copy = StagingPath();
  std::vector<std::string> skipped;
  const std::string judged = store_.FaultyVerdictOn(kuid, editing);
  if (!Folders().CopyTree(editing, copy, error, &skipped)) return false;
  ScannedAsset check;
  bool usable = true;
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
  const std::string local = InstalledPath(relative);
  const std::string installed = std::string(kLocalFolder) + "/" + relative;
  ChangeRecord change{NextName(), {}};
  bool replaces = false;
  if (!usable || !LookForFolder(local, replaces, error) ||
      !Name(change, editing, kuid, std::string(kEditingFolder) + "/" + record.path, "", error) ||
      !Name(change, copy, kuid, "", installed, error) ||
      (replaces && !Name(change, local, kuid, installed, "", error)) ||
      !store_.BeginChange(change, &error)) {
    std::string ignored;
    Folders().RemoveTree(copy, ignored);
    return false;
  }
  const std::string aside = StagingPath();
  bool done = MoveFolder(editing, aside, error);
  const std::string moved = done ? SafeFolder::TreeSignature(aside, &why) : moment;
  if (moved != moment) {
    error = moved.empty() ? "the editing copy cannot be read: " + why
                          : "the editing copy changed while it was committed; commit again";
    done = false;
  }
  if (done && skipped.empty()) store_.CarryVerdict(kuid, judged, aside, copy);
  done = done && SwapIn(copy, local, error) && Record(kLocalFolder, relative, kuid, error);
  // A program that opened a file of the editing copy before the commit writes on into the copy
  // set aside, which the change would remove: signed once more just before, one that changed, or
  // whose files a program still holds open for writing (its next write would be lost), goes to
  // the backups instead, at once, so that no kill before the record is ended leaves it to a start
  // that would remove it; one that cannot go now goes with the change's other folders.
  std::string late;
  // Why the copy is kept: the file that tells, below the copy, and why it cannot tell.
  std::string file;
  std::string reason;
  enum { kUnwritten, kWritten, kHeld, kUnknown } told = kUnwritten;
  if (done) {
    const std::string last = SafeFolder::TreeSignature(aside, &reason);
    if (last != moment) {
      told = last.empty() ? kUnknown : kWritten;
    } else if (SafeFolder::MayBeHeldForWriting(aside, &file, &reason)) {
      told = reason.empty() ? kHeld : kUnknown;
      file.erase(0, aside.size());
    }
  }
  std::set<std::string> lateSyncs;
  if (told != kUnwritten) {
    late = FreeBackupPlace(store_.UserData(), kEditingFolder, record.path, why);
    Folders().CollectSyncs(&lateSyncs);
    if (late.empty() || !MoveFolder(aside, store_.UserData() + "/" + late, why)) {
      if (late.empty()) late = TodaysBackups() + "/" + kEditingFolder + "/" + record.path;
      change.folders.front().after = late;
    }
    Folders().CollectSyncs(nullptr);
  }
  if (!End(change, done, error, warnings, std::move(lateSyncs))) return false;
  if (told != kUnwritten) {
    // Where the copy is, and no other place: one that could not reach the backups (a copy to
    // another disk that failed, a place that cannot be looked at) stays in staging, as End has
    // said.
    const bool kept = LookAt(aside, why) == Seen::kNothing;
    const std::string place = kept ? store_.UserData() + "/" + late : aside;
    const std::string at = (kept ? "is kept in " : "stays in ") + place;
    const std::string line =
        told == kWritten
            ? "the editing copy was written to after the commit took it; what it held then " + at
        : told == kHeld
            ? "a program still holds " + place + file + " open for writing; the editing copy " + at
            : "cannot tell whether " + (file.empty() ? "the editing copy" : place + file) +
                  " is still written to: " + reason + "; the editing copy " + at;
    Qel::Log::Get("PymDaemon")
        .Printf(Qel::Log::kMessage, "PymDaemon> commit of %s: %s", kuid.ToString().CStr(),
                line.c_str());
    if (warnings != nullptr) warnings->push_back(line);
    ThinBackups(store_.UserData(), warnings);
  }
  WarnLeftOut(std::move(skipped), nullptr, warnings);
  return true;
}

bool AssetEditor::KeptVersionPlace(const std::string& relative,
                                   const std::set<std::string>& claimed, Placing& placing,
                                   std::string& error, bool compare) {
  const std::string today = TodaysBackups() + "/";
  const std::string base = today + kLocalFolder + "/" + relative;
  // The backups may lead to another disk, where the version is copied; a link on the way that
  // leads among UserData's own folders refuses the install, before anything moves: what it leads
  // to may be the replaced folder itself, whose files would then seem kept already.
  const std::string userData = store_.UserData() + "/";
  if (const std::string why = Folders().Refusal(userData + base); !why.empty()) {
    error = "refused to keep the version it replaces in " + userData + base + ": " + why;
    return false;
  }
  std::erase_if(keptDigests_, [&](const auto& kept) { return !kept.first.starts_with(today); });
  const std::string replaced = InstalledPath(relative);
  // Signed once a version kept today may hold the same files, and read at most once; a version
  // that cannot be read is never taken for one kept already. Its identity is signed first: a
  // write from then on, which the reading may or may not have seen, changes it.
  KeptDigest& mine = placing.digest;
  // Its names and sizes, entry by entry: a kept version's bytes are read, in the walk that signs
  // it, only as long as its entries are these.
  std::vector<std::string> mineEntries;
  struct stat was {};
  bool looked = false;
  bool read = false;
  const auto readMine = [&] {
    if (!std::exchange(read, true)) mine.content = SafeFolder::ContentSignature(replaced);
    return !mine.content.empty();
  };
  const auto holds = [&](const std::string& place) {
    placing.keptIn = place;
    placing.identity = mine.tree;
    return true;
  };
  for (u32 n = 0;; ++n) {
    const std::string place = n == 0 ? base : base + "." + std::to_string(n);
    const std::string path = store_.UserData() + "/" + place;
    struct stat st {};
    const Seen seen = LookAt(path, st, error);
    if (seen == Seen::kUnknown) return false;
    // A place another job of the install took, or that a version waiting in staging is owed, is
    // not free; that version is not read to know whether it holds the same files.
    if (seen == Seen::kNothing && claimed.count(place) == 0 && !store_.IsOwed(place)) {
      placing.kept = placing.keptIn = place;
      return true;
    }
    if (seen != Seen::kFolder || !compare) continue;
    if (!std::exchange(looked, true) && StatPath(replaced, was) == 0) {
      const SafeFolder::Signatures signs = SafeFolder::SignTogether(replaced, mineEntries);
      mine.tree = signs.tree;
      mine.shape = signs.shape;
    }
    // The replaced folder itself, reached another way (a bind mount), keeps nothing.
    if (mine.shape.empty() || (st.st_dev == was.st_dev && st.st_ino == was.st_ino)) continue;
    // What is known of a kept version is trusted only where that loses nothing: one known to
    // hold other files is at worst kept twice, and one known to hold the same files is taken for
    // them only while it has the identity it had when it was read.
    const auto known = keptDigests_.find(place);
    if (known != keptDigests_.end() && known->second.shape != mine.shape) continue;
    if (known != keptDigests_.end() && !known->second.content.empty()) {
      if (!readMine() || known->second.content != mine.content) continue;
      if (SafeFolder::TreeSignature(path) == known->second.tree) return holds(place);
    }
    // One walk signs it and reads its bytes, once, only while its names and sizes are the same.
    std::vector<std::string> entries;
    const SafeFolder::Signatures signs = SafeFolder::SignTogether(path, entries, &mineEntries);
    const KeptDigest theirs{signs.tree, signs.shape, signs.content};
    if (theirs.shape.empty()) continue;
    keptDigests_[place] = theirs;
    if (!theirs.content.empty() && readMine() && theirs.content == mine.content) {
      return holds(place);
    }
  }
}

void AssetEditor::KeepIfWritten(Placing& placing, const std::set<std::string>& claimed) {
  // As a commit's last look: a program that holds one of its files open for writing may write
  // into it after the answer, and what it writes would go with the folder.
  if (placing.identity.empty() || (SafeFolder::TreeSignature(placing.aside) == placing.identity &&
                                   !SafeFolder::MayBeHeldForWriting(placing.aside))) {
    return;
  }
  // Moved now, so that no kill before the record is ended leaves it to a start that would remove
  // it; one that cannot go now goes with the change's other folders.
  std::string why;
  if (!KeptVersionPlace(placing.relative, claimed, placing, why, false)) {
    placing.kept = placing.keptIn = TodaysBackups() + "/" + kLocalFolder + "/" + placing.relative;
  }
  if (!MoveFolder(placing.aside, store_.UserData() + "/" + placing.kept, why)) {
    placing.change.folders.back().after = placing.kept;
  }
}

bool AssetEditor::Place(const InstallJob& job, Placing& placing, std::set<std::string>& claimed,
                        std::string& error) {
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
  // The name is free, and only this thread gives names of this editor: whatever is at it after
  // the fill was made by the fill.
  const std::string copy = StagingPath();
  ScannedAsset check;
  bool filled = job.fill(Folders(), copy, error) &&
                ReadAssetFolder(copy, kLocalFolder, relative, check, error);
  if (filled && check.record.kuid != job.kuid) {
    error = "the configuration names another asset";
    filled = false;
  }
  const std::string installed = std::string(kLocalFolder) + "/" + relative;
  const std::string local = InstalledPath(relative);
  placing = Placing{copy, relative, ChangeRecord{NextName(), {}}, {}, {}, {}, {}, {}};
  bool replaces = false;
  filled = filled && LookForFolder(local, replaces, error);
  if (filled && replaces && job.keepReplaced) {
    filled = KeptVersionPlace(relative, claimed, placing, error);
    if (!placing.kept.empty()) claimed.insert(placing.kept);
  }
  filled = filled && Name(placing.change, copy, job.kuid, "", installed, error) &&
           (!replaces || Name(placing.change, local, job.kuid, installed, placing.kept, error));
  if (!filled) {
    std::string ignored;
    Folders().RemoveTree(copy, ignored);
    return false;
  }
  return true;
}

bool AssetEditor::Install(const KUID& kuid, const FolderFiller& fill, std::string& error,
                          bool keepReplaced, Warnings* warnings, std::string* keptIn) {
  const std::vector<InstallJob> jobs = {{kuid, fill, keepReplaced}};
  std::vector<std::string> errors;
  std::vector<Warnings> jobWarnings;
  std::vector<std::string> kept;
  const bool installed = InstallAll(jobs, errors, &jobWarnings, &kept) == 1;
  if (!installed) error = errors.front();
  if (warnings != nullptr) *warnings = jobWarnings.front();
  if (keptIn != nullptr) *keptIn = kept.front();
  return installed;
}

size_t AssetEditor::InstallAll(const std::vector<InstallJob>& jobs,
                               std::vector<std::string>& errors, std::vector<Warnings>* warnings,
                               std::vector<std::string>* keptIn) {
  std::lock_guard<OwnedMutex> lock(store_.ChangeMutex());
  errors.assign(jobs.size(), std::string());
  if (warnings != nullptr) warnings->assign(jobs.size(), Warnings());
  if (keptIn != nullptr) keptIn->assign(jobs.size(), std::string());
  std::vector<size_t> placedJobs;
  std::vector<Placing> placings;
  // The backups places the jobs keep their replaced versions in: none of them is on disk, nor
  // owed, before the change moves them.
  std::set<std::string> claimed;
  ChangeRecord change{NextName(), {}};
  // The fills write their files unsynced; the folders they filled are made durable together
  // before the record that names them, so that a crash after the index write finds whole files
  // in place of the version replaced. Every file and folder in them is a fill's, whichever
  // writer made it.
  Folders().LeaveCopiesUnsynced(true);
  for (size_t i = 0; i < jobs.size(); ++i) {
    const bool again = std::any_of(placedJobs.begin(), placedJobs.end(),
                                   [&](size_t k) { return jobs[k].kuid == jobs[i].kuid; });
    Placing placing;
    if (again) {
      errors[i] = "the asset is listed twice";
    } else if (Place(jobs[i], placing, claimed, errors[i])) {
      change.folders.insert(change.folders.end(), placing.change.folders.begin(),
                            placing.change.folders.end());
      placings.push_back(std::move(placing));
      placedJobs.push_back(i);
    }
  }
  Folders().LeaveCopiesUnsynced(false);
  if (placings.empty()) return 0;
  std::vector<std::string> filled;
  for (const Placing& p : placings) filled.push_back(p.copy);
  std::string error;
  const int syncFailure = SafeFolder::SyncNewTrees(filled);
  if (syncFailure != 0) {
    error = std::string("cannot write the files to disk: ") + std::strerror(syncFailure);
  }
  if (syncFailure != 0 || !store_.BeginChange(change, &error)) {
    for (size_t k = 0; k < placings.size(); ++k) {
      std::string ignored;
      Folders().RemoveTree(placings[k].copy, ignored);
      errors[placedJobs[k]] = error;
    }
    return 0;
  }
  std::vector<ScannedAsset> placed;
  // The renames are made durable together before the index names them: one sync per folder
  // rather than two per asset.
  std::set<std::string> pendingSyncs;
  Folders().CollectSyncs(&pendingSyncs);
  std::vector<std::string> problems;
  std::vector<ChangeFolder> waiting;
  for (size_t k = 0; k < placings.size(); ++k) {
    Placing& p = placings[k];
    std::string& jobError = errors[placedJobs[k]];
    ScannedAsset asset;
    if (SwapIn(p.copy, InstalledPath(p.relative), jobError, &p.aside) &&
        ReadAssetFolder(InstalledPath(p.relative), kLocalFolder, p.relative, asset, jobError)) {
      if (warnings != nullptr && !asset.warning.empty()) {
        (*warnings)[placedJobs[k]].push_back(asset.warning);
      }
      placed.push_back(std::move(asset));
      continue;
    }
    // The index does not name this one: it goes back at once, and the others go on.
    problems.clear();
    const std::vector<ChangeFolder> left = Settle(p.change, false, problems);
    waiting.insert(waiting.end(), left.begin(), left.end());
    for (const std::string& problem : problems) jobError += "; " + problem;
  }
  Folders().CollectSyncs(nullptr);
  std::string unsynced;
  const int unsyncedFailure = SafeFolder::SyncFolders(pendingSyncs, &unsynced);
  if (unsyncedFailure != 0) {
    error = "cannot sync " + unsynced + ": " + std::strerror(unsyncedFailure);
  }
  // One index change for the whole set: each change reads every content folder.
  if (recordHook_) recordHook_();
  const bool recorded =
      unsyncedFailure == 0 && !placed.empty() && store_.RecordChanges(placed, KUID::Null(), &error);
  for (size_t k = 0, n = 0; k < placings.size(); ++k) {
    Placing& p = placings[k];
    if (n == placed.size() || placed[n].record.kuid != jobs[placedJobs[k]].kuid) continue;
    ++n;
    problems.clear();
    std::set<std::string> moved;
    if (recorded) {
      Folders().CollectSyncs(&moved);
      KeepIfWritten(p, claimed);
      Folders().CollectSyncs(nullptr);
    }
    const std::vector<ChangeFolder> left = Settle(p.change, recorded, problems, std::move(moved));
    waiting.insert(waiting.end(), left.begin(), left.end());
    Warnings* jobWarnings = warnings != nullptr ? &(*warnings)[placedJobs[k]] : nullptr;
    if (!recorded) errors[placedJobs[k]] = error;
    for (const std::string& problem : problems) {
      if (!recorded) errors[placedJobs[k]] += "; " + problem;
      if (recorded && jobWarnings != nullptr) jobWarnings->push_back(problem);
    }
    if (recorded && !p.kept.empty() && left.empty()) {
      if (!p.digest.tree.empty()) keptDigests_[p.kept] = p.digest;
      ThinBackups(store_.UserData(), jobWarnings);
    }
    if (recorded && !p.keptIn.empty() && left.empty() && keptIn != nullptr) {
      (*keptIn)[placedJobs[k]] = store_.UserData() + "/" + p.keptIn;
    }
  }
  if (!store_.EndChange(waiting, &error)) {
    const std::string line = "the change is finished again at the next start: " + error;
    Qel::Log::Get("PymDaemon").Printf(Qel::Log::kMessage, "PymDaemon> %s", line.c_str());
    // Each job installed says so too, as a commit does: its record was not ended.
    for (const size_t job : placedJobs) {
      if (recorded && warnings != nullptr && errors[job].empty()) (*warnings)[job].push_back(line);
    }
  }
  return recorded ? placed.size() : 0;
}

bool AssetEditor::Revert(const KUID& kuid, std::string& error, Warnings* warnings,
                         std::string* keptIn) {
  std::lock_guard<OwnedMutex> lock(store_.ChangeMutex());
  AssetRecord record;
  if (!store_.GetAsset(kuid, record) || record.folder != kEditingFolder) {
    error = "the asset is not open for editing";
    return false;
  }
  const std::string editing = store_.FolderPathOf(record);
  if (!CheckHoldsAsset(editing, kEditingFolder, record.path, kuid, error)) return false;
  const std::string installed = InstalledPath(record.path);
  bool paired = false;
  if (!LookForFolder(installed, paired, error)) return false;
  paired = paired && !HoldsOtherAsset(installed, kLocalFolder, record.path, kuid);
  ChangeRecord change{NextName(), {}};
  const std::string kept =
      keptIn != nullptr ? FreeBackupPlace(store_.UserData(), kEditingFolder, record.path, error)
                        : std::string();
  if ((keptIn != nullptr && kept.empty()) ||
      !Name(change, editing, kuid, std::string(kEditingFolder) + "/" + record.path, kept, error) ||
      !store_.BeginChange(change, &error)) {
    return false;
  }
  std::string why;
  bool moved =
      MoveFolder(editing, kept.empty() ? StagingPath() : store_.UserData() + "/" + kept, why);
  // A copy the backups cannot take now is out of the way all the same: the record names its
  // place, where a start moves it on.
  const std::string staged = moved || kept.empty() ? std::string() : StagingPath();
  std::string ignored;
  moved = moved || (!staged.empty() && MoveFolder(editing, staged, ignored));
  if (!moved) error = why;
  const bool done =
      moved && Record(kLocalFolder, paired ? record.path : std::string(), kuid, error, warnings);
  if (!End(change, done, error, warnings)) return false;
  const bool waits = !staged.empty() && LookAt(staged, ignored) != Seen::kNothing;
  error = waits ? why : std::string();
  if (keptIn != nullptr) *keptIn = waits ? staged.substr(store_.UserData().size() + 1) : kept;
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
  if (!CheckHoldsAsset(store_.FolderPathOf(record), record.folder, record.path, kuid, error)) {
    return false;
  }
  // Without a backup the folders go to staging, and from there once the index no longer names
  // the asset.
  ChangeRecord change{NextName(), {}};
  std::vector<std::pair<std::string, std::string>> moves;
  for (const char* folder : {kEditingFolder, kLocalFolder}) {
    const std::string from = store_.UserData() + "/" + folder + "/" + record.path;
    bool there = false;
    if (!LookForFolder(from, there, error)) return false;
    if (!there || (record.folder != folder && HoldsOtherAsset(from, folder, record.path, kuid))) {
      continue;
    }
    const std::string to =
        keepBackup ? FreeBackupPlace(store_.UserData(), folder, record.path, error) : std::string();
    if ((keepBackup && to.empty()) ||
        !Name(change, from, kuid, std::string(folder) + "/" + record.path, to, error)) {
      return false;
    }
    moves.emplace_back(from, keepBackup ? store_.UserData() + "/" + to : StagingPath());
  }
  if (!store_.BeginChange(change, &error)) return false;
  // No folder syncs: the record finds each folder wherever a crash left it, and a start that
  // finds the folders otherwise than the index says builds the index anew. So the index's write
  // is all a delete waits for.
  std::set<std::string> unsynced;
  Folders().CollectSyncs(&unsynced);
  bool done = true;
  for (const auto& [from, to] : moves) done = done && MoveFolder(from, to, error);
  Folders().CollectSyncs(nullptr);
  done = done && Record(kLocalFolder, std::string(), kuid, error, warnings);
  if (!End(change, done, error, warnings)) return false;
  if (keepBackup) {
    // Each folder by the name it took there: a second delete of the day keeps PATH.1.
    if (keptIn != nullptr) {
      for (const auto& [from, to] : moves) *keptIn += (keptIn->empty() ? "" : " and ") + to;
    }
    ThinBackups(store_.UserData(), warnings);
  }
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
  const std::string editing = std::string(kEditingFolder) + "/" + relative;
  const std::string config = std::string("kuid ") + kuid.ToString().CStr() + "\n";
  ChangeRecord change{NextName(), {}};
  if (!Folders().MakeNewFolder(copy, error)) return false;
  if (!WriteNewFile(copy + "/config.txt", config) ||
      !Name(change, copy, kuid, "", editing, error) || !store_.BeginChange(change, &error)) {
    if (error.empty()) error = "cannot write the new configuration";
    std::string ignored;
    Folders().RemoveTree(copy, ignored);
    return false;
  }
  const bool done = MoveFolder(copy, store_.UserData() + "/" + editing, error) &&
                    Record(kEditingFolder, relative, kuid, error);
  return End(change, done, error, nullptr) && store_.GetAsset(kuid, out);
}

}  // namespace PymDaemonSrv
