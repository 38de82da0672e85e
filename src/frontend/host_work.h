// The texture work that the command host does for the daemon. This build has no texture
// converter yet, so it does the least that its contract allows and says so in the results log.
#pragma once

#include "qel/file_path.h"
#include "qel/pstring.h"
#include "qel/types.h"

class ResultsLog;

// Converts the textures of a file or folder; the status code goes to the daemon unchanged (0:
// nothing converted). A path that does not exist is "Unable to search path: '$(FILE_NAME)'".
u32 ConvertTexturesAtPath(const Qel::PString& folderName, const Qel::File::Path& path,
                          ResultsLog& log);
