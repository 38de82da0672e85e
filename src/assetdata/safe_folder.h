// Folder work on asset content, confined to one root (the UserData folder):
// nothing outside it, nothing that is the root or one of its direct content folders, and never
// through a symbolic link. Copies are written beside their target and renamed into place, so a
// crash leaves either the old folder or the new one, whole. One content folder may be let lead
// elsewhere (the backups, which users put on another disk): through a link that leads out of the
// root, or onto another file system, where a move into it is a copy.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Folder levels an asset may nest below its own folder. Every walk of asset folders (extraction,
// copy, comparison and the scanner's) stops at this depth, so an install refuses what the others
// could not handle. Removal has no limit, so that whatever a user nests in an editing copy can
// still be taken away.
inline constexpr int kMaxAssetFolderDepth = 64;
// What an install says of a tree deeper than that.
std::string FoldersTooDeepReason();
// Adds the names in the folder `path` but "." and ".." to `names`; false, with errno, when it
// cannot be listed.
bool ListFolderNames(const std::string& path, std::vector<std::string>& names);
// lstat of `path`, failing as a test's read fault (SafeFolder::SetReadFaultForTests, "stat") says.
int StatPath(const std::string& path, struct stat& st);

class SafeFolder {
 public:
  // `root` must be an absolute, resolved folder. `reachable`, when given, names the content
  // folder whose way may pass through links that lead out of the root (never back into it), and
  // into which a move may cross to another file system.
  explicit SafeFolder(std::string root, std::string reachable = {})
      : root_(std::move(root)), reachable_(std::move(reachable)) {}

  const std::string& Root() const { return root_; }
  // root + "/" + relative, when `relative` is a plain relative path: no "..", no "." elements, no
  // empty elements, not absolute. Empty otherwise.
  std::string Resolve(const std::string& relative) const;
  // True when `path` lies at least two levels below the root, and neither it nor any folder
  // between it and the root is a symbolic link.
  bool MayChange(const std::string& path) const;
  // Why `path` may not be changed, which every refusal names: empty when MayChange.
  std::string Refusal(const std::string& path) const;
  // The first folder between the root and `path` (below the root) that is a symbolic link, where
  // a move into `path` is refused; empty when none is.
  std::string LinkOnTheWay(const std::string& path) const;

  // Copies the folder tree `from` to the new folder `to` (which must not exist), regular files
  // and folders only, each file copied as far as it reached when it was opened, and the whole
  // copy on disk before it returns. Any entry of `from` that cannot be listed, looked at or read
  // fails the copy, and the error names it. A copied file keeps its source's times unless the
  // source changed while it was copied (callers that must know compare TreeSignature before and
  // after). Files and folders keep their modes, less set-id bits and the write for others; the
  // owner can always read a file and change a folder. False, with nothing left at `to`, on failure.
  // The paths below `from` of the entries left out (links, pipes, sockets, devices) go to `skipped`
  // when it is given.
  bool CopyTree(const std::string& from, const std::string& to, std::string& error,
                std::vector<std::string>* skipped = nullptr) const;
  // Removes the tree at `path`, to any depth; links inside are removed, never followed. What can
  // be removed goes even when some entry cannot; the error names the first that could not.
  bool RemoveTree(const std::string& path, std::string& error) const;
  // Empties the open folder `fd`, which stays, never following links; `why` gets the first
  // failure.
  static bool EmptyOpenFolder(int fd, std::string& why);
  // Moves `from` to `to`, which must not exist; its parent folders are made. The folders it
  // changed are synced (unless collected): false too, with "cannot sync FOLDER: REASON", when one
  // cannot be, though the move is made, for a move that must outlive a power cut or not count.
  // Into the reachable folder on another file system it moves as `mv` does: `to` is a copy
  // (CopyTree's), whole and synced before `from` is removed; a copy that fails leaves nothing
  // at `to` and `from` as it was, and so does a tree that holds what a copy leaves out.
  bool Move(const std::string& from, const std::string& to, std::string& error) const;
  // Swaps two existing folders in one step, synced as Move's. `unsupported` is set when the file
  // system cannot.
  bool Exchange(const std::string& a, const std::string& b, std::string& error,
                bool* unsupported = nullptr) const;
  // While a set is given, the folder syncs of Move and Exchange are collected into it instead of
  // made, so that many moves can be made durable together (SyncFolders). Null makes them again.
  // Returns the set given before.
  std::set<std::string>* CollectSyncs(std::set<std::string>* pending) const {
    return std::exchange(pending_, pending);
  }
  // Syncs each of `folders`: 0, or the errno of the first that could not be, whose path goes to
  // `failed` when given.
  static int SyncFolders(const std::set<std::string>& folders, std::string* failed = nullptr);
  // While set, CopyTree leaves its copy unsynced, for a caller that makes every folder it filled
  // durable together (SyncNewTrees).
  void LeaveCopiesUnsynced(bool leave) const { copiesUnsynced_ = leave; }
  // Makes the trees at `paths`, which this process has just written, durable: each file's data,
  // each folder's entries and the folder that holds each tree. While the system holds little file
  // data not yet written back (no more than 64 KB per file of the trees, theirs among it), one
  // syncfs of their file system, which then waits for little else, and a look at each file for a
  // write-back that failed; otherwise each file and folder is synced, the write-back of every
  // file started first, and the rest of the file system is never waited for. 0 when done;
  // otherwise the errno of the first file, folder or file system that could not be (a
  // write-back failed: the disk is full or failing), whose path (a tree's for its file system)
  // goes to `failed` when given.
  static int SyncNewTrees(const std::vector<std::string>& paths, std::string* failed = nullptr);
  // Whether a process may still hold a regular file of the tree at `path` open for writing (a
  // descriptor or a shared writable mapping), by any name: true unless the kernel granted a read
  // lease on every one, which it refuses while one is. Each lease is held only until the files
  // around it are looked at (a writer's open waits for it meanwhile). True too where that cannot
  // be told: a file system or a file that takes no lease, a file that cannot be opened. With
  // `file`, the path of the file (or folder) that tells, and with `why`, the reason it cannot be
  // told; `why` is left empty when a writer holds that file.
  static bool MayBeHeldForWriting(const std::string& path, std::string* file = nullptr,
                                  std::string* why = nullptr);
  // The identity of the files of the folder tree at `path`, told without reading them: SHA-256
  // in hex over the sorted relative names, each entry's type and, for every entry but a folder,
  // its inode and change time to the nanosecond, with a file's size and modification time and a
  // link's target text. The device number is left out: the same file system mounted again on
  // another device (a USB disk, a loop or LVM volume) holds the same files. Each file is opened
  // once, to know that it can be, and none is read, so the signature costs the same for a file
  // of a byte and one of gigabytes. Only the
  // system clock sets a change time, and a copy, an archive, `touch` or `mv` gives a file a new
  // inode or a new change time, so two versions of a file never share a signature -- except two
  // writes within one tick of the file system's clock (SettledTreeSignature waits that out).
  // Folders' own times are not part of it, so the tree keeps its signature when its folder is
  // moved. Empty when an entry cannot be read or the tree is deeper than the limit; `why` then
  // names the entry, relative to `path`, and the reason. An empty signature equals no tree.
  // With `device`, each entry's device number goes in too, as in the signatures of the last
  // build: only to know the marks that build kept.
  static std::string TreeSignature(const std::string& path, std::string* why = nullptr,
                                   bool device = false);
  // What the tree holds, told by reading it: as TreeSignature, but with each file's size and
  // bytes in place of its inode and times, so that a copy shares the signature of its source.
  // Empty, with `why`, as TreeSignature is, and for a file whose size changed while it was read.
  // Without `bytes`, sizes alone: as cheap as TreeSignature, and unequal for trees that differ in
  // their names or sizes.
  static std::string ContentSignature(const std::string& path, std::string* why = nullptr,
                                      bool bytes = true);
  // TreeSignature and ContentSignature without bytes (`shape`) of the tree at `path`, told by one
  // walk, which adds each entry's name, type and size (a link's target) to `entries`. With
  // `like`, the entries of another tree, it reads the files' bytes too, as long as the entries so
  // far are those, and `content` is ContentSignature's when they all are; empty otherwise. All
  // are empty when an entry cannot be read.
  struct Signatures {
    std::string tree;
    std::string shape;
    std::string content;
  };
  static Signatures SignTogether(const std::string& path, std::vector<std::string>& entries,
                                 const std::vector<std::string>* like = nullptr);
  // The signature once the tick of the last change time of every entry has passed, so that no
  // later write can keep it: for entries changed just now it waits (a few milliseconds; on a file
  // system that keeps whole seconds, two at most) and signs again. Empty, with `why`, also for a
  // tree that still changes after three seconds or holds a change time ahead of the clock (the
  // clock set back). Modification times are not waited for: the writer chooses them. Without
  // `wait` it waits for nothing, and is empty for a tree with a change time of whole seconds
  // whose second (FAT's two) the clock has not passed; a tick of a time with a fraction, one of
  // the kernel's coarse clock (a few milliseconds), is let through.
  static std::string SettledTreeSignature(const std::string& path, std::string* why = nullptr,
                                          bool wait = true);
  // For tests: signatures read file times as a file system of whole seconds keeps them, and
  // `waiting` (when set) is called on the waiting thread before each wait for the clock.
  static void SetWholeSecondsForTests(bool wholeSeconds);
  static void SetClockWaitHookForTests(std::function<void()> waiting);
  // For tests: SyncNewTrees takes the system's file data not yet written back to be `bytes`;
  // negative reads it again. Its syncfs asks the read fault too ("syncfs", with a tree's path).
  static void SetUnwrittenForTests(int64_t bytes);
  // For tests: the reads of copies, signatures and StatPath ask `fault` first, with the call
  // ("list", "stat" or "open") and the path; a non-zero errno it returns fails that read so. A
  // listing asks once it has read its names, as one failing part-way. The syncs of SyncNewTrees
  // ask too ("sync"), from several threads at once, and MayBeHeldForWriting before it opens a
  // file to lease it ("lease"), and SyncFolders ("move", with the folder). Null ends it.
  static void SetReadFaultForTests(
      std::function<int(const char* call, const std::string& path)> fault);
  // Makes the folder and its missing parents inside the root.
  bool MakeFolders(const std::string& path, std::string& error) const;
  // Makes the new folder `path`, which must not exist, and its missing parents: a folder found
  // there is someone else's, and is never filled as one's own.
  bool MakeNewFolder(const std::string& path, std::string& error) const;

 private:
  bool Sync(const std::string& folder, std::string& error) const;
  // Whether `path` is the reachable folder or lies below it.
  bool InReachable(const std::string& path) const;
  // Move's copy onto another file system.
  bool CopyAcross(const std::string& from, const std::string& to, std::string& error) const;

  std::string root_;
  std::string reachable_;
  mutable std::set<std::string>* pending_ = nullptr;
  mutable bool copiesUnsynced_ = false;
};
