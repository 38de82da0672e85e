// A texture as a resource: its source images, the mip levels made from them while the mips are
// locked, and the compiled texture body written from those levels (see texture_file.h).
#pragma once

#include <memory>
#include <vector>

#include "qel/string.h"
#include "qel/types.h"
#include "qelgfx/resource.h"

namespace Qel {

class Bitmap;
class Display;
class File;

class TextureResource : public Resource {
 public:
  TextureResource(const PString& name, ResourceDatabase* database);
  ~TextureResource() override;

  u32 GetImageCount() const { return u32(images_.size()); }
  // The size of the source images (0 x 0 before a load).
  virtual void GetSize(u32& width, u32& height) const;
  // The file format code the body is written in (texture_file.h); uncompressed with alpha here.
  virtual u32 GetTargetFormat() { return 1; }
  // Whether the written format keeps alpha.
  virtual bool KeepsAlpha() const { return true; }
  // The full chain for the size, or one level when mipmaps are off.
  virtual u32 GetNumMipLevels() const;
  // Counted: the first lock makes what the levels are written from, later ones only count.
  // False when nothing is loaded or the levels cannot be made (nothing stays locked then).
  virtual bool GetMipLock();
  virtual void GetMipUnlock();
  u32 GetMipLockCount() const { return mipLocks_; }
  // A new bitmap holding the bytes of (level, image) as the file keeps them, or null when either
  // is out of range. Only while the mips are locked.
  virtual Bitmap* GetCompressedMip(u32 level, u32 image);
  // Writes the TINF chunk and every TMIP chunk of the locked mips. Each level must have its
  // size and its format's byte count and there must be exactly image count x mip count of them,
  // or nothing more is written and the result is false.
  bool SaveLockedInternal(File& file, Display* display);

  // The source image of an image index, in bitmap format 2; null out of range.
  const Bitmap* GetImage(u32 image) const;
  bool HasMipmaps() const { return mipmaps_; }

 protected:
  void SetImages(std::vector<std::unique_ptr<Bitmap>> images);
  void SetMipmaps(bool mipmaps) { mipmaps_ = mipmaps; }
  void OnUnload() override;

 private:
  std::vector<std::unique_ptr<Bitmap>> images_;
  bool mipmaps_ = true;
  u32 mipLocks_ = 0;
};

}  // namespace Qel
