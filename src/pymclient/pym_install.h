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

// The daemon installs every asset of the package file; its results reach `log`. The number
// installed, 0 when the request fails.
u32 PymInstallCDP(const Qel::String& path, ResultsLog* log, u32 options, bool& second,
                  PymTransactionCallback* callback);
// The daemon installs the asset folder; the null KUID when nothing was installed.
KUID PymInstallAssetFromFolder(const Qel::String& folder, ResultsLog* log, u32 options,
                               bool& second, PymTransactionCallback* callback);
