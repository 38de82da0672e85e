// The material of one chunk as a mesh describes it (from a MATL chunk or a configuration text),
// and the record a definition keeps of each material it made until the resource's load completes
// and the textures are given to it.
#pragma once

#include <vector>

#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"
#include "qelgfx/display_material.h"

namespace Qel {
class Material;
class MaterialManager;
}  // namespace Qel
class KestroGeometryBaseResource;

struct KestroMeshTexture {
  u32 stage = 0;
  Qel::PString path;  // lower case, in the mesh file's folder
  f32 amount = 1.0f;
  bool operator==(const KestroMeshTexture&) const = default;
};

struct KestroMaterialDescription {
  bool flag = false;
  f32 materialFloat = 1.0f;
  Qel::DisplayMaterial display;
  std::vector<std::pair<Qel::String, Qel::String>> properties;
  std::vector<KestroMeshTexture> textures;
  Qel::PString materialName;  // the decorated name to ask the manager for
};

struct KestroPendingMaterial {
  KestroGeometryBaseResource* resource = nullptr;
  Qel::Material* material = nullptr;  // one reference
  Qel::PString materialName;
  Qel::MaterialManager* manager = nullptr;
  std::vector<KestroMeshTexture> textures;
};

// "folder/" of a resource name ("" for a bare name); '\\' counts as a separator.
Qel::String MeshFolderOf(std::string_view name);
// The file part of a texture name placed in the mesh's folder, lower-cased and interned.
Qel::PString PlaceTextureInFolder(std::string_view folder, std::string_view texture);
