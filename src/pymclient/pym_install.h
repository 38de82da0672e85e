// Installing assets: whole packages and asset folders through the daemon, and single archived
// assets of a package that the tool has read itself.
#pragma once

#include "assetdata/soup.h"
#include "core/kuid.h"
#include "qel/string.h"
#include "qel/types.h"

class PymTransactionCallback;
class ResultsLog;

// Install option bits.
inline constexpr u32 kInstallCommit = 2;  // commit, and save the configuration as "config.chump"
inline constexpr u32 kInstallCleared = 4;
inline constexpr u32 kInstallCommitOption = 8;
// An installed asset is opened by PymOpenAssetToInstall: a start takes back the copy should the
// install be left unfinished. A new asset is created held by the install, as the open holds an
// installed one, until the command sends PymEndInstall.
inline constexpr u32 kInstallTakeBack = 16;

// The daemon installs every asset of the package file; its results reach `log`. The number
// installed, 0 when the request fails. Installing makes later asset specification lookups ask the
// daemon afresh.
u32 PymInstallCDP(const Qel::String& path, ResultsLog* log, u32 options, bool& second,
                  PymTransactionCallback* callback);
// The daemon installs the asset folder; the null KUID when nothing was installed.
KUID PymInstallAssetFromFolder(const Qel::String& folder, ResultsLog* log, u32 options,
                               bool& second, PymTransactionCallback* callback);

// Installs one archived asset of a package read by the tool: opens or creates it in the daemon,
// writes its files and configuration into its editable folder and, with kInstallCommit, commits
// it. `callback` (may be null) is asked before an installed asset is overwritten. The asset's
// KUID, or the null KUID when nothing was installed; every failure is reported into `log`.
// `openedToInstall` (may be null) is set once kInstallTakeBack opened the asset for this install.
KUID InstallAssetFromFile(const Soup& archived, ResultsLog* log, u32 options, bool& commitSecond,
                          PymTransactionCallback* callback, bool* openedToInstall = nullptr);
// Asks the callback and logs its choice as a warning; returns the answer.
u32 LogInstallPromptAnswer(PymTransactionCallback* callback, const Qel::String& question,
                           const KUID& kuid, ResultsLog* log);
