// The asset specification of assets that may carry scripts, as far as the registry builds it: the
// configuration's kind and build and the asset file name. Compiling and linking the scripts is
// the script host's; it adds that on top of this class.
#pragma once

#include "assetdata/soup.h"
#include "core/kuid.h"
#include "pymclient/spec_registry.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

class KestroBaseSpec : public KoolthingzSpec {
 public:
  // The build used when there is no configuration.
  static constexpr f32 kBuildWithoutConfig = 1.3f;

  // `defaultFileName` names the asset file of builds before 2.50 whose configuration gives no
  // "asset-filename".
  KestroBaseSpec(const KUID& kuid, const Qel::String* location, const Qel::String* subLocation,
                 const Qel::PString& contentFolder, const Soup& config,
                 const Qel::String& defaultFileName = Qel::String());

  const Qel::PString& GetKind() const { return kind_; }
  f32 GetBuild() const { return build_; }

 private:
  Qel::PString kind_;
  f32 build_ = kBuildWithoutConfig;
};

// Builds the KestroBaseSpec of a configuration. The script host installs one at start-up, so
// that every such asset specification can compile and link its scripts; without one, the plain
// class is built.
using KestroBaseSpecMaker = KestroBaseSpec* (*)(const KUID& kuid, const Qel::String* location,
                                                const Qel::String* subLocation,
                                                const Qel::PString& contentFolder,
                                                const Soup& config);
// Null restores the plain class.
void SetKestroBaseSpecMaker(KestroBaseSpecMaker maker);
KestroBaseSpec* MakeKestroBaseSpec(const KUID& kuid, const Qel::String* location,
                                   const Qel::String* subLocation,
                                   const Qel::PString& contentFolder, const Soup& config);

// The run-time type test of FindKestroBaseSpec.
bool IsKestroBaseSpec(const KoolthingzSpec& spec);

// The one factory of the program; the registry takes it as its default when scripts must be
// compiled.
// NOLINTNEXTLINE(readability-identifier-naming): the factory's given name
class PymScript_KestroBaseSpecFactory : public KTSpecFactory {
 public:
  static constexpr const char* kName = "--PymScript_KestroBaseSpecFactory--";
  PymScript_KestroBaseSpecFactory() : KTSpecFactory(Qel::PString(kName)) {}
  KoolthingzSpec* Create(const KUID& kuid, const Qel::String* location,
                         const Qel::String* subLocation, const Qel::PString& contentFolder,
                         const Soup& config) override;
};
