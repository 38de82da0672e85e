#include "qelgfx/material_resource.h"

#include "qelgfx/material_manager.h"

namespace Qel {

MaterialResource::~MaterialResource() { ReleaseAndClear(material_); }

bool MaterialResource::IsMaterialName(const PString& name) {
  String plain, kind, parts;
  return MaterialManager::SplitDecoratedMaterialName(String(name), plain, kind, parts);
}

u32 MaterialResource::Load(const PString& name) {
  if (!manager_) return kFailed;
  Material* material = nullptr;
  if (manager_->FindMaterial(name, material) != MaterialManager::kFound) return kFailed;
  ReleaseAndClear(material_);
  material_ = material;
  return kLoaded;
}

}  // namespace Qel
