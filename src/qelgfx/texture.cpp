#include "qelgfx/texture.h"

#include <array>

#include "qel/resource_database.h"
#include "qel/memory_file.h"
#include "qelgfx/bitmap.h"
#include "qelgfx/texture_file.h"

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
  if (name_.Size() > 8 && name_.SubString(name_.Size() - 8).EqualsIgnoreCase(".texture")) {
    // A compiled texture: the whole file must read back, or the texture is faulty.
    MemoryFile memory;
    TextureFileInfo info;
    std::vector<TextureFileMip> mips;
    String error;
    if (!memory.LoadFile(path_.CStr()) ||
        !ReadTextureFile(memory.GetData(), memory.GetSize(), info, mips, error)) {
      return kBadImage;
    }
    SetSize(info.width, info.height);
    format_ = info.format;
  } else if (IsImageName(name_)) {
    Bitmap bitmap;
    if (!bitmap.LoadFile(path_.CStr())) return kBadImage;
    SetSize(bitmap.GetWidth(), bitmap.GetHeight());
  }
  loaded_ = true;
  pending_ = false;
  return kLoaded;
}

Texture::~Texture() { ReleaseAndClear(loader_); }

void Texture::RequestLoad() {
  if (!loaded_ && loader_) loader_->Load(*this);
}

void Texture::SetLoader(TextureLoader* loader) {
  if (loader) loader->AddReference();
  ReleaseAndClear(loader_);
  loader_ = loader;
}

void Texture::Activate(u32 mipLevel) {
  u32 held = wantedMip_.load();
  while (mipLevel < held && !wantedMip_.compare_exchange_weak(held, mipLevel)) {
  }
}

Texture* Texture::Duplicate() const {
  auto* copy = new Texture(name_);
  copy->path_ = path_;
  copy->loaded_ = loaded_;
  copy->width_ = width_;
  copy->height_ = height_;
  copy->format_ = format_;
  copy->kind_ = kind_;
  copy->pending_ = pending_;
  copy->SetLoader(loader_);
  copy->priority_.store(priority_.load());
  return copy;
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
