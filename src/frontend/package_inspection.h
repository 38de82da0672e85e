// Package inspection (the vnyparse command): a package as it arrives for the repository is
// installed, its assets' missing dependencies are fetched from the repository, they are committed,
// and each is described in information entries of the results log, with a package of its own and
// a thumbnail beside the input package.
#pragma once

#include <vector>

#include "core/kuid.h"
#include "qel/pstring.h"
#include "qel/string.h"

class ResultsLog;

// True when the package was processed. False when it could not be read, when the daemon could not
// be asked whether it is idle, and when an install raised errors: then every asset the package
// installed is taken back, a new one deleted and one installed before reverted to its old
// version ("Aborted processing"), and nothing is committed or described.
bool VnyParsePackage(const Qel::String& packagePath, ResultsLog& log);
// While the repository may be used: passes over the asset's dependencies, installing each from
// the repository, while the last of a pass installed something; at most 10 passes.
void InstallMissingDependencies(const KUID& kuid);
// The KUIDs' texts, separated by ", ".
Qel::PString JoinKuidList(const std::vector<KUID>& kuids);
