// Changes to asset folders and their index rows, each whole or not at all: editing copies under
// "editing", commits that replace the installed folder under "local", reverts, deletes into
// "backups" and new assets. The folder work happens beside its target in "staging" and is
// renamed into place; the index row follows in one transaction. A crash in between leaves the
// store's changing mark, and the next start rebuilds the index from the folders.
#pragma once

#include <string>

#include "core/kuid.h"
#include "daemon/asset_record.h"
#include "daemon/safe_folder.h"

namespace PymDaemonSrv {

class AssetStore;

class AssetEditor {
 public:
  static constexpr const char* kEditingFolder = "editing";
  static constexpr const char* kLocalFolder = "local";
  static constexpr const char* kStagingFolder = "staging";
  static constexpr const char* kBackupsFolder = "backups";

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
  // Moves the asset's folders into the backups folder and forgets the asset.
  bool Delete(const KUID& kuid, std::string& error);
  // A new asset open for editing, with a configuration that names `kuid` (a new KUID when null).
  bool Create(const KUID& kuid, AssetRecord& out, std::string& error);

 private:
  std::string StagingPath();
  // Replaces `target` by `replacement` in two renames, for file systems that cannot swap two
  // folders in one step. A note in staging names the target while the old folder is set aside.
  bool ReplaceByRenames(const std::string& replacement, const std::string& target,
                        const std::string& relative, std::string& error);
  // Reads the asset folder back and records it (or, when `path` is empty, removes the row).
  bool Record(const std::string& folderName, const std::string& relative, const KUID& kuid,
              std::string& error);

  AssetStore& store_;
  SafeFolder folders_;
  u64 stagingCounter_ = 0;
};

}  // namespace PymDaemonSrv
