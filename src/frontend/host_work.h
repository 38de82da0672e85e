// The texture work that the command host does for the daemon.
#pragma once

#include "qel/file_path.h"
#include "qel/pstring.h"
#include "qel/types.h"

class ResultsLog;

// Converts the textures of a file or folder (validation/texture_convert_job.h); the status code
// goes to the daemon unchanged: 2 when every description was converted, 0 when one failed or the
// path cannot be searched ("Unable to search path: '$(FILE_NAME)'"), 1 when the workers stopped.
u32 ConvertTexturesAtPath(const Qel::PString& folderName, const Qel::File::Path& path,
                          ResultsLog& log);
