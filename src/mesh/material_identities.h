// The mesh plug-in's own material kinds: their names, ids and plug-ins. Each plug-in registers
// itself when constructed (QelGetPlugins makes them); a plug-in whose kind the display cannot
// draw names the kind to use instead.
#pragma once

#include "mesh/kestro_bump_programs.h"
#include "qel/pstring.h"
#include "qelgfx/material_manager.h"
#include "qelgfx/uid.h"

namespace Qel {

struct MaterialIdentity {
  const char* kind;
  const char* materialName;
  const char* uid;
};

// tbumpgloss, tbumptex, tbumpenv, tonetexnoalpha, tglossrust, tmpfx, nofogtex, groundbase.
inline constexpr MaterialIdentity kMaterialIdentities[] = {
    {"tbumpgloss", "m.tbumpgloss", "F7478888-C721-48AB-B3C0-19621E66554E"},
    {"tbumptex", "m.tbumptex", "E34011F3-C721-48ba-B3C0-19621E408CBD"},
    {"tbumpenv", "m.tbumpenv", "0ECEE41C-76E7-47fd-ADBB-0E938E809C03"},
    {"tonetexnoalpha", "m.tonetexnoalpha", "4BB6C98F-6FDF-4cb9-9CE2-7E40B2A78626"},
    {"tglossrust", "m.tglossrust", "AFCA4E1B-811A-56EE-89E4-CAB13F9B6712"},
    {"tmpfx", "m.tmpfx", "643AFE90-426A-46EE-C19F-FFA0A471ABD7"},
    {"nofogtex", "m.nofogtex", "AB84944B-00A6-4a18-8BAF-4664E98075AA"},
    {"groundbase", "m.groundbase", "C271BEBB-D17E-4ebe-9582-D531F1E23727"},
};
inline constexpr u32 kPluginMaterialKinds = 7;  // the first seven have plug-ins
enum MaterialKindIndex : u32 {
  kKindBumpGloss,
  kKindBump,
  kKindBumpEnv,
  kKindOneTexNoAlpha,
  kKindGlossRust,
  kKindMultiPfx,
  kKindNoFog,
  kKindGroundBase,
};
// The interned kind name of a row, made once for the process.
const PString& KindName(MaterialKindIndex index);

// A new material of the kind from its plug-in, as a kind's copy begins; null when none is made
// or the plug-in makes another class.
template <typename T>
T* CreateOfKind(const Material& from, MaterialKindIndex index) {
  Material* made = Material::CreateInstance(KindName(index), from.GetManager());
  auto* typed = dynamic_cast<T*>(made);
  if (made && !typed) made->ReleaseReference();
  return typed;
}
inline constexpr const char* kRustAgeProperty = "RustAge";

// The plug-in of one kind. `index` is the kind's row of kMaterialIdentities.
class KestroMaterialPlugin : public OneTextureMaterialPlugin {
 public:
  explicit KestroMaterialPlugin(u32 index);
  bool IsSupported(const Display& display, PString& fallback) const override;
  // The program handles and combiners the plug-in holds for its materials.
  u32 GetProgramCount() const;
  u32 GetCombinerCount() const { return combinerCount_; }

 protected:
  Material* MakeMaterial(MaterialManager* manager) override;
  bool PrepareOwnResources(RenderKernel& kernel) override;

 private:
  bool PrepareCombiners(Display& display);

  u32 index_;
  RenderingCache* alphaBlendCache_ = nullptr;
  BumpPrograms programs_[2];  // bump-gloss: the gloss set, then the rust set
  u32 combiners_[4] = {};
  u32 combinerCount_ = 0;
};

// The seven plug-ins by name, in the order they are created.
#define KESTRO_MATERIAL_PLUGIN(ClassName, index)  \
  class ClassName : public KestroMaterialPlugin { \
   public:                                        \
    ClassName() : KestroMaterialPlugin(index) {}  \
  };
KESTRO_MATERIAL_PLUGIN(KestroBumpGlossMaterialPlugin, 0)
KESTRO_MATERIAL_PLUGIN(KestroBumpMaterialPlugin, 1)
KESTRO_MATERIAL_PLUGIN(KestroBumpEnvMaterialPlugin, 2)
KESTRO_MATERIAL_PLUGIN(KestroOneTexNoAlphaMaterialPlugin, 3)
KESTRO_MATERIAL_PLUGIN(KestroGlossRustMaterialPlugin, 4)
KESTRO_MATERIAL_PLUGIN(KestroMultiPFXMaterialPlugin, 5)
KESTRO_MATERIAL_PLUGIN(KestroNoFogMaterialPlugin, 6)
#undef KESTRO_MATERIAL_PLUGIN

// Creates the seven plug-ins in their order, each once for the process; a kind already
// registered is left as it is.
void CreateMaterialPlugins();

}  // namespace Qel
