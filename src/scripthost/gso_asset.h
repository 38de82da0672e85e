// The script class "Asset": an installed asset as scripts see it. A context has at most one
// object per asset: the context's asset table finds it (also under an older KUID that the
// database resolves to the asset's) and holds it until the context ends, so what an object has
// learnt from the daemon (its information record, its configuration, its string table) serves
// every later question of the context.
#pragma once

#include <map>

#include "assetdata/soup.h"
#include "core/kuid.h"
#include "gsruntime/gs_context.h"
#include "gsruntime/gs_object.h"
#include "pymclient/pym_asset_info.h"
#include "pymclient/spec_registry.h"

namespace GSRuntime {
class GSStack;
}  // namespace GSRuntime

// A context that limits which assets its scripts may see; Asset objects are made only for those.
// The host's context is one.
class AssetVisibility {
 public:
  virtual bool MayScriptsSee(const KUID& kuid) const = 0;

 protected:
  ~AssetVisibility() = default;
};

class GSOAsset : public GSRuntime::GSObject {
 public:
  // The context's object of the asset, counted for the caller; made on first use. 0 for the null
  // KUID, a KUID the database resolves to nothing, an asset the context does not let scripts
  // see, or when there is no context (or one that is ending).
  static GSRuntime::GSHandle Wrap(GSRuntime::GSContext* owner, const KUID& kuid);
  // Releases the string table and the asset specification.
  ~GSOAsset() override;

  const KUID& GetKUID() const { return kuid_; }
  // The asset specification, when the asset is a KestroBaseSpec (one more use, for the caller).
  SpecPointer GetSpec();
  // The configuration's "kuid-table" entry of that name, else its "optional-kuid-table" entry;
  // the null KUID when neither has it.
  KUID LookupKUIDTableEntry(const Qel::PString& name);
  // The information record, asked of the daemon once.
  const PymAssetInfo& Info();
  // The configuration, asked of the daemon while the cached one is empty.
  const Soup& Config();

  void GetKUID(GSRuntime::GSStack* stack);
  void GetLocalisedName(GSRuntime::GSStack* stack);
  void GetLocalisedDescription(GSRuntime::GSStack* stack);
  void GetCreatorName(GSRuntime::GSStack* stack);
  void LookupKUIDTable(GSRuntime::GSStack* stack);
  void FindAsset(GSRuntime::GSStack* stack);
  void GetStringTable(GSRuntime::GSStack* stack);
  void GetConfigSoup(GSRuntime::GSStack* stack);
  void GetDependencyList(GSRuntime::GSStack* stack);
  void SupportsKestroBuildVersion(GSRuntime::GSStack* stack);
  void LoadImage(GSRuntime::GSStack* stack);
  void IsLocallyModified(GSRuntime::GSStack* stack);
  void GetInfoURL(GSRuntime::GSStack* stack);
  void GetIsFavorite(GSRuntime::GSStack* stack);
  void SetIsFavorite(GSRuntime::GSStack* stack);
  void GetParent(GSRuntime::GSStack* stack);
  void GetCategoryEra(GSRuntime::GSStack* stack);
  void GetCategoryRegion(GSRuntime::GSStack* stack);
  void GetSessionRuleData(GSRuntime::GSStack* stack);
  void IsBuiltIn(GSRuntime::GSStack* stack);
  void IsOnTheVantry(GSRuntime::GSStack* stack);

  // Whether an image name stays inside the asset's folder: not absolute, no ".." element.
  static bool IsAssetFileName(const Qel::PString& name);

 private:
  GSOAsset(GSRuntime::GSContext* owner, const KUID& kuid) : owner_(owner), kuid_(kuid) {}

  // The lower-cased text of a string parameter; null and empty read as the empty name.
  static Qel::PString NameParam(GSRuntime::GSStack* stack, u32 index);
  // The entry of `name`, or the script error "Asset.LookupKUIDTable> unable to find ..." raised.
  bool TableEntry(GSRuntime::GSStack* stack, KUID* out);

  GSRuntime::GSContext* owner_;
  SpecPointer spec_;
  KUID kuid_;
  u8 infoLoaded_ = 0;
  PymAssetInfo info_;
  u32 lastUse_ = 0;
  Soup config_;
  GSRuntime::GSHandle stringTable_ = 0;  // counted
};

// The live Asset objects of one context by KUID, each held by one count of the table, and the
// context's cache of KUIDs that the database resolved to another KUID (the null KUID: to none).
class GSOAssetTable : public GSRuntime::GSContextTable {
 public:
  void Purge() override;

  std::map<KUID, GSOAsset*> objects;
  std::map<KUID, KUID> resolved;
};
