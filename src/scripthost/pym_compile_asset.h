// Compiling the scripts of one asset folder for validation, the same way as for a loaded asset:
// the asset specification of the folder's configuration compiles, caches and links them and checks
// the class against the asset's kind.
#pragma once

#include "assetdata/soup.h"
#include "qel/file_path.h"
#include "qel/pstring.h"

class ResultsLog;

// The configuration of the asset folder: "config.chump", else "config.txt", read while the
// content root is open. False when the root cannot be opened or neither file loads. (Not the
// client's GetAssetConfigPath, which only names the file.)
bool LoadAssetFolderConfig(const Qel::PString& contentRoot, Soup& config,
                           const Qel::File::Path& folder);

// The one-time set-up of the script system that compiling needs; its first result is kept.
using ScriptSystemSetUp = bool (*)();
// Null restores the built-in set-up (the script machine with the installation's and the user's
// library folders).
void SetScriptSystemSetUp(ScriptSystemSetUp setUp);

// True when the folder's scripts compiled, linked and passed the kind check; an asset without
// scripts passes. Each failure adds one error to the log unless the compile already reported its
// own. Calls never overlap: the script system, the registry's default factory and the script
// machine are process-wide. A caller that has just read the folder's configuration as
// LoadAssetFolderConfig would passes it as `config` (not null), so the file is not read again.
bool PymCompileAsset(const Qel::PString& contentRoot, const Qel::File::Path& folder,
                     ResultsLog& log, const Soup* config = nullptr);
