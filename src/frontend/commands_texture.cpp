// The texture tools.
#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "frontend/command_dispatcher.h"
#include "frontend/commands.h"
#include "pymclient/install_paths.h"
#include "qel/file.h"
#include "qel/file_path.h"
#include "validation/texture_convert_job.h"

int CompressTexture(CommandArgs& a) {
  if (a.second.IsEmpty()) {
    AddError(a.log, "Missing AssetID parameter.");
    return -1;
  }
  // The path as typed, case kept, relative to the folder the user started in.
  Qel::File::Path typed(JoinToStartupFolder(a.Arg(2)));
  typed.Normalize();
  // The installation's folders are known by the paths the program was found at: a path that
  // reaches one through a link finds its place by where it leads.
  Qel::File::Path path = typed;
  Qel::File::Path inside = typed;
  Qel::PString folder;
  if (!GetContentFolderName(inside, folder)) {
    const Qel::String real = Qel::File::RealPath(typed.CStr());
    if (!real.IsEmpty()) path = Qel::File::Path(real);
  }
  u32 converted = 0;
  const bool done =
      CompressTextures(Qel::PString(), path, a.log, &converted) == kTextureConvertDone;
  ResultsLog::AddResult(
      a.log, ResultsLog::kInformation, KestroPropertyRef(),
      Qel::String::Format("Converted %u texture descriptions in %s", converted, typed.CStr()));
  return done ? 0 : -1;
}
