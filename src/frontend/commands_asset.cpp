// Commands over installed assets.
#include <cstdio>
#include <memory>
#include <vector>

#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/kuid.h"
#include "frontend/asset_status.h"
#include "frontend/commands.h"
#include "pymclient/pym_asset_handle.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_filter.h"
#include "pymclient/pym_filter_codes.h"
#include "pymclient/pym_search.h"

int SearchByCategory(CommandArgs& a) {
  auto filter = std::make_unique<PymFilterElementGroup>();
  if (a.second == Qel::PString("-a")) {
    const char* expression = a.Arg(3);
    if (expression == nullptr || *expression == '\0') {
      AddError(a.log, "Missing category parameter.");
      return -1;
    }
    filter->AddElement(std::make_unique<PymFilterElementString>(PymFilterCodes::kStringCategoryList,
                                                                Qel::PString(expression).Upper()));
  } else {
    filter->AddElement(std::make_unique<PymFilterElementString>(PymFilterCodes::kStringCategoryList,
                                                                a.second.Upper()));
    filter->AddElement(std::make_unique<PymFilterElementBool>(PymFilterCodes::kFlagLocal));
  }
  std::vector<KUID> found;
  PymSearchAssets(filter.get(), found);
  if (found.empty()) return -1;
  std::printf("+ %zu : assets matching the specified criteria\n", found.size());
  for (size_t i = 0; i < found.size(); ++i) {
    std::printf("+ #%zu : %s\n", i, found[i].ToString().CStr());
  }
  return 0;
}

namespace {

// The KUID of the second argument (strict), or the missing-argument error.
bool AssetArgument(CommandArgs& a, KUID& kuid) {
  if (a.second.IsEmpty()) {
    AddError(a.log, "Missing AssetID parameter.");
    return false;
  }
  kuid = KUID::Parse(a.second.CStr(), true);
  return true;
}

void AddAssetError(ResultsLog* log, const KUID& kuid, const char* text) {
  ResultsLog::AddResult(log, ResultsLog::kError, MakeAssetIDProperty(Qel::PString("AssetID"), kuid),
                        text);
}

}  // namespace

int Edit(CommandArgs& a) {
  KUID kuid;
  if (!AssetArgument(a, kuid)) return -1;
  PymAssetRef ref = PymOpenAsset(kuid, true, a.log);
  if (ref.IsEmpty()) {
    AddAssetError(a.log, kuid, "Unknown AssetID.");
    return -1;
  }
  Qel::PString folderName;
  Qel::File::Path path;
  PymGetOpenAssetPath(folderName, path, ref);
  std::printf("+ %s : %s\n", kuid.ToString().CStr(), path.CStr());
  PymCloseAsset(ref);
  return 0;
}

int PrintConfig(CommandArgs& a) {
  KUID kuid;
  if (!AssetArgument(a, kuid)) return -1;
  const Soup config = PymGetAssetConfigSoup(kuid);
  if (config.IsNull()) {
    AddAssetError(a.log, kuid, "Asset is not local.");
    return -1;
  }
  std::printf("+ Start of %s dump\n", kuid.ToString().CStr());
  std::fflush(stdout);
  config.PrintToConsole();
  std::printf("+ End of %s dump\n", kuid.ToString().CStr());
  return 0;
}

int Commit(CommandArgs& a) {
  KUID kuid;
  if (!AssetArgument(a, kuid)) return -1;
  PymAssetRef ref = PymOpenAsset(kuid, true, nullptr);
  const bool committed = PymCommitAsset(ref, 0, a.log, nullptr);
  PymCloseAsset(ref);
  return committed ? 0 : -1;
}

int Revert(CommandArgs& a) {
  KUID kuid;
  if (!AssetArgument(a, kuid)) return -1;
  PymAssetRef ref = PymOpenAsset(kuid, false, nullptr);
  const bool reverted = PymRevertAsset(ref, nullptr);
  // The revert took the holder's reference; this close has nothing left to release.
  PymCloseAsset(ref);
  return reverted ? 0 : -1;
}

int Delete(CommandArgs& a) {
  KUID kuid;
  if (!AssetArgument(a, kuid)) return -1;
  return PymDeleteAsset(kuid, true, nullptr) ? 0 : -1;
}

int Status(CommandArgs& a) {
  KUID kuid;
  if (!AssetArgument(a, kuid)) return -1;
  return PrintAssetStatus(kuid, *a.log) ? 0 : -1;
}

int Validate(CommandArgs& a) {
  KUID kuid;
  if (!AssetArgument(a, kuid)) return -1;
  return ValidateAsset(kuid, *a.log) ? 0 : -1;
}
