#include "pymclient/asset_spec_lookup.h"

#include <mutex>
#include <unordered_map>

#include "assetdata/soup.h"
#include "pymclient/asset_change_hook.h"
#include "pymclient/kestro_base_spec.h"
#include "pymclient/pym_catalogue.h"
#include "qel/file.h"

namespace {

// KUID asked for -> KUID it resolved to; the null KUID means "no usable asset specification".
// Commands use it from the main thread, but a question from the daemon runs on a thread of its own.
std::mutex g_resolutionMutex;
std::unordered_map<KUID, KUID> g_resolutions;

// A change of an asset changes what its KUID resolves to, or whether it has an asset at all.
void ForgetChanged(const KUID& kuid) {
  if (kuid.IsNull()) {
    ClearSpecResolutions();
  } else {
    ForgetSpecResolutions(kuid);
  }
}

void Remember(const KUID& asked, const KUID& resolved) {
  // The cache hears of changes from the moment it holds anything.
  static std::once_flag subscribed;
  std::call_once(subscribed, [] { PymSubscribeAssetChanged(&ForgetChanged); });
  std::lock_guard<std::mutex> lock(g_resolutionMutex);
  g_resolutions[asked] = resolved;
}

bool Recall(const KUID& asked, KUID& resolved) {
  std::lock_guard<std::mutex> lock(g_resolutionMutex);
  auto it = g_resolutions.find(asked);
  if (it == g_resolutions.end()) return false;
  resolved = it->second;
  return true;
}

enum class LoadOutcome { kLoaded, kNone, kRefused, kInvalid };

LoadOutcome LoadSpec(SpecPointer& out, const Qel::File::Path& folder,
                     const Qel::PString& contentFolder, SpecPredicate predicate,
                     bool skipInitialise, const Soup* loaded = nullptr) {
  ReleaseSpecPointer(out);
  SpecRegistry* registry = SpecRegistry::GetCurrent();
  const Qel::File::Path configPath = GetAssetConfigPath(folder);
  Soup config;
  if (loaded != nullptr) config = *loaded;
  if (registry == nullptr ||
      (loaded == nullptr && !config.LoadFile(nullptr, configPath.CStr(), nullptr)) ||
      config.IsNull()) {
    return LoadOutcome::kNone;
  }
  // The asset's folder is the first location text; the second stays empty.
  const Qel::String location = Qel::File::Path(configPath.GetFolder()).GetText();
  const Qel::String subLocation;
  const KUID kuid = config.GetNamedTagAsKUID("kuid", KUID::Null());
  SpecPointer held;
  held.Adopt(registry->CreateSpecFromConfig(kuid, &location, &subLocation, contentFolder, config));
  if (!held) return LoadOutcome::kNone;
  if (predicate != nullptr && !predicate(*held.Get())) return LoadOutcome::kRefused;
  if (!skipInitialise) {
    registry->EnsureSpecInitialised(held.Get());
    if (!held->IsUsable()) return LoadOutcome::kInvalid;
  }
  held->Stamp();
  out = std::move(held);
  return LoadOutcome::kLoaded;
}

}  // namespace

Qel::File::Path GetAssetConfigPath(const Qel::File::Path& folder) {
  Qel::File::Path chump = folder;
  chump.AddPath("config.chump");
  if (Qel::File::Exists(chump.CStr())) return chump;
  Qel::File::Path text = folder;
  text.AddPath("config.txt");
  return text;
}

void LoadAssetSpec(SpecPointer& out, const Qel::File::Path& folder,
                   const Qel::PString& contentFolder, SpecPredicate predicate,
                   bool skipInitialise, const Soup* config) {
  LoadSpec(out, folder, contentFolder, predicate, skipInitialise, config);
}

void FindAssetSpec(SpecPointer& out, const KUID& kuid, SpecPredicate predicate) {
  ReleaseSpecPointer(out);
  SpecRegistry* registry = SpecRegistry::GetCurrent();
  if (kuid.IsNull() || registry == nullptr) return;
  KUID resolved;
  if (Recall(kuid, resolved)) {
    if (resolved.IsNull()) return;
  } else {
    resolved = PymResolveKUID(kuid);
    // The database does not know the KUID: there is no folder to ask for.
    if (resolved.IsNull()) {
      Remember(kuid, resolved);
      return;
    }
  }
  SpecPointer found;
  found.Adopt(registry->FindByKUID(resolved));
  if (found) {
    if (predicate != nullptr && !predicate(*found.Get())) {
      Remember(kuid, resolved);
      return;
    }
    registry->EnsureSpecInitialised(found.Get());
    if (!found->IsUsable()) {
      Remember(kuid, KUID::Null());
      return;
    }
    out = std::move(found);
    return;
  }
  Qel::PString contentFolder;
  Qel::File::Path folder;
  // A daemon that did not answer says nothing about the asset: nothing is remembered.
  if (!PymGetAssetLocation(resolved, contentFolder, folder, false)) return;
  if (folder.IsEmpty()) {
    Remember(kuid, KUID::Null());
    return;
  }
  switch (LoadSpec(out, folder, contentFolder, predicate, false)) {
    case LoadOutcome::kLoaded:
      Remember(kuid, resolved);
      break;
    case LoadOutcome::kInvalid:
      // Loading it again would only add another failed asset specification for every lookup.
      Remember(kuid, KUID::Null());
      break;
    case LoadOutcome::kNone:
    case LoadOutcome::kRefused:
      break;
  }
}

void FindKestroBaseSpec(SpecPointer& out, const KUID& kuid) {
  FindAssetSpec(out, kuid, &IsKestroBaseSpec);
  if (out) out->Stamp();
}

void ForgetSpecResolutions(const KUID& kuid) {
  std::lock_guard<std::mutex> lock(g_resolutionMutex);
  std::erase_if(g_resolutions,
                [&kuid](const auto& entry) { return entry.first == kuid || entry.second == kuid; });
}

void ClearSpecResolutions() {
  std::lock_guard<std::mutex> lock(g_resolutionMutex);
  g_resolutions.clear();
}
