// The daemon's durable store: the asset index in the SQLite file UserData/assets.tdx, with the
// asset content in the folders "editing" and "local" beside it, and the settings groups in a
// store of their own, UserData/settings.tdx, which no rebuild of the index touches.
//
// An index is built from the content folders when it is missing, when its build never completed,
// or when the content folders changed while the daemon was stopped (a fingerprint of folder and
// file times, taken at every start, tells). Every write is one SQLite
// transaction in WAL mode with synchronous=FULL, acknowledged only after its commit, so a crash
// at any moment keeps every acknowledged write and none that is half done. Both files are held in
// exclusive locking mode: no other process opens them while the daemon runs, and no memory-mapped
// file stands between a full disk and SQLite's "database or disk is full". Searches run over an
// in-memory copy of the index and never touch the file.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "assetdata/soup.h"
#include "core/kuid.h"
#include "daemon/asset_record.h"
#include "daemon/asset_scanner.h"
#include "daemon/change_record.h"
#include "daemon/filter_evaluator.h"
#include "daemon/filter_tree.h"
#include "daemon/owned_mutex.h"
#include "daemon/search_index.h"

struct sqlite3;

namespace PymDaemonSrv {

class AssetStore {
 public:
  static constexpr const char* kDatabaseFileName = "assets.tdx";
  static constexpr const char* kSettingsFileName = "settings.tdx";
  // Where changes move folders aside; what its folders are, only the change records tell.
  static constexpr const char* kStagingFolder = "staging";
  // Scanned in this order; the first folder that holds a KUID wins.
  static const std::vector<std::string>& ContentFolderNames();

  AssetStore() = default;
  ~AssetStore();
  AssetStore(const AssetStore&) = delete;
  AssetStore& operator=(const AssetStore&) = delete;

  // Opens the settings and the index of the UserData folder. An index that is missing, not a
  // database of this schema, with an overwritten write-ahead log or damaged pages met while it is
  // read or rebuilt (those three moved aside to "assets.tdx.bad"), incomplete or out of date with
  // the content folders is built anew; new settings are taken from an index of an older build or
  // seeded. False, with a reason, when a file cannot be made or read at all.
  bool Open(const std::string& userDataPath, std::string* error);
  void Close();
  bool IsOpen() const { return db_ != nullptr; }
  // True when the last Open built the index from the content folders.
  bool WasRebuilt() const { return rebuilt_; }

  // Replaces the index by what the content folders hold now, in one transaction. The folders
  // that could not be read as assets go to `problems`. The rows `standing` (GetRow's) are kept as
  // they are: no folder of their KUIDs is read.
  bool Rebuild(std::string* error);
  bool Rebuild(std::vector<std::string>& problems, std::string* error,
               std::vector<ScannedAsset> standing = {});
  // Reads the in-memory index again from the file.
  bool Reload(std::string* error);
  // Closes the index file, calls `whileClosed` (which may read and write the file on its own),
  // and opens it again; a file that is gone is made anew, one that is no longer an index of ours
  // or fails SQLite's quick check is set aside first. The caller rebuilds afterwards.
  bool ReopenIndex(std::string* error, const std::function<void()>& whileClosed = {});
  bool Compact(std::string* error);

  // The user id of the KUIDs that GenerateKuid makes: the installation's own user.
  static constexpr i32 kLocalUserId = 400000;
  // A KUID of the local user that no asset had and no earlier call gave, even across restarts;
  // the null KUID, and why in `error`, when the counter cannot be stored.
  KUID GenerateKuid(std::string* error = nullptr);

  // Folder changes. The caller holds ChangeMutex() across BeginChange, its folder work,
  // RecordChange and EndChange. BeginChange writes the change's record (change_record.h) and a
  // mark that the folders are changing, in one synced transaction, before the first folder
  // moves. RecordChange replaces (put) or removes the asset's row, marks the asset's folders in
  // the record passed and clears the mark, in one transaction; a start that finds the mark
  // rebuilds the index. EndChange keeps of the record only the folders `waiting` to be moved
  // where they belong; when it cannot, the next BeginChange writes that in its transaction.
  OwnedMutex& ChangeMutex() { return changeMutex_; }
  bool BeginChange(const ChangeRecord& change, std::string* error);
  // The mark alone, for a change that moves no folder.
  bool MarkChanging(std::string* error) { return BeginChange(ChangeRecord(), error); }
  bool EndChange(const std::vector<ChangeFolder>& waiting, std::string* error);
  // Whether a recorded change that passed its index write is to move a folder to `place` (below
  // UserData).
  bool IsOwed(const std::string& place) const;
  // The change records of the index in `userData`, for a start before the store opens or a
  // repair while the index is closed: false, with a reason, when the index cannot be read.
  // `complete` is false when records may be gone: no index, one cut short or of an older build,
  // one whose write-ahead log was overwritten (it is set aside when the store opens), or one made
  // anew while the staging folder held anything, until ForgetLostRecords says that a start kept
  // what it held. KeepChange keeps of the record `id` only the folders `waiting`.
  static bool ReadChanges(const std::string& userData, std::vector<ChangeRecord>& out,
                          bool& complete, std::string* error);
  static bool ForgetLostRecords(const std::string& userData, std::string* error);
  static bool KeepChange(const std::string& userData, const std::string& id,
                         const std::vector<ChangeFolder>& waiting, std::string* error);
  // Records, as they are to be, that a start or a repair could not write with KeepChange: the
  // next BeginChange writes them. The caller holds ChangeMutex().
  void OweChanges(std::vector<ChangeRecord> records);
  bool RecordChange(const ScannedAsset* put, const KUID& removed, std::string* error);
  // Replaces the rows of all `puts` in one transaction; with no puts, removes `removed`.
  bool RecordChanges(const std::vector<ScannedAsset>& puts, const KUID& removed,
                     std::string* error);
  // How many changes RecordChange and RecordChanges were asked to record for the asset since the
  // store was made, whether or not its files differ afterwards: a validation that sees it move
  // judged files that a change may have replaced, even by equal ones.
  u64 ChangeCount(const KUID& kuid) const;

  const std::string& UserData() const { return userData_; }
  // The asset's folder: UserData, its content folder and its path.
  std::string FolderPathOf(const AssetRecord& record) const;
  bool FindByFolderPath(const std::string& path, AssetRecord& out) const;
  // The asset folders that the content holds and no row names, as content folder and path
  // ("local/lamp1"): folders that could not be read, and those of a KUID that another folder
  // holds as well.
  std::vector<std::string> UnindexedFolders();
  // Every indexed version of the asset, oldest first.
  std::vector<AssetRecord> VersionsOf(i32 userId, i32 contentId) const;
  // The stored configuration; the empty soup for an asset the index does not hold.
  Soup GetConfig(const KUID& kuid) const;
  // The author that the user's assets name; empty when none does.
  std::string GetCreatorName(u32 userId) const;
  // The builds that the assets are made for, ascending, separated by commas.
  std::string GetBuildList() const;

  size_t CountAssets() const;
  // KUIDs of the matching assets in KUID order; a null filter matches every asset.
  std::vector<KUID> Search(const FilterTree* filter) const;
  // False when the index does not hold the KUID.
  bool GetAsset(const KUID& kuid, AssetRecord& out) const;
  // The asset's row with its stored configuration, as a rebuild writes it; false as GetAsset.
  bool GetRow(const KUID& kuid, ScannedAsset& out) const;
  // Rates the asset as a favourite (or takes the rating away) in the index; a rebuild from the
  // folders forgets it. False for an unknown asset.
  static constexpr i32 kFavouriteRating = 5;
  static constexpr i32 kNoRating = 255;
  bool SetFavourite(const KUID& kuid, bool favourite);
  void SetCategoryMatcher(CategoryMatcher matcher);
  // Gives the asset the keywords in place of those of its configuration. They are kept in the
  // settings store, so that they outlive every rebuild of the index. False, with a reason, for an
  // asset the index does not hold or a write that did not commit.
  bool SetKeywords(const KUID& kuid, const std::string& keywords, std::string* error);
  // Records the verdict of a validation through a command host on the files whose settled tree
  // signature (SafeFolder::SettledTreeSignature) is `judged`: an asset is faulty while its record
  // names files that a validation judged with errors, and that no later validation passed. The
  // verdicts are kept in the settings store, so that they outlive restarts and every rebuild of the
  // index (a repair does not validate again). The caller holds ChangeMutex() and has seen
  // ChangeCount unmoved since before the judged files were signed, so that no change of the files
  // comes between. False, with a reason, for a write that did not commit; an empty signature
  // records nothing.
  bool SetValidationFault(const KUID& kuid, const std::string& judged, bool faulty,
                          std::string* error);
  // The signature of the files at `folder` when a faulty verdict of the asset is kept for them;
  // empty otherwise. The files of an asset without verdicts are not looked at.
  std::string FaultyVerdictOn(const KUID& kuid, const std::string& folder);
  // A copy that the caller made of the files at `from`, whose signature was `judged`
  // (FaultyVerdictOn) before the copy, keeps their verdict when `from` still has that signature
  // (the copy then holds the judged bytes) and the clock is past the second of the copy's change
  // times of whole seconds. The caller holds ChangeMutex() and has not yet moved the copy out of
  // staging.
  void CarryVerdict(const KUID& kuid, const std::string& judged, const std::string& from,
                    const std::string& copy);

  // A group that does not exist reads as the empty soup.
  Soup GetSettingsSoup(const std::string& group) const;
  // Replaces the whole group (an empty soup leaves the group empty); true once committed, else
  // why in `error`.
  bool SetSettingsSoup(const std::string& group, const Soup& soup, std::string* error = nullptr);
  // The value of one key as text; empty when the group or key is missing.
  std::string GetSettingString(const std::string& group, const std::string& key) const;

  // SQLite's own consistency check of the file; false with the first complaint.
  bool CheckIntegrity(std::string* error) const;

 private:
  bool OpenFile(const std::string& path, bool* created, std::string* error);
  // Opens the index file, first setting aside one that is not an index of ours, whose
  // write-ahead log was overwritten, or (with `check`) that fails SQLite's quick check.
  bool OpenIndexFile(bool check, bool* created, std::string* error);
  bool SetIndexAside(std::string* error);
  // Opens the index file and reads it, or builds it from the content folders.
  bool OpenIndex(std::string* error);
  bool CreateSchema(std::string* error);
  bool OpenSettings(std::string* error);
  bool LoadKeywords(std::string* error);
  bool LoadValidationFaults(std::string* error);
  // Adds (faulty) or removes the verdict `tree` (a stored row: kVerdict and the signature)
  // on the files of the asset, in the settings store and then in validationFaults_. Called with
  // dbMutex_ held.
  bool StoreVerdict(const KUID& kuid, const std::string& tree, bool faulty, std::string* error);
  // Whether a faulty verdict is kept for the files the record names now. Their signature is
  // taken only for assets with verdicts, and reads no file, so that a start costs the same with
  // verdicts as without.
  bool JudgedFaulty(const AssetRecord& record);
  // The fingerprint of the whole content, walked anew; the parts are kept for Refresh.
  u64 ContentFingerprint();
  // Keeps these parts, from a walk of the whole content, for Refresh; their sum.
  u64 KeepFingerprint(FingerprintParts parts);
  // The fingerprint after the asset folders at these paths (below every content folder) changed:
  // only those folders are looked at, so a change costs the same however many assets there are.
  u64 RefreshFingerprint(const std::vector<std::string>& relativePaths);
  // Takes the changed KUIDs out of the in-memory index, adds the put records, and sets again the
  // derived flags of the records that those touch (other versions of the same assets, the assets
  // they make obsolete and the assets that depend on them).
  // The puts in `faulty` have files that a validation judged faulty.
  void ApplyChanges(const std::vector<KUID>& changed, const std::vector<ScannedAsset>& puts,
                    const std::unordered_set<KUID>& faulty);
  // True when the index holds a completed build of content with this fingerprint.
  bool IndexMatchesContent(u64 fingerprint);
  bool LoadIndex(std::string* error);
  // The stored configuration in binary soup form; empty for an asset the index does not hold.
  std::vector<u8> ConfigBytes(const KUID& kuid) const;
  bool WriteIndex(const std::vector<ScannedAsset>& assets, u64 fingerprint, std::string* error);
  // Sets the flags that depend on the other assets: up to date, obsolete and the dependency flags.
  // `records` is sorted by KUID; only the records at `which` are set when it is given.
  // Each record on its own, so that a change moves pointers rather than records.
  using RecordList = std::vector<std::unique_ptr<AssetRecord>>;
  // How many assets name each KUID as obsolete.
  using ObsoleteCounts = std::unordered_map<KUID, u32>;
  static ObsoleteCounts CountObsoletes(const RecordList& records);
  // Sets the faulty flag of the records whose files a validation judged faulty; true when one did.
  bool MarkValidationFaults(RecordList& records);
  static void ComputeDerivedFlags(RecordList& records, const ObsoleteCounts& obsoleted,
                                  const std::vector<size_t>* which = nullptr);
  // Keeps the reverse indexes up to date with one record that comes (+1) or goes (-1).
  void IndexLinks(const AssetRecord& record, int change);
  void InstallRecords(RecordList records);
  // Called with indexMutex_ held for writing (`index`) whenever a record changes: the next search
  // lays out its columns anew.
  void DropSearchIndex(const std::unique_lock<std::shared_mutex>& index);

  std::string userData_;
  bool rebuilt_ = false;
  // Serialises every use of the SQLite connections.
  mutable OwnedMutex dbMutex_;
  sqlite3* db_ = nullptr;
  sqlite3* settingsDb_ = nullptr;
  // Guards the in-memory index and the evaluator.
  mutable std::shared_mutex indexMutex_;
  RecordList records_;  // sorted by KUID
  // Reverse indexes of records_, so that a change finds the records it touches without a walk:
  // the obsolete counts, and the assets that depend on each asset (by user and content id).
  ObsoleteCounts obsoleted_;
  std::unordered_map<u64, std::vector<KUID>> dependents_;
  // The records in each folder, by content folder and path below it ("local/lamp1"), so that a
  // folder names its asset without a walk over every record.
  std::unordered_map<std::string, std::vector<KUID>> folderRecords_;
  std::unordered_map<u32, std::string> creators_;
  // Keywords set by request, which take the place of the configurations' own.
  std::unordered_map<KUID, std::string> keywords_;
  // The stored signatures of the files that validations through a command host judged faulty,
  // per asset, oldest first.
  using Verdicts = std::unordered_map<KUID, std::vector<std::string>>;
  Verdicts validationFaults_;
  // ChangeCount's counts; guarded by indexMutex_.
  std::unordered_map<KUID, u64> changeCounts_;
  OwnedMutex changeMutex_;
  // The id of the change between BeginChange and EndChange; guarded by changeMutex_.
  std::string change_;
  // The records that an EndChange, or a start, could not write, as they are to be: those on disk
  // still name folders removed since, whose inodes the next folders made may take, so they are
  // written with the next change's record, before that change moves a folder. Guarded by
  // changeMutex_.
  std::vector<ChangeRecord> owed_;
  // The parts of the content fingerprint and their sum, as the last walk or change left them.
  std::mutex fingerprintMutex_;
  FingerprintParts fingerprintParts_;
  u64 fingerprint_ = 0;
  bool fingerprintKnown_ = false;
  FilterEvaluator evaluator_;
  // The columns that searches read, laid out at the first search after a change, so that a run of
  // changes pays for one layout. Guarded by searchIndexMutex_ under indexMutex_ held for reading;
  // a search keeps its own reference while it runs.
  mutable std::mutex searchIndexMutex_;
  mutable std::shared_ptr<const SearchIndex> searchIndex_;
};

}  // namespace PymDaemonSrv
