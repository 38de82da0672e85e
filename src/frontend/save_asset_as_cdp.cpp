#include "frontend/save_asset_as_cdp.h"

#include "assetdata/cdp_dsid.h"
#include "assetdata/cdp_package.h"
#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "pymclient/pym_catalogue.h"

namespace {

// Whole asset with its files, as createcdp asks for it.
constexpr u32 kSaveAssetOptions = 3;

}  // namespace

Qel::PString WriteAssetPackage(const KUID& kuid, const Qel::String& path, ResultsLog* log) {
  Soup asset = PymSaveAssetToCDP(kuid, log, kSaveAssetOptions);
  SetAssetDsid(asset);
  Soup package;
  const Qel::PString added = AddArchivedAsset(package, asset);
  if (!added.IsEmpty()) {
    return MakeMessage("%s could not be added: %s", kuid.ToString().CStr(), added.CStr());
  }
  return SaveContentPackage(package, path.CStr());
}

bool SaveAssetAsCDP(const KUID& kuid, const Qel::String& path, ResultsLog* log) {
  const Qel::PString message = WriteAssetPackage(kuid, path, log);
  if (message.IsEmpty()) return true;
  ResultsLog::AddResult(
      log, ResultsLog::kError, MakeAssetIDProperty(Qel::PString("AssetID"), kuid),
      Qel::String(MakeMessage("Unable to write asset to CDP: %s", message.CStr())));
  return false;
}
