// Changes to asset folders and their index rows, each whole or not at all: editing copies under
// "editing", commits that replace the installed folder under "local", reverts, deletes into
// "backups" and new assets. The folder work happens beside its target in "staging" and is
// renamed into place; the index row follows in one transaction. A crash in between leaves the
// store's changing mark, and the next start rebuilds the index from the folders.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "assetdata/safe_folder.h"
#include "core/kuid.h"
#include "daemon/asset_record.h"
#include "daemon/asset_scanner.h"
#include "daemon/asset_store.h"

namespace PymDaemonSrv {

class AssetEditor {
 public:
  static constexpr const char* kEditingFolder = "editing";
  static constexpr const char* kLocalFolder = "local";
  static constexpr const char* kStagingFolder = "staging";
  static constexpr const char* kBackupsFolder = "backups";
  // Deleted assets are kept in one dated folder per day ("YY-MM-DD") for this many days.
  static constexpr u32 kBackupDaysKept = 5;

  explicit AssetEditor(AssetStore& store);

  // Puts back an installed folder that a crash left set aside in the staging folder of
  // `userData`, then removes everything else there. Runs before the index is opened, so that a
  // rebuild sees the folder in its place.
  static void RecoverStaging(const std::string& userData);
  void ClearStaging();

  // Makes an editing copy unless the asset has one; `out` is the asset's row afterwards.
  bool BeginEdit(const KUID& kuid, AssetRecord& out, std::string& error);
  // Replaces the installed folder by the editing copy. The copy's configuration must still name
  // the asset.
  bool Commit(const KUID& kuid, std::string& error);
  // Drops the editing copy; false when there is none. An asset that was never committed goes.
  bool Revert(const KUID& kuid, std::string& error);
  // Moves the asset's folders into today's folder of the backups folder (its path goes to
  // `keptIn`), forgets the asset and drops the backups of all but the newest days. Without
  // `keepBackup` the folders are removed instead.
  bool Delete(const KUID& kuid, bool keepBackup, std::string& error, std::string* keptIn = nullptr);
  // Called with each folder just before the editor removes it: lets a test stop the removal
  // half-way, as a kill would.
  using RemovalHook = std::function<void(const std::string& folder)>;
  void SetRemovalHookForTests(RemovalHook hook) { removalHook_ = std::move(hook); }

  // A new asset open for editing, with a configuration that names `kuid` (a new KUID when null).
  bool Create(const KUID& kuid, AssetRecord& out, std::string& error);

  // Writes a new folder `folder` (which does not exist yet) inside the store's root; false, with
  // a reason, when it could not be written whole.
  using FolderFiller =
      std::function<bool(const SafeFolder& folders, const std::string& folder, std::string& error)>;
  // Installs the folder that `fill` writes as the asset's installed folder, in place of the old
  // one when the asset is installed already (kept in today's backups folder with
  // `keepReplaced`). Refused for an asset open for editing, and when the written configuration
  // does not name `kuid`.
  bool Install(const KUID& kuid, const FolderFiller& fill, std::string& error,
               bool keepReplaced = false);
  struct InstallJob {
    KUID kuid;
    FolderFiller fill;
    bool keepReplaced = false;
  };
  // Installs each job as Install does, recording them all in the index at once. `errors` gets
  // one entry per job, empty for those installed; the result is how many were. `warnings` (when
  // given) gets one entry per job too: what an installed folder's reading passed over.
  size_t InstallAll(const std::vector<InstallJob>& jobs, std::vector<std::string>& errors,
                    std::vector<std::string>* warnings = nullptr);

 private:
  std::string StagingPath();
  // The installed folder of the asset folder `relative`.
  std::string InstalledPath(const std::string& relative) const;
  // Moves the folder `copy` into the installed place of `relative`, replacing what is there in
  // one step where the file system allows. `copy` is gone afterwards either way.
  // Fills, checks and places one asset's folder; `out` is the placed folder read back.
  bool Place(const KUID& kuid, const FolderFiller& fill, ScannedAsset& out, std::string& error,
             bool keepReplaced);
  bool PlaceInstalled(const std::string& copy, const std::string& relative, std::string& error,
                      bool keepReplaced = false);
  // Replaces `target` by `replacement` in two renames, for file systems that cannot swap two
  // folders in one step. A note in staging names the target while the old folder is set aside.
  bool ReplaceByRenames(const std::string& replacement, const std::string& target,
                        const std::string& relative, std::string& error, bool keepReplaced);
  // Removes a replaced installed folder, or with `keep` moves it into today's backups folder.
  void DropReplaced(const std::string& old, const std::string& relative, bool keep);
  // Reads the asset folder back and records it (or, when `path` is empty, removes the row).
  bool Record(const std::string& folderName, const std::string& relative, const KUID& kuid,
              std::string& error);

  // Takes an editing copy away: renamed into staging in one step, then removed there, so that a
  // crash never leaves part of a copy that a restart would serve as open for edit.
  bool DropEditingCopy(const std::string& editing, std::string& error);

  AssetStore& store_;
  SafeFolder folders_;
  RemovalHook removalHook_;
  u64 stagingCounter_ = 0;
};

}  // namespace PymDaemonSrv
