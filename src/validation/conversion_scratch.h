// Where texture conversions keep their scratch files (the description's copy, the texture being
// written): a folder of the process's own under the temporary folder, so that what a conversion
// killed midway leaves behind can be told from what a running one still uses.
#pragma once

#include "qel/file_path.h"

// A free name in this process's scratch folder "<temporary folder>/convert-<process id>", made
// with that folder. Before, removes the scratch folders of processes that are no longer running.
// False when the folder cannot be made or no free name is found.
bool CreateConversionScratchPath(Qel::File::Path& out);
// Removes a scratch file made there, and the folder once no other file is left in it.
void RemoveConversionScratchFile(const Qel::File::Path& path);
