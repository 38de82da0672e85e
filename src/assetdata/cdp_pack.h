// Reading an asset folder into an archived asset's "files" container: the reverse of
// cdp_extract.h, under the same name, folder and file-type rules, so that whatever is packed
// extracts again to the same tree.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "assetdata/soup.h"
#include "qel/pstring.h"

struct PackedFolder {
  Soup files;
  // Paths below the folder that the rules keep out of a package (a name or file type it may not
  // hold).
  std::vector<std::string> skipped;
  // Folders nested deeper than kMaxAssetFolderDepth (safe_folder.h), which no install takes: a
  // package without them would lack part of the asset.
  std::vector<std::string> tooDeep;
  // Entries that are neither a file nor a folder (links, pipes, sockets, devices): never packed.
  std::vector<std::string> leftOut;
  // Files and folders of the asset that could not be read ("PATH: REASON", the whole path), also
  // when a folder read whole cannot be listed again at the end, and files larger than a package
  // file may be: a package without them would lack part of the asset.
  std::vector<std::string> unreadable;
  std::vector<std::string> tooLarge;
  // Set, and `ok` false, when the tree changed while it was read: a file listed at the start was
  // gone, changed or replaced when it was read, or the tree listed at the end was not the one
  // listed at the start. Says what changed ("mesh/body.im changed").
  std::string changed;
  // Bytes read, and bytes as stored in `files`.
  u64 plainBytes = 0;
  u64 packedBytes = 0;
  bool ok = false;
};

// kAllCores compresses the files side by side on the calling thread and on as many helper
// threads as the process has cores to spare; the result is the same byte for byte.
enum class PackThreads { kAllCores, kCallingThread };

// The folder tree below `folder`, each file stored as `compression` names ("" or "LZSS").
// Symbolic links are never followed. The folder's own configuration files ("config.txt",
// "config.chump") are left out: the archived asset's tags carry the configuration. The folder
// itself is the caller's to check: a folder replaced whole after the end listing is not seen.
// `listed`, when given, is called once the tree is listed and before any file is read.
PackedFolder PackAssetFolder(const std::string& folder, const Qel::PString& compression,
                             PackThreads threads = PackThreads::kAllCores,
                             const std::function<void()>& listed = {});
// The number of files PackAssetFolder would pack from the folder as it is now, told from the
// listing alone: a folder too large for a package is refused before any of it is read or copied.
u64 CountPackedFiles(const std::string& folder);
