#include "pymclient/kestro_base_spec.h"

#include <atomic>
#include <cmath>

#include "assetdata/asset_name.h"
#include "assetdata/soup_tree.h"

namespace {

// Builds from 2.50 on name their asset file "default".
constexpr f32 kDefaultFileNameBuild = 250.0f;

std::atomic<KestroBaseSpecMaker> g_maker{nullptr};

}  // namespace

KestroBaseSpec::KestroBaseSpec(const KUID& kuid, const Qel::String* location,
                               const Qel::String* subLocation, const Qel::PString& contentFolder,
                               const Soup& config, const Qel::String& defaultFileName)
    : KoolthingzSpec(kuid, location, subLocation, contentFolder) {
  const bool hasConfig = !config.IsNull() && config.GetRoot()->GetKind() == kKindContainer;
  if (hasConfig) {
    kind_ = config.GetNamedTag("kind");
    build_ = GetAssetBuildVersion(config);
  }
  if (std::trunc(build_ * 100.0f) >= kDefaultFileNameBuild) {
    SetAssetFileName("default");
    return;
  }
  Qel::String name(hasConfig ? config.GetNamedTag("asset-filename") : Qel::PString());
  if (name.IsEmpty()) name = defaultFileName;
  name.ToLower();
  SetAssetFileName(name);
}

bool IsKestroBaseSpec(const KoolthingzSpec& spec) {
  return dynamic_cast<const KestroBaseSpec*>(&spec) != nullptr;
}

KoolthingzSpec* PymScript_KestroBaseSpecFactory::Create(const KUID& kuid,
                                                        const Qel::String* location,
                                                        const Qel::String* subLocation,
                                                        const Qel::PString& contentFolder,
                                                        const Soup& config) {
  return MakeKestroBaseSpec(kuid, location, subLocation, contentFolder, config);
}

void SetKestroBaseSpecMaker(KestroBaseSpecMaker maker) { g_maker.store(maker); }

KestroBaseSpec* MakeKestroBaseSpec(const KUID& kuid, const Qel::String* location,
                                   const Qel::String* subLocation,
                                   const Qel::PString& contentFolder, const Soup& config) {
  if (KestroBaseSpecMaker maker = g_maker.load()) {
    return maker(kuid, location, subLocation, contentFolder, config);
  }
  return new KestroBaseSpec(kuid, location, subLocation, contentFolder, config);
}
