#include "frontend/save_asset_as_cdp.h"

#include "assetdata/cdp_dsid.h"
#include "assetdata/cdp_package.h"
#include "assetdata/cdp_package_writer.h"
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
  // The writer createcdp uses: a package that an install would refuse is never written.
  ContentPackageWriter package(path.CStr());
  const Qel::PString added = package.Add(asset);
  if (!added.IsEmpty()) {
    return MakeMessage("%s could not be added: %s", kuid.ToString().CStr(), added.CStr());
  }
  if (package.Finish().IsEmpty()) return Qel::PString();
  return MakeMessage("Unable to write the package %s: %s", path.CStr(),
                     package.FailureReason().CStr());
}

bool SaveAssetAsCDP(const KUID& kuid, const Qel::String& path, ResultsLog* log) {
  const Qel::PString message = WriteAssetPackage(kuid, path, log);
  if (message.IsEmpty()) return true;
  ResultsLog::AddResult(
      log, ResultsLog::kError, MakeAssetIDProperty(Qel::PString("AssetID"), kuid),
      Qel::String(MakeMessage("Unable to write asset to CDP: %s", message.CStr())));
  return false;
}
