// The texture tools.
#include "assetdata/kestro_property.h"
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
  u32 converted = 0;
  const bool done =
      CompressTextures(Qel::PString(), path, a.log, &converted) == kTextureConvertDone;
  ResultsLog::AddResult(
      a.log, ResultsLog::kInformation, KestroPropertyRef(),
      Qel::String::Format("Converted %u texture descriptions in %s", converted, path.CStr()));
  return done ? 0 : -1;
}
