// One texture's images in a requested texture format: an uncompressed mip chain made with the
// engine's bitmap operations, or DXT blocks from the texture compressor library.
#pragma once

#include <memory>
#include <vector>

#include "qel/string.h"
#include "qel/types.h"

namespace Qel {
class Bitmap;
}  // namespace Qel

class TextureCompress {
 public:
  TextureCompress();
  virtual ~TextureCompress();
  TextureCompress(const TextureCompress&) = delete;
  TextureCompress& operator=(const TextureCompress&) = delete;

  // Appends the images of `source` (bitmap format 2 or 3, changed in place: its alpha becomes
  // 255 when the format has none or the target is 3) in the target format, largest first:
  //   1, 3, 5      the full uncompressed chain down to 1 x 1 in bitmap format 2, 3 or 1
  //   10           DXT1, or DXT1a with `dxt1Alpha`
  //   11, 12       DXT3, DXT5
  //   25, 26, 27   DXT1
  // DXT images are blocks (Qel::Bitmap::CreateBlock) of exactly the bytes their size takes; with
  // `mipmaps` every level down to 1 x 1 follows the first. False, with the reason in
  // GetLastError, for another format or code, or when the compressor failed or wrote a level
  // short or long; the images finished before stay in the list.
  bool Compress(Qel::Bitmap& source, u32 format, bool dxt1Alpha, bool wrap, bool normalMap,
                bool mipmaps, bool cuda);

  u32 GetImageCount() const { return u32(images_.size()); }
  Qel::Bitmap* GetImage(u32 index) const;
  // Hands the image over to the caller; the list keeps a null in its place.
  Qel::Bitmap* TakeImage(u32 index);
  // The compressor's last error for this object; empty after a success.
  const Qel::String& GetLastError() const { return lastError_; }

 private:
  bool CompressEngine(const Qel::Bitmap& source, u32 format);
  bool CompressBlocks(const Qel::Bitmap& source, u32 format, bool dxt1Alpha, bool wrap,
                      bool normalMap, bool mipmaps, bool cuda);

  std::vector<std::unique_ptr<Qel::Bitmap>> images_;
  Qel::String lastError_;
};
