// The validation and texture work that the command host does for the daemon. The validation
// library of this build has no rules and no texture converter yet, so both do the least that
// their contract allows and say so in the results log.
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
// Converts the textures of a file or folder; the status code goes to the daemon unchanged (0:
// nothing converted). A path that does not exist is "Unable to search path: '$(FILE_NAME)'".
u32 ConvertTexturesAtPath(const Qel::PString& folderName, const Qel::File::Path& path,
                          ResultsLog& log);
