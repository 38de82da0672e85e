// The texture resource of a conversion description: a texture description read like any other,
// conversion options that choose the compressed format and the largest size, every mip level
// compressed while the mips are locked, and the compiled ".texture" file written from them.
#pragma once

#include <memory>
#include <vector>

#include "qel/options.h"
#include "qel/string.h"
#include "qel/types.h"
#include "qelgfx/ascii_texture_resource.h"

namespace Qel {
class Bitmap;
}  // namespace Qel

class CompressAsciiResource : public Qel::AsciiTextureResource {
 public:
  static constexpr u32 kDefaultMaxSize = 2048;

  CompressAsciiResource(const Qel::PString& name, Qel::ResourceDatabase* database);
  ~CompressAsciiResource() override;

  // The options must outlive the load and the save; set before the load. Keys: "Compression"
  // (up to three of auto, dxt1, dxt1a, dxt3, dxt5, none, for no alpha, one-bit and full alpha),
  // "forceOptions" (the options win over the description), "BumpMap", "MaxTextureSize" ("w,h"),
  // and the description keys Hint, AlphaHint, Anisotropy, AutoMip, MagFilter, MinFilter,
  // MipFilter and Tile.
  void SetOptions(const Qel::Options* options) { options_ = options; }

  // The description's size clamped to the largest size, keeping the aspect.
  void GetSize(u32& width, u32& height) const override;
  u32 GetTargetFormat() override { return ChooseFormat(); }
  bool KeepsAlpha() const override { return chosenAlpha_; }
  u32 ChooseFormat();
  u32 GetNumMipLevels() const override;
  // Counted like the base's: only the first lock compresses. A failed compression unlocks again
  // and reports false, with the reason in GetCompressError.
  bool GetMipLock() override;
  void GetMipUnlock() override;
  Qel::Bitmap* GetCompressedMip(u32 level, u32 image) override;
  // Writes the compiled texture to `scratch` (when given and on the same file system) or else to
  // a temporary name beside `path`, and renames it into place once it is whole. False when the
  // mips cannot be locked, the file does not open, or any write comes up short; nothing is left
  // at any of the names then, and an old file at `path` is as it was.
  // `convertSettingOff` is the daemon's texture-conversion setting negated, as the engine's save
  // takes it; the body this engine writes is the same either way.
  bool SaveTexture(const char* path, bool convertSettingOff, const char* scratch = nullptr);
  const Qel::String& GetCompressError() const { return compressError_; }

 protected:
  u32 LoadTxt(const Qel::PString& name) override;

 private:
  bool OptionFlag(const char* key) const;
  bool CompressAll();
  bool WriteTextureFile(const char* path);

  const Qel::Options* options_ = nullptr;
  bool forceOptions_ = false;
  bool chosenAlpha_ = false;
  bool bumpMap_ = false;
  u32 maxWidth_ = kDefaultMaxSize;
  u32 maxHeight_ = kDefaultMaxSize;
  u32 lockedFormat_ = 0;
  // Per image, one block per level; only while the mips are locked.
  std::vector<std::vector<std::unique_ptr<Qel::Bitmap>>> compressed_;
  Qel::String compressError_;
};
