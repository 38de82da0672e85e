// One installed asset written out as a package of its own, as the repository's tools hand
// assets on.
#pragma once

#include "core/kuid.h"
#include "qel/pstring.h"
#include "qel/string.h"

class ResultsLog;

// Asks the daemon for the archived asset, stamps its "dsid" and saves a one-asset package at
// `path`. The daemon's own results go to `log`; the reason of a failure is returned (empty on
// success) for the caller to word. An asset that the package refuses is a failure: nothing is
// written then, so no empty package passes for the asset.
Qel::PString WriteAssetPackage(const KUID& kuid, const Qel::String& path, ResultsLog* log);

// WriteAssetPackage with the failure logged as an error that carries the asset; false on failure.
bool SaveAssetAsCDP(const KUID& kuid, const Qel::String& path, ResultsLog* log);
