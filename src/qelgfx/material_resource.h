// Materials loaded as resources: a resource named by a decorated material name ("<name>.m.<kind>")
// loads by asking the material manager for that material, so loading one is how a host makes
// sure a kind can be made before meshes need it.
#pragma once

#include "qelgfx/resource.h"

namespace Qel {

class Material;
class MaterialManager;

class MaterialResource : public Resource {
 public:
  MaterialResource(const PString& name, ResourceDatabase* database, MaterialManager* manager)
      : Resource(name, database), manager_(manager) {}
  ~MaterialResource() override;

  // Held while loaded; null before.
  Material* GetMaterial() const { return material_; }

  // Whether a name is a decorated material name.
  static bool IsMaterialName(const PString& name);

 protected:
  // Fails without a manager, or when the manager cannot make the material.
  u32 Load(const PString& name) override;

 private:
  MaterialManager* manager_;
  Material* material_ = nullptr;
};

}  // namespace Qel
