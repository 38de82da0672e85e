// Which asset a folder holds, read before a change moves it: no change of one asset replaces,
// moves or removes a folder that holds another, and an asset that another folder still holds
// stays in the index.
#pragma once

#include <string>

#include "core/kuid.h"
#include "daemon/asset_scanner.h"
#include "daemon/asset_store.h"

namespace PymDaemonSrv {

// The folder of a new asset below its content folder: "kuid U C V".
std::string NewAssetPath(const KUID& kuid);

// The KUID that the asset folder at `path` names; null when there is no folder there, or no
// configuration that can be read.
KUID HeldKuid(const std::string& path, const std::string& folderName, const std::string& relative);

// The folder below the content folder `folderName` of `userData` that the asset's files go to:
// `wanted` when nothing is there or it holds the asset already, else a folder of its own, the
// first free of "kuid U C V", "kuid U C V 2", "kuid U C V 3"... A folder that cannot be read is
// never taken over: it may be someone's work. Empty, with a reason, when no free folder was found.
std::string FolderForAsset(const std::string& userData, const std::string& folderName,
                           const std::string& wanted, const KUID& kuid, std::string& error);

// False, with the reason, when the folder at `path` holds an asset other than `kuid`.
bool CheckHoldsAsset(const std::string& path, const std::string& folderName,
                     const std::string& relative, const KUID& kuid, std::string& error);

// Another asset folder of the store that holds `kuid` and that no row names, the first in path
// order; false when none does. Only unindexed folders are read, so that the cost does not grow
// with the store.
bool FindUnindexedFolderOf(AssetStore& store, const KUID& kuid, ScannedAsset& out);

}  // namespace PymDaemonSrv
