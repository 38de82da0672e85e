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

u32 VnyDeleteAll() {
  const PymFilterElementBool local(PymFilterCodes::kFlagLocal);
  std::vector<KUID> found;
  PymSearchAssets(&local, found);
  u32 deleted = 0;
  for (const KUID& kuid : found) deleted += PymDeleteAsset(kuid, true, nullptr) ? 1 : 0;
  return deleted;
}
