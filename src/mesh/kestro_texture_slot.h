// A texture a material kind keeps beside the engine's stages (a bump, environment, gloss or second
// map): one counted reference, replaced only by a texture that exists.
#pragma once

#include "qel/material.h"
#include "qel/reference_count.h"
#include "qel/texture.h"

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
  // kTextureMissing for null, the old texture kept.
  u32 Set(Texture* texture) {
    if (!texture) return Material::kTextureMissing;
    Place(texture);
    return Material::kTextureOk;
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
