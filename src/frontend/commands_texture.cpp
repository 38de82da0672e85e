// The texture tools.
#include "assetdata/results_log.h"
#include "frontend/command_dispatcher.h"
#include "frontend/commands.h"
#include "qel/file_path.h"
#include "validation/texture_convert_job.h"

int CompressTexture(CommandArgs& a) {
  if (a.second.IsEmpty()) {
    AddError(a.log, "Missing AssetID parameter.");
    return -1;
  }
  // The path as typed, case kept, relative to the folder the user started in.
  Qel::File::Path path(JoinToStartupFolder(a.Arg(2)));
  path.Normalize();
  return CompressTextures(Qel::PString(), path, a.log) == kTextureConvertDone ? 0 : -1;
}
