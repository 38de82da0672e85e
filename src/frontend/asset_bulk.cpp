#include "frontend/asset_bulk.h"

#include <vector>

#include "frontend/commands.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_filter.h"
#include "pymclient/pym_filter_codes.h"
#include "pymclient/pym_search.h"

Qel::PString GetAssetAuthorName(const KUID& kuid) {
  PymAssetInfo info;
  PymGetAssetInfo(kuid, info, PymAssetInfo::kPartAll);
  Qel::PString name;
  GetCreatorNameForId(info.author, name);
  return name;
}

u32 VnyDeleteAll(ResultsLog* log) {
  const PymFilterElementBool local(PymFilterCodes::kFlagLocal);
  std::vector<KUID> found;
  PymSearchAssets(&local, found);
  u32 deleted = 0;
  for (const KUID& kuid : found) {
    ResultsLog daemonLog;
    const DaemonFailures failures;
    if (PymDeleteAsset(kuid, true, &daemonLog)) {
      ++deleted;
      continue;
    }
    // Only why: an asset left behind, say one an install holds, is named by its own line.
    const u32 errors = log->GetErrorCount();
    for (const ResultsLogEntry& e : daemonLog.GetEntries()) {
      if (e.type == ResultsLog::kError) log->AppendEntries({e});
    }
    AddGeneralError(log, errors, failures, kuid, "Failed to delete the asset.");
  }
  return deleted;
}
