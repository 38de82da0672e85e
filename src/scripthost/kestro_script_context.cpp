#include "scripthost/kestro_script_context.h"

#include <string>

#include "assetdata/category.h"
#include "core/app_globals.h"
#include "core/log_printf.h"
#include "core/time_date.h"
#include "gsruntime/gs_array.h"
#include "gsruntime/gs_machine.h"
#include "pymclient/asset_spec_lookup.h"
#include "pymclient/pym_catalogue.h"
#include "pymclient/pym_search.h"
#include "scripthost/gso_asset.h"
#include "scripthost/gso_kuid.h"
#include "scripthost/gso_library.h"
#include "scripthost/gso_soup.h"
#include "scripthost/native_binding.h"
#include "scripthost/native_plugin.h"
#include "scripthost/script_class_registry.h"

using GSRuntime::GSHandle;
using GSRuntime::GSStack;
using ScriptHost::ScriptClassId;
namespace fc = PymFilterCodes;

namespace {

constexpr f32 kKestroVersion = 3.6f;
constexpr i32 kKestroBuild = 48249;

std::unique_ptr<PymFilterElement> Flag(u32 index) {
  return std::make_unique<PymFilterElementBool>(index);
}

// The listing filter: what the user may list, not obsolete, compatible, of the categories.
void AddListingFilter(PymFilterElementGroup& group, const Qel::PString& categories) {
  group.AddElement(Flag(fc::kFlagListingPrivilege));
  group.AddNegated(Flag(fc::kFlagObsolete));
  group.AddElement(Flag(fc::kFlagCompatible));
  group.AddElement(std::make_unique<PymFilterElementString>(fc::kStringCategoryList, categories));
}

void AddLocalFlags(PymFilterElementGroup& group) {
  group.AddElement(Flag(fc::kFlagLocal));
  group.AddElement(Flag(fc::kFlagLocallyAvailable));
  group.AddElement(Flag(fc::kFlagLocallyEnabled));
}

TTimeDate Now() {
  TTimeDate now;
  now.SetToNow();
  return now;
}

}  // namespace

namespace {

// The context a world-list load runs for, which the library factory makes its items in.
KestroScriptContext* g_loading = nullptr;

}  // namespace

KestroScriptContext::~KestroScriptContext() {
  worldList_.Clear();
  PurgeTables();
  ScriptHost::ReleaseNativeHandles(nativeBlock_);
  QMIRelease(nativeBlock_);
}

QMIObject* KestroScriptContext::LoadNativeLibrary(const Qel::PString& name) {
  return ScriptHost::LoadNativePlugin(nativeBlock_, name.View());
}

void KestroScriptContext::MenuIconHook(GSOLibrary*, const KUID&, const Qel::PString&,
                                       const Qel::PString&, bool) {}
void KestroScriptContext::BlinkIconHook(GSOLibrary*, i32) {}
void KestroScriptContext::ShowIconMenuHook(GSOLibrary*, GSStack*) {}
void KestroScriptContext::HideIconMenuHook(GSOLibrary*, GSStack*) {}
void KestroScriptContext::LibraryAdded(GSOLibrary*) {}

KestroScriptContext* KestroScriptContext::Loading() { return g_loading; }

GSOLibrary* KestroScriptContext::GetScriptLibrary(const KUID& kuid) {
  if (kuid.IsNull()) return nullptr;
  SpecPointer spec;
  FindAssetSpec(spec, kuid, IsLibrarySpec);
  if (!spec) {
    LogPrintf("KestroScriptContext::GetScriptLibrary> unable to find Library %s",
              kuid.ToString().CStr());
    return nullptr;
  }
  for (u32 i = 0; i < worldList_.Count(); ++i) {
    auto* library = dynamic_cast<GSOLibrary*>(worldList_.At(i));
    if (library != nullptr && library->GetLibrarySpec() == spec.Get()) {
      library->CallScriptInit();
      return library;
    }
  }
  if (worldList_.locked != 0) {
    LogPrintf("KestroScriptContext::GetScriptLibrary> attempted while list is locked");
    return nullptr;
  }
  GSOLibrary* library = static_cast<GSOLibrarySpec*>(spec.Get())->CreateInstance(this);
  if (library == nullptr) {
    LogPrintf("KestroScriptContext::GetScriptLibrary> unable to create instance of Library %s",
              kuid.ToString().CStr());
    return nullptr;
  }
  worldList_.Add(library);
  LibraryAdded(library);
  library->CallScriptInit();
  if (library->InitFailed()) {
    LogPrintf("KestroScriptContext::GetScriptLibrary> script failure on Library %s",
              kuid.ToString().CStr());
    delete library;
    return nullptr;
  }
  return library;
}

void KestroScriptContext::SaveWorldList(TStream& stream) { worldList_.SaveList(stream, 0, 0); }

bool KestroScriptContext::LoadWorldList(TStream& stream) {
  static GSOLibraryFactory factory;
  KestroScriptContext* const outer = g_loading;
  g_loading = this;
  const bool loaded = worldList_.LoadList(stream, false, 0);
  g_loading = outer;
  return loaded;
}

std::unique_ptr<GSRuntime::GSContext> KestroScriptContext::Create() {
  return std::make_unique<KestroScriptContext>();
}

bool KestroScriptContext::MayScriptsSee(const KUID&) const { return true; }

Soup KestroScriptContext::SystemCall(const Qel::PString&, const Soup& parameters) {
  parameters.Log();
  return Soup();
}

bool KestroScriptContext::OpenURL(const Qel::PString&) { return false; }

f32 KestroScriptContext::NormalizedTime(u32 hour, u32 minute, u32 second) {
  f32 t = f32(minute * 60 + hour * 3600 + second) / 86400.0f;
  t = t + 0.5f;
  if (t > 1.0f) t = t - 1.0f;
  return t;
}

std::unique_ptr<PymFilterElementGroup> KestroScriptContext::SearchFilter(
    const Qel::PString& categories, bool localOnly) {
  auto group = std::make_unique<PymFilterElementGroup>();
  if (localOnly) AddLocalFlags(*group);
  AddListingFilter(*group, categories);
  return group;
}

std::unique_ptr<PymFilterElementGroup> KestroScriptContext::OutOfDateFilter() {
  auto group = std::make_unique<PymFilterElementGroup>();
  group->AddElement(Flag(fc::kFlagLocal));
  group->AddNegated(Flag(fc::kFlagObsolete));
  group->AddNegated(Flag(fc::kFlagUpToDate));
  return group;
}

std::unique_ptr<PymFilterElementGroup> KestroScriptContext::CompatibleFilter(
    const ChunkedList<KUID, 128>& assets) {
  auto group = std::make_unique<PymFilterElementGroup>();
  group->AddElement(std::make_unique<PymFilterElementAssetID>(assets));
  group->AddElement(Flag(fc::kFlagCompatible));
  return group;
}

void KestroScriptContext::GetSeconds(GSStack* stack) { stack->PushFloat(GetApplicationTimeF32()); }

void KestroScriptContext::GetNormalizedSystemTime(GSStack* stack) {
  const TTimeDate now = Now();
  stack->PushFloat(NormalizedTime(now.GetHour(), now.GetMinute(), now.GetSecond()));
}

void KestroScriptContext::GetSystemYear(GSStack* stack) { stack->PushInt(i32(Now().GetYear())); }
void KestroScriptContext::GetSystemMonth(GSStack* stack) { stack->PushInt(i32(Now().GetMonth())); }
void KestroScriptContext::GetSystemDate(GSStack* stack) { stack->PushInt(i32(Now().GetDay())); }
void KestroScriptContext::GetSystemHour(GSStack* stack) { stack->PushInt(i32(Now().GetHour())); }
void KestroScriptContext::GetSystemMinute(GSStack* stack) {
  stack->PushInt(i32(Now().GetMinute()));
}
void KestroScriptContext::GetSystemSecond(GSStack* stack) {
  stack->PushInt(i32(Now().GetSecond()));
}

GSHandle KestroScriptContext::ObjectArray(const std::vector<KUID>& kuids, Wrapper wrap,
                                          ScriptClassId elementClass) {
  auto* array = new GSRuntime::GSArray(&Registry(), true);
  i32 next = 0;
  for (const KUID& kuid : kuids) {
    const GSHandle object = wrap(this, kuid);
    // The array takes over the count the lookup gave; a KUID without an object takes no index.
    if (object != 0) array->SetElement(next++, ScriptHost::AsScriptClass(object, elementClass));
  }
  return array->GetScriptReference();
}

void KestroScriptContext::FindAsset(GSStack* stack) {
  GSOKUID* kuid = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &kuid, false)) return;
  GSRuntime::PushCounted(
      stack, ScriptHost::AsScriptClass(GSOAsset::Wrap(this, *kuid), ScriptClassId::kAsset));
}

void KestroScriptContext::PushAssetList(GSStack* stack, const Qel::PString& kind,
                                        const Qel::PString& type) {
  const Qel::String categories = KindToCategories(kind, type);
  std::vector<KUID> found;
  if (!categories.IsEmpty()) {
    auto group = std::make_unique<PymFilterElementGroup>();
    AddLocalFlags(*group);
    AddListingFilter(*group, Qel::PString(categories.View()));
    PymSearchAssets(group.get(), found);
  }
  if (found.empty()) {
    LogPrintf("World.GetAssetList> warning: found zero assets of type '%s'", kind.CStr());
  }
  GSRuntime::PushCounted(stack, ObjectArray(found, GSOAsset::Wrap, ScriptClassId::kAsset));
}

void KestroScriptContext::GetAssetListOfKind(GSStack* stack) {
  Qel::PString kind;
  if (!GSRuntime::GetParam(stack, 1, &kind, false)) return;
  PushAssetList(stack, kind.Lower(), Qel::PString());
}

void KestroScriptContext::GetAssetListOfKindAndType(GSStack* stack) {
  Qel::PString kind;
  Qel::PString type;
  if (!GSRuntime::GetParam(stack, 1, &kind, false) || !GSRuntime::GetParam(stack, 2, &type, false))
    return;
  PushAssetList(stack, kind.Lower(), type.Upper());
}

void KestroScriptContext::SearchAssets(GSStack* stack) {
  Qel::PString text;
  if (!GSRuntime::GetParam(stack, 1, &text, false)) return;
  const bool localOnly = GSRuntime::BoolParam(stack, 2);
  std::vector<KUID> found;
  PymSearchAssets(SearchFilter(text.Upper(), localOnly).get(), found);
  GSRuntime::PushCounted(stack, ObjectArray(found, GSOKUID::Wrap, ScriptClassId::kKUID));
}

void KestroScriptContext::FindUpdatedAssets(GSStack* stack) {
  std::vector<KUID> local;
  PymSearchAssets(OutOfDateFilter().get(), local);
  ChunkedList<KUID, 128> newest;
  for (const KUID& kuid : local) newest.PushBack(PymGetLatestAssetVersion(kuid));
  std::vector<KUID> found;
  PymSearchAssets(CompatibleFilter(newest).get(), found);
  GSRuntime::PushCounted(stack, ObjectArray(found, GSOAsset::Wrap, ScriptClassId::kAsset));
}

void KestroScriptContext::KestroSystemCall(GSStack* stack) {
  Qel::PString name;
  GSOSoup* parameters = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &name, false) ||
      !GSRuntime::GetParam(stack, 2, &parameters, false)) {
    return;
  }
  const Soup answer = SystemCall(name, parameters->GetSoup());
  GSRuntime::PushCounted(stack, GSOSoup::New(this, answer, true));
}

void KestroScriptContext::OpenURL(GSStack* stack) {
  Qel::PString url;
  if (!GSRuntime::GetParam(stack, 1, &url, false)) return;
  stack->PushInt(OpenURL(url) ? 1 : 0);
}

void KestroScriptContext::QueryVantryAccess(GSStack* stack) {
  u32 level = 0;
  PymQueryVantryAccess(&level);
  // Every level the daemon gives is pushed, also one above the six known today.
  stack->PushInt(i32(level));
}

void KestroScriptContext::Log(GSStack* stack) {
  Qel::PString text;
  GSRuntime::GetParam(stack, 1, &text, true);
  GSMachine::Log("%s", text.CStr());
}

void KestroScriptContext::GetKestroVersion(GSStack* stack) { stack->PushFloat(kKestroVersion); }

void KestroScriptContext::GetKestroBuild(GSStack* stack) { stack->PushInt(kKestroBuild); }

void KestroScriptContext::CloneKUID(GSStack* stack) {
  GSOKUID* kuid = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &kuid, false)) return;
  GSRuntime::PushCounted(
      stack, ScriptHost::AsScriptClass(GSOKUID::Wrap(this, *kuid), ScriptClassId::kKUID));
}

void KestroScriptContext::GetLibrary(GSStack* stack) {
  GSOKUID* kuid = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &kuid, false)) return;
  // A library whose Init fails is null here: the script goes on with that answer.
  const GSAnsweredRuns answered;
  GSRuntime::PushObject(stack, GetScriptLibrary(*kuid));
}
