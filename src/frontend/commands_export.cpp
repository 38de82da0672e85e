// The repository's publishing commands.
#include "assetdata/results_log.h"
#include "frontend/command_dispatcher.h"
#include "frontend/commands.h"
#include "frontend/repository_export.h"

namespace {

// Below the start-up folder, so that an export lands beside where it was started.
constexpr const char* kExportFolder = "Kestro Asset Parse";

}  // namespace

int VnyParseFolder(CommandArgs& a) {
  const char* folder = a.Arg(2);
  if (folder == nullptr || *folder == '\0') {
    AddError(a.log, "No folder path set");
    return -1;
  }
  if (RefuseTypedFolder(folder, a.log)) return -1;
  const u32 errors = a.log->GetErrorCount();
  // The typed folder first, so that a refusal names the user's path.
  const Qel::String from = JoinToStartupFolder(folder);
  RunRepositoryExport(from, JoinToStartupFolder(kExportFolder), *a.log);
  // Assets left out of the export must not pass for a whole export.
  return a.log->GetErrorCount() == errors ? 0 : -1;
}
