// Changes to asset folders and their index rows, each whole or not at all: editing copies under
// "editing", commits that replace the installed folder under "local", reverts, deletes into
// "backups" and new assets. The folder work happens beside its target in "staging" and is
// renamed into place; the index row follows in one transaction, which is each change's point of
// no return: a failure before it puts every folder back and says why, and what cannot be cleaned
// up after it is a warning, never a failure. A crash in between leaves the store's changing mark,
// and the next start rebuilds the index from the folders.
//
// An editing copy and the installed folder are paired by their path below the content folders.
// A copy whose configuration was given another KUID leaves that path to the asset it came from:
// no change of the one ever touches a folder that holds the other.
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
  // `userData`, moves a replaced version an install keeps into the backups, then removes
  // everything else there. Runs before the index is opened, so that a rebuild sees the folder in
  // its place.
  static void RecoverStaging(const std::string& userData);
  void ClearStaging();

  // What a change could not clean up once it was done, one line each for the client.
  using Warnings = std::vector<std::string>;
  // The warning for an entry of a folder that is neither a file nor a folder, and is left out.
  static std::string LeftOutWarning(const std::string& path);

  // Makes an editing copy unless the asset has one; `out` is the asset's row afterwards.
  // `warnings` gets one line per entry the copy leaves out (links, pipes...).
  bool BeginEdit(const KUID& kuid, AssetRecord& out, std::string& error,
                 Warnings* warnings = nullptr);
  // Replaces the installed folder by a copy of the editing folder, which must name the asset and
  // keep its configuration in a file; the old version is not kept. A copy given a KUID other than
  // the installed folder's is installed in a folder of its own. Refused, the editing copy kept,
  // when a file of it changed while it was copied.
  bool Commit(const KUID& kuid, std::string& error, Warnings* warnings = nullptr);
  // Drops the editing copy; false when there is none, or when it holds another asset. An asset
  // that was never committed goes, unless another folder holds it.
  bool Revert(const KUID& kuid, std::string& error, Warnings* warnings = nullptr);
  // Moves the asset's folders into today's folder of the backups folder (its path goes to
  // `keptIn`), forgets the asset (unless another folder holds it) and drops the backups of all
  // but the newest days. Refused when the asset's folder holds another asset. Without
  // `keepBackup` the folders are removed instead.
  bool Delete(const KUID& kuid, bool keepBackup, std::string& error, std::string* keptIn = nullptr,
              Warnings* warnings = nullptr);
  // Called with each folder just before the editor removes it: lets a test stop the removal
  // half-way, as a kill would.
  using RemovalHook = std::function<void(const std::string& folder)>;
  void SetRemovalHookForTests(RemovalHook hook) { removalHook_ = std::move(hook); }
  // Called just before each index write of a change: lets a test make the write fail, as a full
  // disk would, or stop there, as a kill would.
  using RecordHook = std::function<void()>;
  void SetRecordHookForTests(RecordHook hook) { recordHook_ = std::move(hook); }

  // A new asset open for editing, with a configuration that names `kuid` (a new KUID when null).
  bool Create(const KUID& kuid, AssetRecord& out, std::string& error);

  // Writes a new folder `folder` (which does not exist yet) inside the store's root; false, with
  // a reason, when it could not be written whole.
  using FolderFiller =
      std::function<bool(const SafeFolder& folders, const std::string& folder, std::string& error)>;
  // Installs the folder that `fill` writes as the asset's installed folder, in place of the old
  // one when the asset is installed already. A folder that holds another asset, or that cannot
  // be read, is never replaced: the asset goes into a folder of its own. With `keepReplaced` the
  // old one goes to today's backups folder, unless today's backups hold the asset's folder already:
  // one version a day is kept, the one the day began with. Refused for an asset open for editing,
  // and when the written configuration does not name `kuid`.
  bool Install(const KUID& kuid, const FolderFiller& fill, std::string& error,
               bool keepReplaced = false, Warnings* warnings = nullptr);
  struct InstallJob {
    KUID kuid;
    FolderFiller fill;
    bool keepReplaced = false;
  };
  // Installs each job as Install does, recording them all in the index at once. `errors` gets
  // one entry per job, empty for those installed; the result is how many were. `warnings` (when
  // given) gets one entry per job too: what an installed folder's reading passed over, and what
  // could not be cleaned up.
  size_t InstallAll(const std::vector<InstallJob>& jobs, std::vector<std::string>& errors,
                    std::vector<Warnings>* warnings = nullptr);

 private:
  // A folder moved into the installed place, and where the folder it replaced went.
  struct Swap {
    std::string relative;
    // Empty when nothing was replaced.
    std::string old;
    // Set aside by two renames, with a note to put it back, rather than swapped in one step.
    bool byRenames = false;
    bool keep = false;
  };

  std::string StagingPath();
  // The installed folder of the asset folder `relative`.
  std::string InstalledPath(const std::string& relative) const;
  // Whether the folder `path` holds an asset other than `kuid`.
  static bool HoldsOtherAsset(const std::string& path, const char* folderName,
                              const std::string& relative, const KUID& kuid);
  // Fills, checks and places one asset's folder; `out` is the placed folder read back.
  bool Place(const InstallJob& job, ScannedAsset& out, Swap& swap, std::string& error);
  // Moves the folder `copy` into the installed place of `relative`, replacing what is there in
  // one step where the file system allows; the replaced folder stays in staging until Settle.
  // `copy` is gone afterwards either way.
  bool SwapIn(const std::string& copy, const std::string& relative, bool keep, Swap& swap,
              std::string& error);
  // Replaces `target` by `replacement` in two renames, for file systems that cannot swap two
  // folders in one step. A note in staging names the target until the old folder is back or the
  // change is recorded.
  bool ReplaceByRenames(const std::string& replacement, const std::string& target, Swap& swap,
                        std::string& error);
  // Undoes SwapIn before the index names the change.
  bool SwapBack(const Swap& swap, std::string& error);
  // After the index names the change: the replaced folder goes, or into the backups.
  void Settle(const Swap& swap, Warnings* warnings);
  // Removes a folder that the change has set aside in staging.
  void Discard(const std::string& aside, Warnings* warnings);
  // Reads the asset folder back and records it (or, when `path` is empty, removes the row,
  // unless another folder holds the asset: that one is recorded, with a warning).
  bool Record(const std::string& folderName, const std::string& relative, const KUID& kuid,
              std::string& error, Warnings* warnings = nullptr);
  // One warning per entry a copy left out, in path order: LeftOutWarning's, or `what`'s.
  static void WarnLeftOut(std::vector<std::string> skipped, const char* what, Warnings* warnings);

  AssetStore& store_;
  SafeFolder folders_;
  RemovalHook removalHook_;
  RecordHook recordHook_;
  u64 stagingCounter_ = 0;
};

}  // namespace PymDaemonSrv
