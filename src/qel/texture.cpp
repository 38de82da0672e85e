#include "qel/texture.h"

#include <array>

#include "qel/bitmap.h"
#include "qel/resource_database.h"

namespace Qel {

namespace {

bool IsImageName(const String& name) {
  for (const char* extension : {".bmp", ".tga", ".jpg", ".jpeg", ".png"}) {
    const size_t length = std::char_traits<char>::length(extension);
    if (name.Size() >= length && name.SubString(name.Size() - length).EqualsIgnoreCase(extension)) {
      return true;
    }
  }
  return false;
}

}  // namespace

u32 Texture::Load(const ResourceDatabase& database) {
  loaded_ = false;
  if (!ResourceDatabase::IsSafeName(name_)) return kRefusedName;
  if (!database.FindFile(name_, path_)) return kNotFound;
  if (IsImageName(name_)) {
    Bitmap bitmap;
    if (!bitmap.LoadFile(path_.CStr())) return kBadImage;
    SetSize(bitmap.GetWidth(), bitmap.GetHeight());
  }
  loaded_ = true;
  return kLoaded;
}

Texture* SharedTextureCollection::GetTexture(u32 index) {
  static const std::array<Texture*, kCount> shared = [] {
    std::array<Texture*, kCount> made{};
    const char* names[kCount] = {"shared.white", "shared.black", "shared.normal", "shared.grey"};
    for (u32 i = 0; i < kCount; ++i) {
      made[i] = new Texture(names[i]);  // held for the whole process
      made[i]->SetSize(1, 1);
      made[i]->MarkLoaded();
    }
    return made;
  }();
  if (index >= kCount) return nullptr;
  shared[index]->AddReference();
  return shared[index];
}

bool Texture::Update(u32 /*a*/, u32 /*b*/, const Bitmap& bitmap, u32 format) {
  if (!bitmap.GetPixels()) return false;
  SetSize(bitmap.GetWidth(), bitmap.GetHeight());
  format_ = format;
  loaded_ = true;
  return true;
}

}  // namespace Qel
