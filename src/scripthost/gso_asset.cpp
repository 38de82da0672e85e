#include "scripthost/gso_asset.h"

#include <string>
#include <vector>

#include "assetdata/soup_tree.h"
#include "platform/saturating_cast.h"
#include "pymclient/asset_spec_lookup.h"
#include "pymclient/pym_asset_handle.h"
#include "pymclient/pym_catalogue.h"
#include "qel/file_path.h"
#include "qel/resource_database.h"
#include "scripthost/gso_image.h"
#include "scripthost/gso_kuid.h"
#include "scripthost/gso_kuid_list.h"
#include "scripthost/gso_soup.h"
#include "scripthost/gso_string_table.h"
#include "scripthost/native_binding.h"
#include "scripthost/script_class_registry.h"

using GSRuntime::GSContext;
using GSRuntime::GSHandle;
using GSRuntime::GSStack;

namespace {

GSHandle AsAsset(GSHandle reference) {
  return ScriptHost::AsScriptClass(reference, ScriptHost::ScriptClassId::kAsset);
}

}  // namespace

GSHandle GSOAsset::Wrap(GSContext* owner, const KUID& kuid) {
  GSOAssetTable* table = owner != nullptr ? owner->Table<GSOAssetTable>() : nullptr;
  if (table == nullptr || kuid.IsNull()) return 0;
  KUID wanted = kuid;
  const auto cached = table->resolved.find(wanted);
  if (cached != table->resolved.end()) {
    if (cached->second.IsNull()) return 0;
    wanted = cached->second;
  }
  auto live = table->objects.find(wanted);
  if (live == table->objects.end()) {
    const KUID resolved = PymResolveKUID(wanted);
    if (resolved != wanted) {
      table->resolved[wanted] = resolved;
      if (resolved.IsNull()) return 0;
      wanted = resolved;
      live = table->objects.find(wanted);
    }
  }
  if (live != table->objects.end()) {
    GSOAsset* object = live->second;
    object->lastUse_ = GetSpecClock();
    const GSHandle reference = object->GetScriptInstance();
    GSRuntime::ObjectBridge::AddIfSet(reference);
    return reference;
  }
  if (const auto* visibility = dynamic_cast<const AssetVisibility*>(owner)) {
    if (!visibility->MayScriptsSee(wanted)) return 0;
  }
  auto* object = new GSOAsset(owner, wanted);
  object->lastUse_ = GetSpecClock();
  const GSHandle reference =
      ScriptHost::BindNewObject(object, ScriptHost::ScriptClassId::kAsset, owner);
  if (reference == 0) return 0;
  // The binding's count is the table's; the caller gets one more.
  table->objects.emplace(wanted, object);
  GSRuntime::ObjectBridge::AddReference(reference);
  return reference;
}

GSOAsset::~GSOAsset() {
  const GSHandle table = stringTable_;
  stringTable_ = 0;
  GSRuntime::ObjectBridge::ReleaseIfSet(table);
  config_.Clear();
  ReleaseSpecPointer(spec_);
  if (GSOAssetTable* assets = owner_->FindTable<GSOAssetTable>()) {
    const auto found = assets->objects.find(kuid_);
    if (found != assets->objects.end() && found->second == this) assets->objects.erase(found);
  }
}

void GSOAssetTable::Purge() {
  resolved.clear();
  while (!objects.empty()) {
    GSOAsset* object = objects.begin()->second;
    objects.erase(objects.begin());
    // The table's count is the binding's, which the object's end drops: an instance that a
    // script still holds lives on without its native object until the registry clears.
    delete object;
  }
}

SpecPointer GSOAsset::GetSpec() {
  if (!spec_) FindKestroBaseSpec(spec_, kuid_);
  return spec_;
}

const PymAssetInfo& GSOAsset::Info() {
  if (infoLoaded_ == 0) {
    PymGetAssetInfo(kuid_, info_, PymAssetInfo::kPartAll);
    infoLoaded_ = 1;
  }
  return info_;
}

const Soup& GSOAsset::Config() {
  if (config_.IsNull() || config_.GetRoot()->GetKind() != kKindContainer) {
    config_ = PymGetAssetConfigSoup(kuid_);
  }
  return config_;
}

KUID GSOAsset::LookupKUIDTableEntry(const Qel::PString& name) {
  const Soup& config = Config();
  const KUID found = config.GetNamedSoup("kuid-table").GetNamedTagAsKUID(name, KUID::Null());
  if (!found.IsNull()) return found;
  return config.GetNamedSoup("optional-kuid-table").GetNamedTagAsKUID(name, KUID::Null());
}

bool GSOAsset::IsAssetFileName(const Qel::PString& name) {
  return Qel::ResourceDatabase::IsSafeName(Qel::String(name.View()));
}

Qel::PString GSOAsset::NameParam(GSStack* stack, u32 index) {
  Qel::PString name;
  GSRuntime::GetParam(stack, index, &name, true);
  return name.Lower();
}

bool GSOAsset::TableEntry(GSStack* stack, KUID* out) {
  const Qel::PString name = NameParam(stack, 1);
  *out = LookupKUIDTableEntry(name);
  if (!out->IsNull()) return true;
  // Both natives that read the table report a missing entry under the lookup's name.
  return GSRuntime::RaiseScriptError("Asset.LookupKUIDTable> unable to find '%s' in kuid-table\n",
                                     name.CStr());
}

void GSOAsset::GetKUID(GSStack* stack) {
  GSRuntime::PushCounted(stack, GSOKUID::Wrap(GSRuntime::CallingContext(this), kuid_));
}

void GSOAsset::GetLocalisedName(GSStack* stack) {
  GSRuntime::PushString(stack, Info().name.View());
}

void GSOAsset::GetLocalisedDescription(GSStack* stack) {
  GSRuntime::PushString(stack, PymGetAssetDescription(kuid_).View());
}

void GSOAsset::GetCreatorName(GSStack* stack) {
  Qel::PString name;
  GetCreatorNameForId(Info().author, name);
  GSRuntime::PushString(stack, name.View());
}

void GSOAsset::LookupKUIDTable(GSStack* stack) {
  KUID kuid;
  if (!TableEntry(stack, &kuid)) return;
  GSRuntime::PushCounted(stack, GSOKUID::Wrap(GSRuntime::CallingContext(this), kuid));
}

void GSOAsset::FindAsset(GSStack* stack) {
  KUID kuid;
  if (!TableEntry(stack, &kuid)) return;
  GSRuntime::PushCounted(stack, AsAsset(Wrap(GSRuntime::CallingContext(this), kuid)));
}

void GSOAsset::GetStringTable(GSStack* stack) {
  SpecPointer spec = GetSpec();
  if (!spec) {
    GSRuntime::PushCounted(stack, 0);
    return;
  }
  if (stringTable_ == 0) stringTable_ = GSOStringTable::New(owner_, this, Config());
  GSRuntime::ObjectBridge::AddIfSet(stringTable_);
  GSRuntime::PushCounted(stack, stringTable_);
}

void GSOAsset::GetConfigSoup(GSStack* stack) {
  GSRuntime::PushCounted(stack, GSOSoup::New(GSRuntime::CallingContext(this), Config(), true));
}

void GSOAsset::GetDependencyList(GSStack* stack) {
  std::vector<KUID> dependencies;
  PymGetAssetDependencies(kuid_, dependencies);
  GSOKUIDList::List list;
  for (const KUID& kuid : dependencies) list.PushBack(kuid);
  GSRuntime::PushCounted(stack, GSOKUIDList::New(GSRuntime::CallingContext(this), &list));
}

void GSOAsset::SupportsKestroBuildVersion(GSStack* stack) {
  const f32 wanted = GSRuntime::FloatParam(stack, 1);
  const PymAssetInfo& info = Info();
  // Compared in hundredths, cut off rather than rounded: 3.499 does not support 3.5.
  const bool supported = info.found != 0 && Platform::SaturatingCast<i32>(info.build * 100.0f) >=
                                                Platform::SaturatingCast<i32>(wanted * 100.0f);
  stack->PushInt(supported ? 1 : 0);
}

void GSOAsset::LoadImage(GSStack* stack) {
  const Qel::PString name = NameParam(stack, 1);
  // Checked before anything else: a name may reach no file outside the asset's folder.
  if (name.IsEmpty() || !IsAssetFileName(name)) {
    GSRuntime::PushCounted(stack, 0);
    return;
  }
  PymAssetRef ref = PymOpenAsset(kuid_, false, nullptr);
  Qel::PString volume;
  Qel::File::Path folder;
  GSHandle image = 0;
  if (!ref.IsEmpty() && PymGetOpenAssetPath(volume, folder, ref)) {
    // The daemon names the folder by its whole path, or within its content volume.
    const Qel::String place =
        folder.IsAbsolute() ? folder.GetText() : Qel::File::InFolder(volume, folder.CStr());
    image = GSOImage::Load(GSRuntime::CallingContext(this), place.Std(), std::string(name.View()));
  }
  PymCloseAsset(ref);
  GSRuntime::PushCounted(stack, image);
}

void GSOAsset::IsLocallyModified(GSStack* stack) {
  stack->PushInt(IsAssetLocallyModified(kuid_) ? 1 : 0);
}

void GSOAsset::GetInfoURL(GSStack* stack) {
  GSRuntime::PushString(stack, PymGetAssetConfigSoup(kuid_).GetNamedTag("info-url").View());
}

void GSOAsset::GetIsFavorite(GSStack* stack) { stack->PushInt(Info().IsFavourite() ? 1 : 0); }

void GSOAsset::SetIsFavorite(GSStack* stack) {
  PymSetAssetFavorite(kuid_, GSRuntime::BoolParam(stack, 1));
  infoLoaded_ = 0;
}

void GSOAsset::GetParent(GSStack* stack) {
  const KUID parent = Info().parent;
  GSRuntime::PushCounted(stack, AsAsset(Wrap(GSRuntime::CallingContext(this), parent)));
}

void GSOAsset::GetCategoryEra(GSStack* stack) {
  GSRuntime::PushString(stack, Info().categoryEra.View());
}

void GSOAsset::GetCategoryRegion(GSStack* stack) {
  GSRuntime::PushString(stack, Info().categoryRegion.View());
}

void GSOAsset::GetSessionRuleData(GSStack* stack) {
  const Qel::PString name = NameParam(stack, 1);
  const Soup& config = Config();
  const Soup rules = config.GetNamedSoup("rule-data");
  if (!config.HasNamedTag("rule-data") || name.IsEmpty() || !rules.HasNamedTag(name)) {
    GSRuntime::PushCounted(stack, 0);
    return;
  }
  GSRuntime::PushCounted(
      stack, GSOSoup::New(GSRuntime::CallingContext(this), rules.GetNamedSoup(name), true));
}

void GSOAsset::IsBuiltIn(GSStack* stack) { stack->PushInt(IsAssetBuiltIn(kuid_) ? 1 : 0); }

void GSOAsset::IsOnTheVantry(GSStack* stack) {
  stack->PushInt(Info().GetFlag(PymAssetInfo::kFlagOnVantry) ? 1 : 0);
}
