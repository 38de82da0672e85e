// The validation and texture work that the command host does for the daemon. The validation
// library of this build has no rules yet, so validation does the least that its contract allows
// and says so in the results log.
#pragma once

#include "qel/file_path.h"
#include "qel/pstring.h"
#include "qel/types.h"

class ResultsLog;

// Validates the asset folder at `path`; true when the validation ran to its end. Reads the
// configuration ("config.chump", else "config.txt"); false, with "$pym_unable_read_config_at",
// when neither can be read. Compiles the asset's scripts; what fails there is logged as errors
// and does not end the validation.
bool ValidateAssetAtPath(const Qel::PString& folderName, const Qel::File::Path& path,
                         ResultsLog& log);
// Converts the textures of a file or folder (validation/texture_convert_job.h); the status code
// goes to the daemon unchanged: 2 when every description was converted, 0 when one failed or the
// path cannot be searched ("Unable to search path: '$(FILE_NAME)'"), 1 when the workers stopped.
u32 ConvertTexturesAtPath(const Qel::PString& folderName, const Qel::File::Path& path,
                          ResultsLog& log);
