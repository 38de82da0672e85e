// A texture a material kind keeps beside the engine's stages (a bump, environment, gloss or second
// map): one counted reference, replaced only by a texture that exists.
#pragma once

#include <vector>

#include "qel/reference_count.h"
#include "qelgfx/material.h"
#include "qelgfx/texture.h"

namespace Qel {

class KestroTextureSlot {
 public:
  // Starts with one of the shared textures, or empty.
  explicit KestroTextureSlot(bool sharedDefault)
      : texture_(sharedDefault ? SharedTextureCollection::GetTexture(0) : nullptr) {}
  ~KestroTextureSlot() { ReleaseAndClear(texture_); }
  KestroTextureSlot(const KestroTextureSlot&) = delete;
  KestroTextureSlot& operator=(const KestroTextureSlot& other) {
    if (this != &other) Place(other.texture_);
    return *this;
  }

  Texture* Get() const { return texture_; }
  bool IsLoaded() const { return !texture_ || texture_->IsLoaded(); }
  // kTextureMissing for null, the old texture kept. The texture takes the material's resource
  // priority, and the material records what the index was set from.
  u32 Set(Material& material, u32 index, Texture* texture, f32 value) {
    if (!texture) return Material::kTextureMissing;
    Place(texture);
    texture->SetResourcePriority(material.GetResourcePriority());
    material.SetTextureDefinition(index, texture->GetName(), value);
    return Material::kTextureOk;
  }
  // A private copy in place of the held texture; false when there is none.
  bool Duplicate() {
    if (!texture_) return false;
    Texture* copy = texture_->Duplicate();
    ReleaseAndClear(texture_);
    texture_ = copy;
    return true;
  }
  void AppendTo(std::vector<Texture*>& list) const {
    if (texture_) list.push_back(texture_);
  }

 private:
  void Place(Texture* texture) {
    if (texture) texture->AddReference();
    ReleaseAndClear(texture_);
    texture_ = texture;
  }
  Texture* texture_;
};

}  // namespace Qel
