// Entry names that differ only in case. Assets come from, and go to, systems that do not tell
// "Readme.txt" from "README.txt": two such entries of one asset would become one file there (and
// one of them would silently stand in for the other here), so an install or a package that holds
// both is refused, naming both, before anything is written.
#pragma once

#include <string>
#include <vector>

#include "assetdata/soup.h"

// The reason against the byte-wise first two of `paths` (relative, '/'-separated) that name one
// entry when case is ignored ("Sub/a.txt" and "SUB/b.txt" collide as the folders "SUB" and
// "Sub"); empty when no two do.
std::string CaseCollision(std::vector<std::string> paths);
// CaseCollision of the entries that a package's "files" container writes (cdp_extract.h): what
// its rules pass over, and the configuration files at the top that every install drops, count
// for nothing.
std::string PackageCaseCollision(const Soup& files);
// CaseCollision of the files and folders below `folder`; other entries are never copied.
std::string FolderCaseCollision(const std::string& folder);
