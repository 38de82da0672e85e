#include "validation/compress_ascii_resource.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qel/config_data.h"
#include "qel/file.h"
#include "qelgfx/bitmap.h"
#include "qelgfx/qirf_file.h"
#include "qelgfx/texture_file.h"
#include "validation/texture_compress.h"

namespace {

// The description keys that options may set, in the order they are handed over.
constexpr const char* kCopiedKeys[] = {"Hint",      "AlphaHint", "Anisotropy", "AutoMip",
                                       "MagFilter", "MinFilter", "MipFilter",  "Tile"};

struct Choice {
  u32 format = 1;
  bool alpha = true;
};

// "Compression": up to three words for no alpha, one-bit alpha and full alpha.
void ParseCompressionList(const Qel::String& list, Choice choices[3]) {
  size_t position = 0;
  for (u32 slot = 0; slot < 3; ++slot) {
    Qel::String word = list.Token(",", position);
    word.TrimLeft();
    word.TrimRight();
    if (word.IsEmpty()) break;
    if (slot == 0 && word.EqualsIgnoreCase("auto")) {
      choices[0] = {10, false};
      choices[1] = {10, true};
      choices[2] = {12, true};
    } else if (word.EqualsIgnoreCase("dxt1")) {
      choices[slot] = {10, false};
    } else if (word.EqualsIgnoreCase("dxt1a")) {
      choices[slot] = {10, true};
    } else if (word.EqualsIgnoreCase("dxt3")) {
      choices[slot] = {11, true};
    } else if (word.EqualsIgnoreCase("dxt5")) {
      choices[slot] = {12, true};
    } else if (word.EqualsIgnoreCase("none")) {
      choices[slot] = {1, true};
    }
  }
}

// A bitmap whose bytes are the file's form of a level: DXT blocks as they are, uncompressed
// levels as 0xAARRGGBB words.
Qel::Bitmap* FileFormOf(const Qel::Bitmap& level) {
  auto* copy = new Qel::Bitmap;
  bool made = false;
  if (level.IsBlock()) {
    made = copy->CreateBlock(level.GetWidth(), level.GetHeight(), level.GetByteCount());
    if (made) std::memcpy(copy->GetMutablePixels(), level.GetPixels(), level.GetByteCount());
  } else {
    made = copy->Create(level.GetWidth(), level.GetHeight(), Qel::Bitmap::kARGB) &&
           copy->CopyImage(level);
  }
  if (!made) {
    delete copy;
    return nullptr;
  }
  return copy;
}

std::atomic<u32> g_temporaryCounter{0};

// Option switches are named with their leading '-'.
Qel::String Switch(const char* key) { return Qel::String("-") + key; }

}  // namespace

CompressAsciiResource::CompressAsciiResource(const Qel::PString& name,
                                             Qel::ResourceDatabase* database)
    : AsciiTextureResource(name, database) {}

CompressAsciiResource::~CompressAsciiResource() = default;

bool CompressAsciiResource::OptionFlag(const char* key) const {
  if (options_ == nullptr || !options_->Has(Switch(key).CStr())) return false;
  const Qel::String value = options_->GetValue(Switch(key).CStr());
  return !(value.EqualsIgnoreCase("0") || value.EqualsIgnoreCase("false") ||
           value.EqualsIgnoreCase("no"));
}

u32 CompressAsciiResource::LoadTxt(const Qel::PString& name) {
  if (options_ == nullptr) {
    SetLoadError("no conversion options were given");
    return kFailed;
  }
  forceOptions_ = OptionFlag("forceOptions");
  bumpMap_ = OptionFlag("BumpMap");
  const Qel::String sizes = options_->GetValue("-MaxTextureSize");
  if (!sizes.IsEmpty()) {
    size_t position = 0;
    const u32 width = u32(std::strtoul(sizes.Token(",", position).CStr(), nullptr, 10));
    const u32 height = u32(std::strtoul(sizes.Token(",", position).CStr(), nullptr, 10));
    if (width > 0) maxWidth_ = width;
    if (height > 0) maxHeight_ = height;
  }
  if (forceOptions_ && AsciiTextureResource::LoadTxt(name) != kLoaded) return kFailed;
  Qel::ConfigData copied;
  for (const char* key : kCopiedKeys) {
    if (options_->Has(Switch(key).CStr())) copied.AddChild(key, options_->GetValue(Switch(key).CStr()));
  }
  if (!LoadTextureOptions(copied)) return kFailed;
  if (forceOptions_) return kLoaded;
  return AsciiTextureResource::LoadTxt(name);
}

void CompressAsciiResource::GetSize(u32& width, u32& height) const {
  AsciiTextureResource::GetSize(width, height);
  if (width > maxWidth_) {
    height = std::max<u32>(1, u32(u64(height) * maxWidth_ / width));
    width = maxWidth_;
  }
  if (height > maxHeight_) {
    width = std::max<u32>(1, u32(u64(width) * maxHeight_ / height));
    height = maxHeight_;
  }
}

u32 CompressAsciiResource::ChooseFormat() {
  u8 kind = GetAlphaKind();
  if (options_ == nullptr || kind == kAlphaUnknown) {
    chosenAlpha_ = true;
    return 1;
  }
  Choice options;
  if (options_->Has("-Compression")) {
    // A normal map keeps its alpha at one bit at most.
    if (GetNormalMapHint() != 0 && kind == kAlphaFull) {
      SetAlphaKind(kAlphaOneBit);
      kind = kAlphaOneBit;
    }
    Choice list[3];
    ParseCompressionList(options_->GetValue("-Compression"), list);
    options = list[std::min<u8>(kind, 2)];
  }
  u32 width = 0;
  u32 height = 0;
  GetSize(width, height);
  u8 hint = GetCompressionHint();
  if (std::max(width, height) < 64 || std::min(width, height) < 8) hint = 0;
  Choice result;
  switch (hint) {
    case 0:
      result = kind == kAlphaNone ? Choice{3, false} : Choice{1, true};
      break;
    case 1:
      result = {10, kind != kAlphaNone};
      break;
    case 2:
      result = {11, true};
      break;
    case 3:
      result = {12, true};
      break;
    default:
      result = options;
      break;
  }
  if (forceOptions_) result = options;
  // Blocks cover four by four pixels.
  if (width % 4 != 0 || height % 4 != 0) result.format = result.alpha ? 1 : 3;
  chosenAlpha_ = result.alpha;
  return result.format;
}

u32 CompressAsciiResource::GetNumMipLevels() const {
  u32 width = 0;
  u32 height = 0;
  GetSize(width, height);
  return std::min(Qel::FullMipCount(width, height), AsciiTextureResource::GetNumMipLevels());
}

bool CompressAsciiResource::GetMipLock() {
  const bool first = GetMipLockCount() == 0;
  if (!AsciiTextureResource::GetMipLock()) {
    compressError_ = "the texture is not loaded";
    return false;
  }
  if (!first) return true;
  if (!CompressAll()) {
    GetMipUnlock();
    return false;
  }
  return true;
}

bool CompressAsciiResource::CompressAll() {
  compressError_.Clear();
  compressed_.clear();
  lockedFormat_ = ChooseFormat();
  const u32 levels = GetNumMipLevels();
  u32 width = 0;
  u32 height = 0;
  GetSize(width, height);
  for (u32 image = 0; image < GetImageCount(); ++image) {
    // The resource's own image stays as loaded: the compressor works on a scaled copy or alias.
    std::unique_ptr<Qel::Bitmap> source(GetImage(image)->Scale(width, height));
    if (!source) {
      compressError_ = Qel::String::Format("image %u cannot be scaled to %ux%u", image, width, height);
      return false;
    }
    TextureCompress compress;
    if (!compress.Compress(*source, lockedFormat_, chosenAlpha_, GetWrap(),
                           GetNormalMapHint() != 0 || bumpMap_, levels > 1, false)) {
      compressError_ = compress.GetLastError();
      return false;
    }
    if (compress.GetImageCount() < levels) {
      compressError_ = Qel::String::Format("%u of %u levels were made", compress.GetImageCount(),
                                           levels);
      return false;
    }
    std::vector<std::unique_ptr<Qel::Bitmap>> chain;
    for (u32 level = 0; level < levels; ++level) {
      std::unique_ptr<Qel::Bitmap> mip(compress.TakeImage(level));
      if (!mip || mip->GetWidth() != Qel::MipSide(width, level) ||
          mip->GetHeight() != Qel::MipSide(height, level)) {
        compressError_ = Qel::String::Format("level %u has the wrong size", level);
        return false;
      }
      chain.push_back(std::move(mip));
    }
    compressed_.push_back(std::move(chain));
  }
  return true;
}

void CompressAsciiResource::GetMipUnlock() {
  AsciiTextureResource::GetMipUnlock();
  if (GetMipLockCount() == 0) compressed_.clear();
}

Qel::Bitmap* CompressAsciiResource::GetCompressedMip(u32 level, u32 image) {
  if (image >= compressed_.size() || level >= compressed_[image].size()) return nullptr;
  return FileFormOf(*compressed_[image][level]);
}

bool CompressAsciiResource::WriteTextureFile(const char* path) {
  bool saved = false;
  {
    Qel::QIRFFile file;
    if (file.Open(path) == 0) {
      Qel::QIRFWriteHeader header(file, Qel::kTextureBodyTag);
      saved = header.IsOk() && SaveLockedInternal(file.GetFile(), nullptr) && header.Finish();
      file.Close();
    }
  }
  if (!saved) std::remove(path);
  return saved;
}

bool CompressAsciiResource::SaveTexture(const char* path, bool /*convertSettingOff*/,
                                        const char* scratch) {
  if (!GetMipLock()) return false;
  // A rename replaces the target in one step, so the target is always the old file or the new
  // one, whole. It fails across file systems; the name beside the target never does.
  bool saved = false;
  if (scratch != nullptr && WriteTextureFile(scratch)) {
    saved = std::rename(scratch, path) == 0;
    if (!saved) std::remove(scratch);
  }
  if (!saved) {
    const Qel::String beside = Qel::String::Format("%s.%d-%u.part", path, int(getpid()),
                                                   g_temporaryCounter.fetch_add(1));
    if (WriteTextureFile(beside.CStr())) {
      saved = std::rename(beside.CStr(), path) == 0;
      if (!saved) std::remove(beside.CStr());
    }
  }
  GetMipUnlock();
  return saved;
}
