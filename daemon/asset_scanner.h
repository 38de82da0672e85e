// Finding assets in content folders: any folder that holds "config.chump" or "config.txt" is an
// asset folder (its sub-folders are not searched), and its configuration soup gives the asset's
// KUID and the indexed fields. Symbolic links to folders are never followed.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "assetdata/soup.h"
#include "daemon/asset_record.h"
#include "qel/types.h"

namespace PymDaemonSrv {

struct ScannedAsset {
  AssetRecord record;
  // The configuration in binary soup form.
  std::vector<u8> config;
  // What the reader passed over on its way (a binary configuration it could not read); empty
  // when nothing.
  std::string warning;
};

// A configuration in the binary soup form of ScannedAsset::config, read back; the empty soup for
// no bytes.
Soup DecodeConfig(const std::vector<u8>& bytes);

// The category list that the index holds for an asset: the list of its kind (with the type
// words of its "type"), then the list of each of its legacy category-class codes, each entry
// once; a code that no row of the class table knows is kept as it is, so that assets classed
// with it are still found by it.
std::string DeriveCategories(const std::string& kind, const std::string& type,
                             const std::string& classText);

// Which configuration file of a folder holding both is read: an installed folder's binary form,
// or, for a folder being installed, the text form that the install keeps.
enum class ConfigOrder { kBinaryFirst, kTextFirst };

// Reads the asset folder `folderPath` (absolute) of the content folder `folderName`, whose path
// below the content folder is `relativePath`. Sets the flags that the asset alone decides; the
// flags that depend on other assets are the store's. False, with a reason, when the folder has no
// readable configuration or the configuration names no valid KUID.
bool ReadAssetFolder(const std::string& folderPath, const std::string& folderName,
                     const std::string& relativePath, ScannedAsset& out, std::string& reason,
                     ConfigOrder order = ConfigOrder::kBinaryFirst);

// The content fingerprint: one part per asset folder (and per folder that could not be listed),
// keyed by the content folder's name and the folder's relative path. A part hashes what decides
// the folder's index entry: its path, the times and sizes of the folder and its configuration
// files. The fingerprint is the sum of the parts, which does not depend on their order: a change
// of one folder replaces one part, and a start can tell cheaply whether anything changed while
// the daemon was stopped.
using FingerprintParts = std::unordered_map<std::string, u64>;

// Appends every asset below the content folders `folderNames` of `userData`, each content folder
// in name order (case-insensitive), and sets the fingerprint's parts of what it walked, each part
// taken before its asset is read. Folders that cannot be read as assets are reported in
// `problems`, in walk order, and skipped. Folders are walked and read on several threads.
void ScanContentFolders(const std::string& userData, const std::vector<std::string>& folderNames,
                        std::vector<ScannedAsset>& out, std::vector<std::string>& problems,
                        FingerprintParts& parts);

// The parts alone: only folders are listed and files looked at, nothing is read.
void FingerprintContentFolders(const std::string& userData,
                               const std::vector<std::string>& folderNames,
                               FingerprintParts& parts);
// The key and part of the folder `relativePath` below the content folder `rootPath`; false when
// it is not an asset folder, which has no part.
std::string FingerprintKey(const std::string& folderName, const std::string& relativePath);
bool FingerprintAssetFolder(const std::string& rootPath, const std::string& folderName,
                            const std::string& relativePath, u64& part);

}  // namespace PymDaemonSrv
