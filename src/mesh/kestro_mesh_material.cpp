#include "mesh/kestro_mesh_material.h"

#include <cstdlib>

#include "mesh/kestro_geometry_base_resource.h"
#include "mesh/kestro_indexed_mesh_definition.h"
#include "mesh/mesh_load_result.h"
#include "qelgfx/material_manager.h"

Qel::String MeshFolderOf(std::string_view name) {
  const size_t slash = name.find_last_of("/\\");
  return slash == std::string_view::npos ? Qel::String() : Qel::String(name.substr(0, slash + 1));
}

Qel::PString PlaceTextureInFolder(std::string_view folder, std::string_view texture) {
  const size_t slash = texture.find_last_of("/\\");
  std::string path(folder);
  path += slash == std::string_view::npos ? texture : texture.substr(slash + 1);
  for (char& c : path) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return Qel::PString(path);
}

u32 KestroIndexedMeshDefinition::CreateMaterialFromDescription(
    Qel::MaterialManager* manager, KestroGeometryBaseResource* resource, u32 index,
    const KestroMaterialDescription& description) {
  Qel::Material* material = nullptr;
  Qel::String name, kind, parts;
  Qel::MaterialManager::SplitDecoratedMaterialName(Qel::String(description.materialName), name,
                                                   kind, parts);
  if (manager) {
    const u32 status = manager->FindMaterial(description.materialName, material);
    if (status != Qel::MaterialManager::kFound) {
      if (resource) resource->AddFailedName(description.materialName);
      if (!resource || !resource->GetMaterialFallback()) {
        return status == Qel::MaterialManager::kUnsupported ? RES_UNSUPPORTED_MATERIAL
                                                            : RES_UNKNOWN_MATERIAL;
      }
      Qel::String plain("m.");
      plain += kind;
      if (!parts.IsEmpty()) {
        plain += ".";
        plain += parts;
      }
      material = nullptr;
      if (manager->FindMaterial(plain.ToPString(), material) != Qel::MaterialManager::kFound) {
        return RES_UNKNOWN_MATERIAL;
      }
      material->SetRequestName(description.materialName);
    }
  } else {
    material = new Qel::NullMaterial();
    material->SetName(description.materialName);
    material->SetCreationType(kind.ToPString());
  }
  material->SetDisplayMaterialProperties(description.display);
  material->SetFlags(description.flag ? 1 : 0);
  material->SetMaterialFloat(description.materialFloat);
  // A material found again takes this description's properties as it takes its other settings,
  // rather than piling them onto those of every earlier load.
  material->ClearProperties();
  for (const auto& [key, value] : description.properties) {
    material->AddProperty(key.ToPString(), value.ToPString());
  }
  if (index >= materials_.Count()) materials_.Resize(index + 1);
  material->AddReference();  // the pending record's
  materials_.Set(index, material);
  KestroPendingMaterial pending;
  pending.resource = resource;
  pending.material = material;
  pending.materialName = description.materialName;
  pending.manager = manager;
  pending.textures = description.textures;
  pendingMaterials_.push_back(std::move(pending));
  return RES_OK;
}

u32 KestroIndexedMeshDefinition::CreateMaterial(Qel::MaterialManager* manager,
                                                KestroGeometryBaseResource* resource,
                                                const Qel::GeometryConfigData& source, u32 index) {
  KestroMaterialDescription description;
  const Qel::String folder =
      MeshFolderOf(resource ? resource->GetName().View() : std::string_view());
  for (const Qel::MaterialTextureEntry& entry : source.GetTextureList(index)) {
    description.textures.push_back(
        {entry.stage, PlaceTextureInFolder(folder.View(), entry.path.View()), entry.amount});
  }
  for (u32 k = 0; k < source.GetPropertyCount(index); ++k) {
    description.properties.emplace_back(source.GetProperty(index, k, false),
                                        source.GetProperty(index, k, true));
  }
  description.flag = source.GetMaterialFlag(index);
  description.materialFloat = source.GetMaterialFloat(index);
  description.display = source.GetDisplayMaterial(index);
  const Qel::String& name = source.GetMaterialName(index);
  if (name.IsEmpty() || name.View().find(Qel::Material::DecoratedTypeToken) == std::string::npos) {
    std::string_view stem = fileName_.View();
    const size_t slash = stem.find_last_of("/\\");
    if (slash != std::string_view::npos) stem.remove_prefix(slash + 1);
    const size_t dot = stem.find_last_of('.');
    if (dot != std::string_view::npos) stem = stem.substr(0, dot);
    const Qel::String unique =
        Qel::String::Format("KestroIndexedMeshDefinition::CreateMaterial> *%.*s*%x*%s*",
                            int(stem.size()), stem.data(), unsigned(std::rand()), name.CStr());
    description.materialName =
        Qel::Material::VerifyDecoratedName(unique, source.GetTotalTextureCount()).ToPString();
  } else {
    description.materialName = name.ToPString();
  }
  return CreateMaterialFromDescription(manager, resource, index, description);
}

void KestroIndexedMeshDefinition::FinishPendingMaterials() {
  for (KestroPendingMaterial& pending : pendingMaterials_) {
    for (const KestroMeshTexture& texture : pending.textures) {
      const Qel::ResourceDatabase* database =
          pending.resource ? pending.resource->GetDatabase() : nullptr;
      const u32 answer = pending.material->SetTexture(texture.stage, database,
                                                      Qel::String(texture.path), texture.amount);
      const bool tolerated =
          answer == Qel::Material::kTextureNotFound && (pending.material->GetFlags() & 0x8);
      if (answer != Qel::Material::kTextureOk && !tolerated) {
        textureFailures_.push_back(texture.path);
      }
    }
    Qel::ReleaseAndClear(pending.material);
  }
  pendingMaterials_.clear();
}
