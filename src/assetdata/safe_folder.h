// Folder work on asset content, confined to one root (the UserData folder):
// nothing outside it, nothing that is the root or one of its direct content folders, and never
// through a symbolic link. Copies are written beside their target and renamed into place, so a
// crash leaves either the old folder or the new one, whole.
#pragma once

#include <set>
#include <string>
#include <vector>

// Folder levels an asset may nest below its own folder. Every walk of asset folders (extraction,
// copy, comparison and the scanner's) stops at this depth, so an install refuses what the others
// could not handle. Removal goes far deeper, so that whatever a user nests in an editing copy, and
// every accepted asset wherever it was moved, can still be taken away.
inline constexpr int kMaxAssetFolderDepth = 64;
// What an install says of a tree deeper than that (or than `levels`).
std::string FoldersTooDeepReason(int levels = kMaxAssetFolderDepth);

class SafeFolder {
 public:
  // `root` must be an absolute, resolved folder.
  explicit SafeFolder(std::string root) : root_(std::move(root)) {}

  const std::string& Root() const { return root_; }
  // root + "/" + relative, when `relative` is a plain relative path: no "..", no "." elements, no
  // empty elements, not absolute. Empty otherwise.
  std::string Resolve(const std::string& relative) const;
  // True when `path` lies at least two levels below the root, and neither it nor any folder
  // between it and the root is a symbolic link.
  bool MayChange(const std::string& path) const;

  // Copies the folder tree `from` to the new folder `to` (which must not exist), regular files
  // and folders only, each file flushed to disk and copied as far as it reached when it was
  // opened. A copied file keeps its source's times unless the source changed while it was copied;
  // the paths below `from` of such files go to `changed` when it is given. Files and folders keep
  // their modes, less set-id bits and the write for others; the owner can always read a file and
  // change a folder. False, with nothing left at `to`, on failure. The paths below `from` of the
  // entries left out (links, pipes, sockets, devices) go to `skipped` when it is given.
  bool CopyTree(const std::string& from, const std::string& to, std::string& error,
                std::vector<std::string>* skipped = nullptr,
                std::vector<std::string>* changed = nullptr) const;
  // Removes the tree at `path`; links inside are removed, never followed. Depth is no matter of
  // path length: only a tree nested hundreds of levels deep is refused, with that reason.
  bool RemoveTree(const std::string& path, std::string& error) const;
  // Moves `from` to `to`, which must not exist; its parent folders are made.
  bool Move(const std::string& from, const std::string& to, std::string& error) const;
  // Swaps two existing folders in one step. `unsupported` is set when the file system cannot.
  bool Exchange(const std::string& a, const std::string& b, std::string& error,
                bool* unsupported = nullptr) const;
  // While a set is given, the folder syncs of Move and Exchange are collected into it instead of
  // made, so that many moves can be made durable together (SyncFolders). Null makes them again.
  void CollectSyncs(std::set<std::string>* pending) const { pending_ = pending; }
  static void SyncFolders(const std::set<std::string>& folders);
  // The quick-check signature of the folder tree at `path`: SHA-256 in hex over the sorted
  // relative names, each entry's type, a file's size and modification time to the nanosecond and
  // a link's target text. No file is read (each is opened once, to know that it can be), so the
  // signature costs the same for a file of a byte and one of gigabytes; two trees with the same
  // signature hold the same names and types, and files of the same sizes and times, which every
  // copy this program makes keeps (CopyTree). Folders' own times are not part of it. Empty when
  // an entry cannot be read or the tree is deeper than the limit; `why` then names the entry,
  // relative to `path`, and the reason. An empty signature equals no tree, not even itself.
  static std::string TreeSignature(const std::string& path, std::string* why = nullptr);
  // Makes the folder and its missing parents inside the root.
  bool MakeFolders(const std::string& path, std::string& error) const;

 private:
  void Sync(const std::string& folder) const;

  std::string root_;
  mutable std::set<std::string>* pending_ = nullptr;
};
