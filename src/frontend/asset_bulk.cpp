#include "frontend/asset_bulk.h"

#include <vector>

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

bool VnyDeleteAll() {
  const PymFilterElementBool local(PymFilterCodes::kFlagLocal);
  std::vector<KUID> found;
  PymSearchAssets(&local, found);
  for (const KUID& kuid : found) PymDeleteAsset(kuid, true, nullptr);
  return true;
}
