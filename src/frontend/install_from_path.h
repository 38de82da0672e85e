// Installing loose asset folders: a folder with an asset configuration is one asset, any other
// folder is searched below for asset folders.
#pragma once

#include "qel/file_path.h"
#include "qel/string.h"
#include "qel/types.h"

class PymTask;
class ResultsLog;

// Hands every asset folder at or below `folder` to the daemon (request 0x27) with the options,
// the out flag and the log; an asset folder's sub-folders are not searched, and links to
// folders are never followed. Stops after the entry at which `progress` (may be null) was asked
// to stop. The number of folders the daemon installed; why it refused any is in the log.
u32 InstallFromPath(const Qel::File::Path& folder, ResultsLog* log, u32 options, bool& second,
                    PymTask* progress);
// Every path the user types reads a '\' as a folder separator: a folder whose name holds one is
// installed when the walk meets it (an asset folder; any other is named with an error, since the
// file layer cannot search it), but a typed path cannot name it. Logs that error when `path`, as
// typed, names such a folder byte for byte; false, with nothing logged, otherwise.
bool RefuseBackslashFolder(const Qel::String& path, ResultsLog* log);
// A path that names anything but a folder (a file, a pipe, a socket, a device, a link to
// nothing) would be walked as a folder that holds nothing. Logs an error saying so, naming the
// folder to give for an asset's configuration, or why the path cannot be looked at, and returns
// true; false, with nothing logged, for a folder.
bool RefuseAllButFolder(const Qel::String& path, ResultsLog* log);
