#include "frontend/walked_kuids.h"

#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"

KUID ConfigKuid(const std::string& config) {
  Soup loaded;
  if (!loaded.LoadFile(nullptr, config.c_str(), nullptr)) return KUID::Null();
  return loaded.GetNamedTagAsKUID(Qel::PString("kuid"), KUID::Null());
}

bool WalkedKuids::IsFirst(const KUID& kuid, const Qel::String& folder, ResultsLog* log) const {
  const auto earlier = placed_.find(kuid);
  if (earlier == placed_.end()) return true;
  ResultsLog::AddResult(log, ResultsLog::kError, MakeAssetIDProperty(Qel::PString("AssetID"), kuid),
                        "Not installed: " + folder + ": the asset is listed twice, first in " +
                            earlier->second + ".");
  return false;
}

void WalkedKuids::Take(const KUID& kuid, const Qel::String& folder) {
  if (!kuid.IsNull()) placed_.emplace(kuid, folder);
}
