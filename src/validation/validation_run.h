// The validation of one asset folder, from the command host's request to the findings in the
// request's results log: the configuration is matched against its kind's definition, exported
// (where the tag checks and rules run), the container rules and the texture-file check run, and
// every error and warning becomes a results-log entry carrying the asset's KUID. An asset that
// passes has its scripts compiled last.
//
// Validation runs on the main thread, one asset at a time, under the validation lock; the data
// manager's per-asset state starts afresh for each asset, so one host can validate many.
#pragma once

#include "qel/file_path.h"
#include "qel/pstring.h"

class ResultsLog;

namespace TETLib {

// The command host's entry: runs the validation on the main thread (at once when called there,
// otherwise queued and waited for). True when the asset passed.
bool RunValidateAssetTask(Qel::PString contentFolder, Qel::File::Path assetFolder, ResultsLog* log);

// The whole validation of an asset folder in a content folder (an empty name: the content
// folder is found from the path). False at once, with nothing logged, when the path lies in no
// content folder; true without a check for a content folder held as a packed archive.
bool LoadAssetConfigForValidation(ResultsLog* log, Qel::PString contentFolder,
                                  Qel::File::Path assetFolder);

// The validation once the content folder is known: contentFolder may be empty, and then
// assetFolder is an absolute path (tools without an installation). compileScripts false leaves
// the scripts alone.
bool ValidateAssetFolder(ResultsLog* log, const Qel::PString& contentFolder,
                         const Qel::File::Path& assetFolder, bool compileScripts);

}  // namespace TETLib
