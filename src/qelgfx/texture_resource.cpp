#include "qelgfx/texture_resource.h"

#include "qel/file.h"
#include "qelgfx/bitmap.h"
#include "qelgfx/texture_file.h"

namespace Qel {

TextureResource::TextureResource(const PString& name, ResourceDatabase* database)
    : Resource(name, database) {}

TextureResource::~TextureResource() = default;

void TextureResource::GetSize(u32& width, u32& height) const {
  const Bitmap* image = GetImage(0);
  width = image ? image->GetWidth() : 0;
  height = image ? image->GetHeight() : 0;
}

u32 TextureResource::GetNumMipLevels() const {
  u32 width = 0;
  u32 height = 0;
  GetSize(width, height);
  return mipmaps_ ? FullMipCount(width, height) : 1;
}

bool TextureResource::GetMipLock() {
  if (images_.empty()) return false;
  ++mipLocks_;
  return true;
}

void TextureResource::GetMipUnlock() {
  if (mipLocks_ > 0) --mipLocks_;
}

Bitmap* TextureResource::GetCompressedMip(u32 level, u32 image) {
  const Bitmap* source = GetImage(image);
  if (mipLocks_ == 0 || source == nullptr || level >= GetNumMipLevels()) return nullptr;
  // Format 2 pixels are the file's little-endian 0xAARRGGBB words already.
  return source->Scale(MipSide(source->GetWidth(), level), MipSide(source->GetHeight(), level));
}

bool TextureResource::SaveLockedInternal(File& file, Display* /*display*/) {
  u32 width = 0;
  u32 height = 0;
  GetSize(width, height);
  TextureFileInfo info;
  info.width = width;
  info.height = height;
  info.format = GetTargetFormat();
  info.imageCount = GetImageCount();
  info.mipCount = GetNumMipLevels();
  info.flags = KeepsAlpha() ? kTextureFlagAlpha : 0;
  if (mipLocks_ == 0 || info.imageCount == 0 || info.mipCount == 0 ||
      TextureMipBytes(info.format, 1, 1) == 0 || !WriteTextureInfo(file, info)) {
    return false;
  }
  for (u32 image = 0; image < info.imageCount; ++image) {
    for (u32 level = 0; level < info.mipCount; ++level) {
      const std::unique_ptr<Bitmap> mip(GetCompressedMip(level, image));
      const u32 mipWidth = MipSide(width, level);
      const u32 mipHeight = MipSide(height, level);
      const u32 bytes = TextureMipBytes(info.format, mipWidth, mipHeight);
      if (!mip || mip->GetWidth() != mipWidth || mip->GetHeight() != mipHeight ||
          mip->GetByteCount() != bytes || mip->GetPixels() == nullptr ||
          !WriteTextureMip(file, level, mipWidth, mipHeight, mip->GetPixels(), bytes)) {
        return false;
      }
    }
  }
  return true;
}

const Bitmap* TextureResource::GetImage(u32 image) const {
  return image < images_.size() ? images_[image].get() : nullptr;
}

void TextureResource::SetImages(std::vector<std::unique_ptr<Bitmap>> images) {
  images_ = std::move(images);
}

void TextureResource::OnUnload() {
  images_.clear();
  mipLocks_ = 0;
}

}  // namespace Qel
