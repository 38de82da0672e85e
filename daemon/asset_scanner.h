// Finding assets in content folders: any folder that holds "config.chump" or "config.txt" is an
// asset folder (its sub-folders are not searched), and its configuration soup gives the asset's
// KUID and the indexed fields. Symbolic links to folders are never followed.
#pragma once

#include <string>
#include <vector>

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

// Reads the asset folder `folderPath` (absolute) of the content folder `folderName`, whose path
// below the content folder is `relativePath`. Sets the flags that the asset alone decides; the
// flags that depend on other assets are the store's. False, with a reason, when the folder has no
// readable configuration or the configuration names no valid KUID.
bool ReadAssetFolder(const std::string& folderPath, const std::string& folderName,
                     const std::string& relativePath, ScannedAsset& out, std::string& reason);

// Appends every asset below the content folder `rootPath`, in name order (case-insensitive).
// Folders that cannot be read as assets are reported in `problems` and skipped.
void ScanContentFolder(const std::string& rootPath, const std::string& folderName,
                       std::vector<ScannedAsset>& out, std::vector<std::string>& problems);

// Folds into `hash` (FNV-1a 64) what decides the index entries of the content folder `rootPath`:
// its asset folders and the times and sizes of the folders and their configuration files. Only
// folders are listed and files looked at, nothing is read, so a start can tell cheaply whether
// anything changed while the daemon was stopped.
void FingerprintContentFolder(const std::string& rootPath, u64& hash);

}  // namespace PymDaemonSrv
