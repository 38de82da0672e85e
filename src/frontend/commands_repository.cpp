// Commands that reach the content repository.
#include "assetdata/results_log.h"
#include "core/kuid.h"
#include "frontend/commands.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/vny_install.h"

int InstallFromVny(CommandArgs& a) {
  const KUID kuid = KUID::Parse(a.second.CStr(), true);
  if (kuid.IsNull()) {
    AddError(a.log, a.second.IsEmpty() ? "Missing AssetID parameter." : "Invalid AssetID.");
    return -1;
  }
  const u32 errorsBefore = a.log != nullptr ? a.log->GetErrorCount() : 0;
  const DaemonFailures failures;
  InstallAssetFromVny(kuid, a.log);
  // A failure is never reported as success: the command succeeds only when the asset's newest
  // version is there at the end and nothing went wrong on the way.
  const bool clean = a.log == nullptr || a.log->GetErrorCount() == errorsBefore;
  if (clean && IsAssetInstalledLocally(PymGetLatestAssetVersion(kuid))) return 0;
  // Nothing reported on the way, and the daemon answered: the repository had nothing to install.
  if (clean && !failures.Any()) {
    AddError(a.log, "The repository does not offer " + Qel::String(kuid.ToString()) + ".");
  }
  return -1;
}
