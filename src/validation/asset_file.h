// Where the files that an asset's configuration names are looked for. Every check that tests a
// file named by a value goes through here, so that a name can never reach outside the asset:
// a name that is absolute, climbs with "..", or leads out through a symbolic link is missing.
//
// Configurations are written on systems whose file names ignore case, so the value's own part of
// the path is looked up ignoring case, one element at a time (an exact match first); the folders
// above it, the installation's and the asset's, are taken as they are.
#pragma once

#include <string>
#include <string_view>

#include "qel/string.h"

namespace TETLib {

// A name inside a folder: relative, no drive form, no ".." element. Backslashes count as '/'.
bool IsConfinedName(std::string_view name);

// The asset's folder on disk, ending in '/': the data manager's content folder (its user-data
// folder) joined with its asset folder; an absolute asset folder (or one without a content
// folder) alone. Empty when there is none.
Qel::String AssetRootFolder();

// The existing file that value names below the asset's folder (and below subfolder of it, when
// given), found as the header says; empty when there is none or the name is not confined.
Qel::String FindAssetFile(std::string_view value, std::string_view subfolder = {});

}  // namespace TETLib
