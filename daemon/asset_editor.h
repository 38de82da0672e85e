// Changes to asset folders and their index rows, each whole or not at all: editing copies under
// "editing", commits that replace the installed folder under "local", reverts, deletes into
// "backups" and new assets. The folder work happens beside its target in "staging" and is
// renamed into place; the index row follows in one transaction, which is each change's point of
// no return: a failure before it puts every folder back and says why, and what cannot be cleaned
// up after it is a warning, never a failure. Before its first folder moves, a change records
// every folder it moves and where each belongs (change_record.h), so that a start after a kill
// finishes or undoes it, whichever side of the index write the kill came.
//
// An editing copy and the installed folder are paired by their path below the content folders.
// A copy whose configuration was given another KUID leaves that path to the asset it came from:
// no change of the one ever touches a folder that holds the other.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "assetdata/safe_folder.h"
#include "core/kuid.h"
#include "daemon/asset_record.h"
#include "daemon/asset_scanner.h"
#include "daemon/asset_store.h"
#include "daemon/change_record.h"

namespace PymDaemonSrv {

class AssetEditor {
 public:
  static constexpr const char* kEditingFolder = "editing";
  static constexpr const char* kLocalFolder = "local";
  static constexpr const char* kStagingFolder = AssetStore::kStagingFolder;
  static constexpr const char* kBackupsFolder = "backups";
  // Deleted assets are kept in one dated folder per day ("YY-MM-DD") for this many days.
  static constexpr u32 kBackupDaysKept = 5;

  explicit AssetEditor(AssetStore& store);

  // Finishes each change that the index of `userData` records (undoes it when it did not pass
  // its index write, naming the asset in the log) and removes no folder: what a change would
  // remove goes to today's backups, as "staging/NAME". Then it moves there what no record names:
  // a copy a change made and never moved, or the only copy of an edit or a replaced version
  // whose record a damaged log or a copied installation lost; no start can tell which. Nothing
  // is touched when the index cannot be read. Runs before the index is opened (which holds it
  // exclusively), so that a rebuild sees each folder in its place. Returns (and logs) a line for
  // each folder left where it does not belong, each kept in the backups and each leftover that
  // could not go. A record it could not write goes, as it is to be, to `unwritten`: the store's
  // next change writes it (AssetStore::OweChanges).
  static std::vector<std::string> RecoverStaging(const std::string& userData,
                                                 std::vector<ChangeRecord>* unwritten = nullptr);
  // Moves the folder `path` into today's backups, as "staging/NAME" (NAME its own name, or the
  // first free NAME.1, NAME.2...): the place below `userData`, or empty, with a reason.
  static std::string KeepInBackups(const std::string& userData, const std::string& path,
                                   std::string& error);
  // Moves the editing folder `relative` into today's backups, as "editing/PATH" (or the first
  // free PATH.1, PATH.2...): the place below `userData`, or empty, with a reason. When the backups
  // cannot take it now, it goes to staging instead, as "staging/editing-PATH", for a start to move
  // on, and `error` says why: UntilMovedOn tells the user.
  static std::string KeepEditingCopy(const std::string& userData, const std::string& relative,
                                     std::string& error);
  // What follows the place KeepEditingCopy gave, with the reason it gave: empty for the backups.
  static std::string UntilMovedOn(const std::string& why) {
    return why.empty() ? why : ", until a start moves it to the backups: " + why;
  }
  // RecoverStaging for a repair, while the index is closed; the caller holds the ChangeMutex.
  std::vector<std::string> ClearStaging();

  // What a change could not clean up once it was done, one line each for the client.
  using Warnings = std::vector<std::string>;
  // The warning for an entry of a folder that is neither a file nor a folder, and is left out.
  static std::string LeftOutWarning(const std::string& path);

  // Makes an editing copy unless the asset has one; `out` is the asset's row afterwards.
  // `warnings` gets one line per entry the copy leaves out (links, pipes...). A copy it makes is
  // first handed to `note`, still in staging: false, with a reason, refuses the edit.
  bool BeginEdit(const KUID& kuid, AssetRecord& out, std::string& error,
                 Warnings* warnings = nullptr,
                 const std::function<bool(const std::string& copy, std::string& error)>& note = {});
  // Replaces the installed folder by a copy of the editing folder, which must name the asset and
  // keep its configuration in a file; the old version is not kept. A copy given a KUID other than
  // the installed folder's is installed in a folder of its own. Refused, the editing copy kept,
  // when it changed from the moment the commit began until it was set aside.
  bool Commit(const KUID& kuid, std::string& error, Warnings* warnings = nullptr);
  // Drops the editing copy; false when there is none, or when it holds another asset. An asset
  // that was never committed goes, unless another folder holds it. With `keptIn` the copy goes to
  // today's backups, as KeepEditingCopy's, and `keptIn` gets where (below UserData).
  bool Revert(const KUID& kuid, std::string& error, Warnings* warnings = nullptr,
              std::string* keptIn = nullptr);
  // Moves the asset's folders into today's folder of the backups folder (the paths they took
  // there go to `keptIn`, joined by " and "), forgets the asset (unless another folder holds it)
  // and drops the backups of all but the newest days. Refused when the asset's folder holds another
  // asset. Without `keepBackup` the folders are removed instead.
  bool Delete(const KUID& kuid, bool keepBackup, std::string& error, std::string* keptIn = nullptr,
              Warnings* warnings = nullptr);
  // Called with each folder just before the editor removes it: lets a test stop the removal
  // half-way, as a kill would. The move hook is called just before each folder is moved.
  using RemovalHook = std::function<void(const std::string& folder)>;
  void SetRemovalHookForTests(RemovalHook hook) { removalHook_ = std::move(hook); }
  void SetMoveHookForTests(RemovalHook hook) { moveHook_ = std::move(hook); }
  // Installs replace a folder by two renames, as on a file system that cannot swap two folders.
  void SetExchangeForTests(bool exchange) { exchange_ = exchange; }
  // Called just before each index write of a change: lets a test make the write fail, as a full
  // disk would, or stop there, as a kill would.
  using RecordHook = std::function<void()>;
  void SetRecordHookForTests(RecordHook hook) { recordHook_ = std::move(hook); }
  // Lists the staging folder in place of ListFolderNames: lets a test make a listing fail.
  using Listing = decltype(ChangeHooks::list);
  void SetListingForTests(Listing listing) { listing_ = std::move(listing); }

  // A new asset open for editing, with a configuration that names `kuid` (a new KUID when null).
  bool Create(const KUID& kuid, AssetRecord& out, std::string& error);

  // Writes a new folder `folder` (which does not exist yet) inside the store's root; false, with
  // a reason, when it could not be written whole.
  using FolderFiller =
      std::function<bool(const SafeFolder& folders, const std::string& folder, std::string& error)>;
  // Installs the folder that `fill` writes as the asset's installed folder, in place of the old
  // one when the asset is installed already. A folder that holds another asset, or that cannot
  // be read, is never replaced: the asset goes into a folder of its own. With `keepReplaced` the
  // old one goes to today's backups folder, as PATH or, beside the versions kept there already
  // (or waiting in staging to go there), as PATH.1, PATH.2...; unless one of them holds the same
  // files. `keptIn` gets where those files are kept, empty when nowhere. Refused for an asset open
  // for editing, when the written configuration does not name `kuid`, and when a place of the
  // backups cannot be looked at.
  bool Install(const KUID& kuid, const FolderFiller& fill, std::string& error,
               bool keepReplaced = false, Warnings* warnings = nullptr,
               std::string* keptIn = nullptr);
  struct InstallJob {
    KUID kuid;
    FolderFiller fill;
    bool keepReplaced = false;
  };
  // Installs each job as Install does, recording them all in the index at once, and in one
  // change record: a kill leaves all of them installed or none. `errors` gets
  // one entry per job, empty for those installed; the result is how many were. `warnings` (when
  // given) gets one entry per job too: what an installed folder's reading passed over, and what
  // could not be cleaned up. `keptIn` (when given) gets one entry per job, as Install's.
  size_t InstallAll(const std::vector<InstallJob>& jobs, std::vector<std::string>& errors,
                    std::vector<Warnings>* warnings = nullptr,
                    std::vector<std::string>* keptIn = nullptr);

 private:
  // What is known of a version of an asset, as far as it was signed: its identity
  // (TreeSignature), its names and sizes (ContentSignature without bytes) and, once read, what it
  // holds (ContentSignature); each empty until it is known.
  struct KeptDigest {
    std::string tree;
    std::string shape;
    std::string content;
  };
  // An install's new folder, written in staging, and the record of the folders it moves.
  struct Placing {
    std::string copy;
    std::string relative;
    ChangeRecord change;
    // Where the change moves the replaced version, below UserData; empty when it does not.
    std::string kept;
    // Where its files are kept: `kept`, or a version kept earlier today that holds the same.
    std::string keptIn;
    // For a version not kept for that, its TreeSignature then, and where the swap set it aside.
    std::string identity;
    std::string aside;
    // What is known of the replaced version.
    KeptDigest digest;
  };

  // A name in staging, and a change id, that no other change of this store uses, nor will.
  std::string NextName();
  // A path in staging that is free.
  std::string StagingPath();
  // The installed folder of the asset folder `relative`.
  std::string InstalledPath(const std::string& relative) const;
  // Whether the folder `path` holds an asset other than `kuid`.
  static bool HoldsOtherAsset(const std::string& path, const char* folderName,
                              const std::string& relative, const KUID& kuid);
  // Adds the folder `path` to the change's record, going from `before` to `after`.
  bool Name(ChangeRecord& change, const std::string& path, const KUID& kuid,
            const std::string& before, const std::string& after, std::string& error);
  bool MoveFolder(const std::string& from, const std::string& to, std::string& error);
  // Where today's backups keep the version of `relative` an install replaces (`placing`'s kept
  // and keptIn, below UserData): the first of PATH, PATH.1... that is free, not `claimed` by an
  // earlier job of the install and not owed to a version that waits to go there; none when a
  // version kept there holds the same files. False, with the reason, when a place cannot be
  // looked at: it may hold a version, and no version is dropped on a guess; and when the way to
  // the places passes through a link that leads among UserData's own folders. Without `compare`,
  // the first place that is free.
  bool KeptVersionPlace(const std::string& relative, const std::set<std::string>& claimed,
                        Placing& placing, std::string& error, bool compare = true);
  // Once the install passed: a replaced version not kept for holding the same files as one kept
  // already, but written to since or still held open for writing, is kept after all.
  void KeepIfWritten(Placing& placing, const std::set<std::string>& claimed);
  // Fills and checks one asset's folder in staging, and names what its install moves; a place
  // it keeps the replaced version in goes to `claimed`.
  bool Place(const InstallJob& job, Placing& placing, std::set<std::string>& claimed,
             std::string& error);
  // Moves the folder `copy` into the installed place `local`, replacing what is there in one
  // step where the file system allows; `aside` gets where the replaced folder goes.
  bool SwapIn(const std::string& copy, const std::string& local, std::string& error,
              std::string* aside = nullptr);
  // Moves the change's folders where they belong, after the change when it `passed`, and syncs
  // the folders those moves changed, with `moved` (those that earlier moves of the change
  // changed, unsynced); returns those that could not get there. A folder that cannot be synced
  // goes to `problems` and the log.
  std::vector<ChangeFolder> Settle(ChangeRecord change, bool passed,
                                   std::vector<std::string>& problems,
                                   std::set<std::string> moved = {});
  // Settles the change and ends its record; returns `passed`. What could not be done goes to
  // `error` for a change undone, to `warnings` for one done.
  bool End(const ChangeRecord& change, bool passed, std::string& error, Warnings* warnings,
           std::set<std::string> moved = {});
  // Reads the asset folder back and records it (or, when `path` is empty, removes the row,
  // unless another folder holds the asset: that one is recorded, with a warning).
  bool Record(const std::string& folderName, const std::string& relative, const KUID& kuid,
              std::string& error, Warnings* warnings = nullptr);
  // One warning per entry a copy left out, in path order: LeftOutWarning's, or `what`'s.
  static void WarnLeftOut(std::vector<std::string> skipped, const char* what, Warnings* warnings);

  // The store's folder, which is known only once the store is open.
  SafeFolder& Folders();

  AssetStore& store_;
  SafeFolder folders_;
  RemovalHook removalHook_;
  RemovalHook moveHook_;
  RecordHook recordHook_;
  Listing listing_;
  bool exchange_ = true;
  // What is known of the versions kept today, by their place below UserData, so that no install
  // reads one of them again. Held for the daemon's life only: no file to keep right across
  // builds, crashes and hands that change the backups, and no synced write per install; a
  // version kept before the start is read once more.
  std::map<std::string, KeptDigest> keptDigests_;
  // NextName's parts.
  std::string namePart_;
  u64 stagingCounter_ = 0;
};

}  // namespace PymDaemonSrv
