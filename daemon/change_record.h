// The record of a change to asset folders, written and synced before the change moves its first
// folder, the way a database writes its rollback journal before it touches a page: it names each
// folder the change moves (the editing copy set aside, the installed folder it replaces, the new
// copy, a version it keeps) and where that folder belongs before and after the change. The index
// write that is the change's point of no return marks the asset's folders passed in the same
// transaction. A start, and a repair, then finish a passed change and undo any other from the
// record alone, so no kill loses a folder a user made.
//
// A folder is told by its identity on disk (device and inode), which a rename keeps: after an
// exchange of two folders, or a kill between two renames, no name says which folder is where.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "assetdata/safe_folder.h"
#include "core/kuid.h"
#include "qel/types.h"

namespace PymDaemonSrv {

// What lstat tells of a place: a folder or something else there, nothing there (ENOENT, ENOTDIR),
// or nothing at all: any other failure (EIO, EACCES, ENOMEM...) says neither, and a change that
// took it for "nothing there" would drop a folder that may still be there.
enum class Seen { kFolder, kOther, kNothing, kUnknown };
// Looks at `path` with lstat (`st` gets what it says); for kUnknown, `why` gets the reason.
Seen LookAt(const std::string& path, struct stat& st, std::string& why);
Seen LookAt(const std::string& path, std::string& why);
// `root` + `place`, or, for a place in the backups ("backups/..."), the first of `place`.1,
// `place`.2... that is free: a version kept there goes beside one that took its place meanwhile,
// never over it. Empty, with the reason in `why`, when a place cannot be looked at.
std::string FreePlace(const std::string& root, const std::string& place, std::string& why);

struct ChangeFolder {
  // The asset whose index write decides the folder's place.
  KUID kuid;
  u64 device = 0;
  u64 inode = 0;
  // Below the UserData folder; empty for nowhere (made by the change, or removed by it).
  std::string before;
  std::string after;
  bool passed = false;
};

struct ChangeRecord {
  // Unique among the records of a store; what the change names its folders in staging after.
  std::string id;
  std::vector<ChangeFolder> folders;
};

// Adds the folder at `path` to `change`, going from `before` to `after` (both below the root of
// `folders`); false, with a reason, when the folder cannot be looked at.
bool NameChangeFolder(ChangeRecord& change, const SafeFolder& folders, const std::string& path,
                      const KUID& kuid, const std::string& before, const std::string& after,
                      std::string& error);

struct ChangeHooks {
  // Called with a folder just before it is moved, or removed.
  std::function<void(const std::string& folder)> move;
  std::function<void(const std::string& folder)> removal;
  // Lists a folder's names as ListFolderNames does; a test makes it fail as a full file table
  // would.
  std::function<bool(const std::string& folder, std::vector<std::string>& names)> list;
};

// Moves each folder of `change` where it belongs: to `after` when it passed, to `before` when not;
// one that belongs nowhere is removed. A folder found nowhere, by a listing of the staging folder
// that succeeded, was removed already; when the staging folder cannot be listed, nothing is moved.
// When a change is undone, the folders it made on the way to a place, and those it made to hold a
// folder that went back, are removed again if empty. Returns the folders the record is to keep:
// none when every folder reached its place; after any failure, every folder still there, so that
// a start finishes the whole change. `problems` gets a line for each failure. A place that cannot
// be looked at (LookAt's kUnknown) moves nothing and keeps the whole record.
//
// With `keptIn` (a folder below the root, for a start or a repair), nothing is removed: a start
// cannot vouch that the record it reads is the last one written (a log cut short serves an older
// one, whose change may have passed since, and its folders may be a later change's). What belongs
// nowhere goes to `keptIn`/staging/NAME, NAME being its name in staging or that of the place it
// leaves, and `problems` names each; a record that misses a folder it puts in place leaves such a
// folder where it is unless it waits in staging, and, when it cannot finish, keeps naming the
// folders it missed. `problems` also names each asset whose change is undone.
std::vector<ChangeFolder> FinishChange(const SafeFolder& folders, const ChangeRecord& change,
                                       const ChangeHooks& hooks, std::vector<std::string>& problems,
                                       const std::string& keptIn = std::string());

}  // namespace PymDaemonSrv
